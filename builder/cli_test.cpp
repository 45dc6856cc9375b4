#include "builder/cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "builder/builder_app.h"
#include "builder/console_ui.h"
#include "builder/password_store.h"
#include "builder/project.h"
#include "builder/recording_ui.h"
#include "builder/upload.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;
using ModelUiForTest = RecordingUi;

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.Write("src\\app.exe", "MZ");
    dir.Write("src\\lang\\de\\text.xml", "<t/>");
    dir.Write("base\\Quastorell.lng", "<L/>");
  }
  int Run(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream o, e;
    args.insert(args.begin(), {"--base", dir / "base"});
    const int rc = RunBuilderCli(args, in, o, e, false);
    out = o.str();
    err = e.str();
    return rc;
  }
  bool Said(const std::string& text) const {
    return out.find(text) != std::string::npos || err.find(text) != std::string::npos;
  }
  ProjectStructure Project(const std::string& name) {
    ProjectStructure p;
    EXPECT_TRUE(LoadDocument(dir / ("base\\Projects\\" + name + ".upf"), &p));
    return p;
  }

  TempDir dir;
  std::string out, err;
};

TEST_F(Cli, BadUsageExitsWithTwo) {
  EXPECT_EQ(Run({}), kExitUsage);
  EXPECT_TRUE(Said("Aufruf:"));
  EXPECT_EQ(Run({"frobnicate"}), kExitUsage);
  EXPECT_EQ(Run({"new", "Demo", "--source"}), kExitUsage);
  EXPECT_TRUE(Said("Wert fehlt für --source"));
  EXPECT_EQ(Run({"new", "Demo", "--source", dir / "src", "--bogus"}), kExitUsage);
  EXPECT_EQ(Run({"new", "Demo", "--source", dir / "src", "--date", "31.02.2024"}), kExitUsage);
  EXPECT_EQ(Run({"status"}), kExitUsage);
  EXPECT_EQ(Run({"status", "a/b"}), kExitUsage) << "no project name";
  for (const char* jobs : {"0", "-1", "two", "", "99999999999"}) {
    EXPECT_EQ(Run({"generate", "Demo", "--jobs", jobs}), kExitUsage) << jobs;
    EXPECT_TRUE(Said(std::string("Ungültige Zahl für --jobs: ") + jobs)) << jobs;
  }
  EXPECT_EQ(FileExists(dir / "base\\Projects\\Demo.upf"), 0);
}

TEST_F(Cli, HelpForTheProgramAndEachCommand) {
  for (const char* flag : {"--help", "-h"}) {
    EXPECT_EQ(Run({flag}), kExitOk) << flag;
    EXPECT_EQ(out.rfind("Aufruf:\n", 0), 0u) << out;
    EXPECT_TRUE(err.empty()) << err;
    for (const char* command : {" new NAME", " configure NAME", " status NAME", " rule NAME",
                                " generate NAME", " upload NAME", " keygen", " sign NAME",
                                " ftp --server"}) {
      EXPECT_NE(out.find(command), std::string::npos) << command;
    }
  }
  for (const char* command :
       {"new", "configure", "status", "rule", "generate", "upload", "keygen", "sign", "ftp"}) {
    EXPECT_EQ(Run({command, "--help"}), kExitOk) << command;
    EXPECT_NE(out.find(std::string("] ") + command + " "), std::string::npos) << out;
    EXPECT_EQ(out.find(" upload NAME", 0) != std::string::npos, std::string(command) == "upload")
        << "only its own synopsis: " << out;
  }
  // Help wins over everything else on the line, and nothing is written.
  EXPECT_EQ(Run({"new", "Demo", "--source", dir / "src", "-h"}), kExitOk);
  EXPECT_NE(out.find("--exe PATH"), std::string::npos) << "options are explained";
  EXPECT_EQ(FileExists(dir / "base\\Projects\\Demo.upf"), 0);
  EXPECT_EQ(Run({"frobnicate", "--help"}), kExitUsage);
  EXPECT_TRUE(Said("Unbekannter Befehl frobnicate"));
}

TEST_F(Cli, MissingProjectExitsWithTwo) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"status", "Nope"}, {"generate", "Nope"}, {"upload", "Nope"},
        {"configure", "Nope", "--url", "x"}, {"rule", "Nope", "app.exe", "Delete"}}) {
    EXPECT_EQ(Run(args), kExitUsage) << args[0];
    EXPECT_TRUE(Said("Projekt \"Nope\" nicht gefunden")) << args[0];
  }
}

TEST_F(Cli, NewValidatesLikeTheDialog) {
  EXPECT_EQ(Run({"new", "Demo"}), kExitUsage);
  EXPECT_TRUE(Said("[Warnung] Projekt - Einstellungen: Die Eingaben sind unvollständig!"));
  EXPECT_EQ(FileExists(dir / "base\\Projects\\Demo.upf"), 0);
}

TEST_F(Cli, DeviceNamesAndNamesEndingInADotAreNoProjects) {
  for (const char* name : {"CON", "nul", "LPT1.x", "com1", "Demo.", "Demo "}) {
    EXPECT_EQ(Run({"new", name, "--source", dir / "src"}), kExitUsage) << name;
    EXPECT_TRUE(Said("Ungültiger Projektname: ")) << err;
    EXPECT_FALSE(Said("angelegt")) << name;
    EXPECT_EQ(Run({"configure", name, "--url", "http://x/"}), kExitUsage) << name;
  }
  EXPECT_EQ(Run({"new", "LPT1.x", "--source", dir / "src"}), kExitUsage);
  EXPECT_EQ(err,
            "Ungültiger Projektname: \"LPT1.x\" ist unter Windows ein Gerätename und kann kein "
            "Projektname sein.\n");
  std::vector<fs::DirEntry> made;
  fs::ListDirectory(dir / "base\\Projects", &made);
  EXPECT_TRUE(made.empty()) << made.front().name;
}

TEST_F(Cli, RefusedFilesAreListedWithTheirReasonAndNamesReachTheTerminalEscaped) {
  // A name that would clear the screen and set the terminal's title.
  const std::string evil = "evil\x1B[2J\x1B]0;owned\x07.txt";
  try {
    dir.Write("src\\" + evil, "x");
  } catch (const std::exception&) {
    GTEST_SKIP() << "no such name on this file system";
  }
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitOk) << err;
  EXPECT_TRUE(Said("1 Einträge werden nicht veröffentlicht (Gründe oben).\n")) << out;
  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  const std::string shown = "evil\\x1B[2J\\x1B]0;owned\\x07.txt";
  EXPECT_TRUE(Said("[ ] -----      " + shown +
                   " (nicht veröffentlicht: Name, den der Updater ablehnen würde)\n"))
      << out;
  EXPECT_EQ((out + err).find_first_of("\x1B\x07"), std::string::npos);
  EXPECT_EQ(Run({"rule", "Demo", evil, "Delete"}), kExitUsage);
  EXPECT_TRUE(Said("wird nicht veröffentlicht (Name, den der Updater ablehnen würde); sie kann "
                   "keine Regel erhalten.")) << err;
  EXPECT_EQ(Run({"generate", "Demo"}), kExitFailed) << "a file was not published";
  EXPECT_TRUE(Said("1 Datei wurde nicht veröffentlicht:\n  " + shown)) << err;
  EXPECT_EQ((out + err).find_first_of("\x1B\x07"), std::string::npos);
  EXPECT_EQ(Run({"generate", "Demo", "--only", evil}), kExitUsage);
  EXPECT_EQ((out + err).find_first_of("\x1B\x07"), std::string::npos);
}

TEST(ConsoleUi, MessagesAndProgressShowControlCharactersEscaped) {
  std::ostringstream out, err;
  ConsoleUi ui(out, err, false);
  // A server's reply after the builder's message, as the upload shows it.
  ui.ShowMessage("Projekt upload", "Fehler\n\nAntwort des FTP-Servers: 550 \x1B[2Jgone\x9B",
                 MessageIcon::kError);
  EXPECT_EQ(err.str(),
            "[Fehler] Projekt upload: Fehler\n\nAntwort des FTP-Servers: 550 \\x1B[2Jgone\\x9B\n");
  ui.BeginProgress("Erzeuge .....", 1);
  ui.ProgressText("a\rb");
  EXPECT_EQ(out.str(), "Erzeuge .....\n  a\\x0Db\n");
}

TEST_F(Cli, NewConfigureStatusRuleGenerate) {
  dir.Write("src\\bin\\app.exe", "MZ");
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src", "--exe", dir / "src\\bin\\app.exe",
                 "--url", "http://h/u/", "--ftp-dir", "demo", "--restart", "--mutex", "M",
                 "--version", "1.0", "--date", "5.3.2024"}),
            kExitOk)
      << err;
  EXPECT_TRUE(Said("Projekt \"Demo\" angelegt"));
  ProjectStructure p = Project("Demo");
  EXPECT_EQ(p.Version, "1.0");
  EXPECT_EQ(FormatDate(p.Date), "05.03.2024");
  EXPECT_EQ(p.FTPUpload, 1);
  EXPECT_EQ(p.FTPDir, "demo");
  UpdaterStructure c;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Demo\\Quastorell.ucf", &c));
  EXPECT_EQ(c.ProgExe, "bin\\app.exe");
  EXPECT_EQ(c.Restart, 1);
  EXPECT_EQ(c.Mutex, "M");

  EXPECT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitUsage) << "exists already";
  EXPECT_EQ(Project("Demo").FTPDir, "demo");

  ASSERT_EQ(Run({"configure", "Demo", "--url", "http://other/", "--version", "1.1"}), kExitOk);
  p = Project("Demo");
  EXPECT_EQ(p.Version, "1.1");
  EXPECT_EQ(p.FTPDir, "demo") << "options not given keep their values";
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Demo\\Quastorell.ucf", &c));
  EXPECT_EQ(c.URL, "http://other/");
  EXPECT_EQ(c.Mutex, "M");

  // Never packed yet, so all files stay proposed.
  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("[x] -----      app.exe  (noch nie gepackt)\n"
                   "[x] -----      bin\\app.exe  (noch nie gepackt)\n"
                   "[x] -----      lang\\de\\text.xml  (noch nie gepackt)\n"))
      << out;

  ASSERT_EQ(Run({"rule", "Demo", "lang/de/text.xml", "IfNotExist"}), kExitOk);
  EXPECT_EQ(Run({"rule", "Demo", "lang/de/text.xml", "Sometimes"}), kExitUsage);
  EXPECT_EQ(Run({"rule", "Demo", "missing.txt", "Delete"}), kExitUsage);
  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("[x] IfNotExist lang\\de\\text.xml")) << out;

  EXPECT_EQ(Run({"generate", "Demo", "--only", "nope.txt"}), kExitUsage);
  ASSERT_EQ(Run({"generate", "Demo", "--only", "app.exe", "--version", "2.0"}), kExitOk) << err;
  EXPECT_TRUE(Said("[Warnung] Projekt erstellen: Es wurden 1 Updater-Dateien erstellt bzw. "
                   "aktualisiert.\n\nNicht in das Update-Verzeichnis kopiert:\n  Quastorell.exe"))
      << out << err;
  EXPECT_EQ(FileExists(dir / "base\\Upload\\Demo\\app[exe].uzf"), 1);
  EXPECT_EQ(FileExists(dir / "base\\Upload\\Demo\\{langde}text[xml].uzf"), 0);
  EXPECT_EQ(Project("Demo").Version, "2.0");
  Manifest m;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Demo\\Quastorell.uif", &m));
  EXPECT_EQ(m["app.exe"].Update, 1);
  EXPECT_EQ(m["lang\\de\\text.xml"].Flags, kFlagIfNotExist);

  dir.Write("base\\Quastorell.exe", "client");
  ASSERT_EQ(Run({"generate", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("[Info] Projekt erstellen: Es wurden 2 Updater-Dateien erstellt bzw. "
                   "aktualisiert.\n"))
      << out;
  ASSERT_EQ(Run({"generate", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("Es wurden keine neuen Updater-Dateien erstellt bzw. aktualisiert."));

  // The recent list and the last project reach the settings store.
  EXPECT_NE(dir.Read("base\\Quastorell.reg").find("<Project1>Demo</Project1>"), std::string::npos);
}

TEST_F(Cli, KeptGenerationsIsAProjectSettingAndStatusShowsThePatches) {
  std::mt19937 gen(3);
  std::string program(100000, '\0');
  for (char& c : program) c = static_cast<char>(gen());
  dir.Write("src\\app.exe", program);
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitOk) << err;
  for (const char* bad : {"0", "101", "x", ""}) {
    EXPECT_EQ(Run({"generate", "Demo", "--kept-generations", bad}), kExitUsage) << bad;
  }
  ASSERT_EQ(Run({"generate", "Demo", "--kept-generations", "2"}), kExitOk) << err;
  EXPECT_EQ(Project("Demo").KeptGenerations, 2);
  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("Patches: 0, 0 Bytes kleiner als die ganzen Dateien (aufgehoben: die letzten 2 "
                   "Versionen jeder Datei)\n"))
      << out;
  program[500] ^= 1;
  dir.Write("src\\app.exe", program);
  ASSERT_EQ(Run({"generate", "Demo"}), kExitOk) << err;
  EXPECT_TRUE(Said("\n\n1 Patch für Anwender früherer Versionen, ")) << out;
  Manifest m;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Demo\\Quastorell.uif", &m));
  ASSERT_EQ(m["app.exe"].Patches.size(), 1u);
  const int64_t saved = fs::FileSize(dir / "base\\Upload\\Demo\\app[exe].uzf") -
                        m["app.exe"].Patches[0].Size;
  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("Patches: 1, " + std::to_string(saved) + " Bytes kleiner")) << out;
}

TEST_F(Cli, RemovedFilesInStatusRuleAndGenerate) {
  dir.Write("src\\old.txt", "only in the first release");
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitOk);
  ASSERT_EQ(Run({"generate", "Demo"}), kExitOk) << err;
  fs::RemoveFile(dir / "src\\old.txt");

  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("[ ] -----      old.txt (entfernt)\n")) << out;
  EXPECT_TRUE(Said("2 Dateien im Quellverzeichnis, davon 0 neu oder geändert.\n"
                   "1 Dateien nicht mehr im Quellverzeichnis (entfernt).\n"))
      << out;

  EXPECT_EQ(Run({"rule", "Demo", "old.txt", "IfNotExist"}), kExitUsage);
  EXPECT_EQ(err,
            "Datei \"old.txt\" ist nicht mehr im Quellverzeichnis; sie kann nur die Regel Delete "
            "erhalten.\n");
  ASSERT_EQ(Run({"rule", "Demo", "old.txt", "Delete"}), kExitOk) << err;
  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("[ ] Delete     old.txt (entfernt)\n")) << out;

  EXPECT_EQ(Run({"generate", "Demo", "--only", "old.txt"}), kExitUsage);
  EXPECT_TRUE(Said("Datei \"old.txt\" ist nicht mehr im Quellverzeichnis und kann nicht erstellt "
                   "werden."));
  Manifest m;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Demo\\Quastorell.uif", &m));
  EXPECT_EQ(m["old.txt"].Flags, kFlagDelete);
  EXPECT_EQ(m["old.txt"].Pack, "old[txt].uzf") << "the builder keeps what it packed";

  // A source folder that is not there at all lists nothing as removed, and
  // says so.
  std::filesystem::rename(fs::NativePath(dir / "src"), fs::NativePath(dir / "away"));
  ASSERT_EQ(Run({"status", "Demo"}), kExitFailed);
  EXPECT_FALSE(Said("entfernt")) << out;
  EXPECT_TRUE(Said("\" kann nicht gelesen werden: Ordner nicht lesbar.\n")) << err;
  EXPECT_EQ(Run({"generate", "Demo"}), kExitFailed);
  EXPECT_TRUE(Said("[Fehler] Projekt erstellen: Das Quellverzeichnis")) << err;
}

// Changes the process's current directory for the life of the object.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(fs::NativePath(dir));
  }
  ~InDirectory() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

TEST_F(Cli, RelativePathsAreTakenFromTheCurrentDirectory) {
  dir.Write("src\\bin\\app.exe", "MZ");
  InDirectory cwd(dir.path());
  ASSERT_EQ(Run({"new", "Rel", "--source", "src", "--target", "./out/../set", "--exe",
                 "src/./bin/../bin/app.exe"}),
            kExitOk)
      << err;
  EXPECT_EQ(fs::NativePath(Project("Rel").Source), fs::NativePath(dir / "src\\"));
  EXPECT_EQ(fs::NativePath(Project("Rel").Target), fs::NativePath(dir / "set\\"));
  UpdaterStructure c;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Rel\\Quastorell.ucf", &c));
  EXPECT_EQ(c.ProgExe, "bin\\app.exe");

  // configure: relative to the current directory, checked against the
  // project's own source folder.
  InDirectory sub(dir / "src\\bin");
  ASSERT_EQ(Run({"configure", "Rel", "--exe", "../app.exe"}), kExitOk) << err;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Rel\\Quastorell.ucf", &c));
  EXPECT_EQ(c.ProgExe, "app.exe");
  ASSERT_EQ(Run({"configure", "Rel", "--exe", "app.exe"}), kExitOk) << err;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Rel\\Quastorell.ucf", &c));
  EXPECT_EQ(c.ProgExe, "bin\\app.exe");
}

TEST_F(Cli, ProgramMustBeAnExistingFileOfTheRelease) {
  dir.Write("src\\bin\\app.exe", "MZ");
  dir.Write("elsewhere\\tool.exe", "MZ");
  InDirectory cwd(dir.path());
  // Relative to the source folder is no longer what a relative path means.
  EXPECT_EQ(Run({"new", "Demo", "--source", "src", "--exe", "bin/app.exe"}), kExitUsage);
  EXPECT_EQ(err, "Die Programmdatei \"" + fs::NativePath(dir / "bin\\app.exe") +
                     "\" gibt es nicht.\n");
  EXPECT_EQ(Run({"new", "Demo", "--source", "src", "--exe", "elsewhere/tool.exe"}), kExitUsage);
  EXPECT_EQ(err, "Die Programmdatei \"" + fs::NativePath(dir / "elsewhere\\tool.exe") +
                     "\" liegt nicht im Quellverzeichnis \"" + fs::NativePath(dir / "src\\") +
                     "\".\n");
  EXPECT_EQ(Run({"new", "Demo", "--source", "src", "--exe", "src/bin"}), kExitUsage)
      << "a folder is no program";
  EXPECT_EQ(FileExists(dir / "base\\Projects\\Demo.upf"), 0) << "nothing was created";

  ASSERT_EQ(Run({"new", "Demo", "--source", "src", "--exe", "src/app.exe"}), kExitOk) << err;
  EXPECT_EQ(Run({"configure", "Demo", "--exe", "elsewhere/tool.exe"}), kExitUsage);
  // A new source folder moves the check along with it.
  EXPECT_EQ(Run({"configure", "Demo", "--source", "elsewhere", "--exe", "src/app.exe"}),
            kExitUsage);
  EXPECT_EQ(fs::NativePath(Project("Demo").Source), fs::NativePath(dir / "src\\"))
      << "a refused configure changes nothing";
  UpdaterStructure c;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Demo\\Quastorell.ucf", &c));
  EXPECT_EQ(c.ProgExe, "app.exe");
  ASSERT_EQ(Run({"configure", "Demo", "--source", "elsewhere", "--exe", "elsewhere/tool.exe"}),
            kExitOk)
      << err;
  ASSERT_TRUE(LoadDocument(dir / "base\\Projects\\Demo\\Quastorell.ucf", &c));
  EXPECT_EQ(c.ProgExe, "tool.exe");
}

// Every file below `folder` with its content, by relative path.
std::map<std::string, std::string> Tree(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::vector<fs::DirEntry> entries;
  fs::ListDirectory(folder, &entries);
  for (const fs::DirEntry& e : entries) {
    if (e.is_directory) {
      for (auto& [rel, data] : Tree(folder + e.name + "\\")) files[e.name + "\\" + rel] = data;
    } else {
      fs::ReadFile(folder + e.name, &files[e.name]);
    }
  }
  return files;
}

TEST_F(Cli, ParallelPackingWritesTheSameBytesAsOneJob) {
  // Besides the fixture's two: files of every kind the packer treats
  // differently, in several folders, and more of them than there are workers.
  std::mt19937 rng(14);
  auto text = [&](size_t n) {
    std::string s;
    while (s.size() < n) s += "word" + std::to_string(rng() % 500) + (rng() % 9 ? " " : "\n");
    return s.substr(0, n);
  };
  auto noise = [&](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  };
  for (int i = 0; i < 24; ++i) {
    dir.Write("src\\d" + std::to_string(i % 4) + "\\file" + std::to_string(i) + ".txt",
              text(static_cast<size_t>(rng() % 60000)));
  }
  dir.Write("src\\big.dll", text(1500000) + noise(300000));
  dir.Write("src\\noise.bin", noise(70000));
  dir.Write("src\\empty.dat", "");
  dir.Write("src\\tiny.txt", "abc");
  dir.Write("src\\ab\\c\\x", "first of two colliding names");
  dir.Write("src\\a\\bc\\x", "second of two colliding names");
  dir.Write("src\\bad.txt", "its packed file cannot be written");
  dir.Write("base\\Quastorell.exe", "client");

  struct Run_ {
    std::string out, err;
    int status;
    std::map<std::string, std::string> set, project;
  };
  std::map<std::string, Run_> runs;
  for (const char* jobs : {"1", "2", "7"}) {
    const std::string base = std::string("base") + jobs;
    for (const char* f : {"Quastorell.exe", "Quastorell.lng"}) {
      dir.Write(base + "\\" + f, dir.Read(std::string("base\\") + f));
    }
    // A folder in the way of one packed file: that file fails, alone.
    dir.Write(base + "\\Upload\\Demo\\bad[txt].uzf\\in-the-way", "");
    std::istringstream in;
    std::ostringstream o, e;
    ASSERT_EQ(RunBuilderCli({"--base", dir / base, "new", "Demo", "--source", dir / "src",
                             "--date", "1.2.2024", "--version", "3.1"},
                            in, o, e, false),
              kExitOk);
    std::ostringstream go, ge;
    Run_& r = runs[jobs];
    r.status = RunBuilderCli({"--base", dir / base, "generate", "Demo", "--jobs", jobs}, in, go,
                             ge, false);
    r.out = go.str();
    r.err = ge.str();
    r.set = Tree(dir / (base + "\\Upload\\Demo\\"));
    r.project = Tree(dir / (base + "\\Projects\\Demo\\"));
    r.project.erase("Quastorell.hash");  // a cache: its stamps may differ
    // Each project has an identity of its own, made at random.
    for (auto* tree : {&r.set, &r.project}) {
      for (auto& [rel, data] : *tree) {
        const size_t at = data.find("\"ProjectId\": \"");
        if (rel.size() >= 14 && rel.compare(rel.size() - 14, 14, "Quastorell.ucf") == 0 &&
            at != std::string::npos) {
          data.replace(at + 14, 32, std::string(32, '0'));
        }
      }
    }
  }
  const Run_& one = runs["1"];
  EXPECT_EQ(one.status, kExitFailed);
  EXPECT_NE(one.err.find("1 Datei konnte nicht erstellt werden:\n  bad.txt"), std::string::npos)
      << one.err;
  EXPECT_NE(one.err.find("Es wurden 32 Updater-Dateien erstellt"), std::string::npos) << one.err;
  // The packed files, the obstacle, the client, its texts and its configuration.
  EXPECT_EQ(one.set.size(), 32u + 1u + 3u);
  EXPECT_NE(one.project.at("Quastorell.uif").find("\"SHA256\""), std::string::npos);
  for (const char* jobs : {"2", "7"}) {
    const Run_& r = runs[jobs];
    EXPECT_EQ(r.status, one.status) << jobs;
    EXPECT_EQ(r.out, one.out) << jobs;
    EXPECT_EQ(r.err, one.err) << jobs;
    EXPECT_EQ(r.project, one.project) << jobs << ": manifest and client configuration";
    EXPECT_EQ(r.set.size(), one.set.size()) << jobs;
    for (const auto& [rel, data] : one.set) {
      auto it = r.set.find(rel);
      ASSERT_NE(it, r.set.end()) << jobs << ": " << rel;
      EXPECT_TRUE(it->second == data) << jobs << ": " << rel << " differs";
    }
  }
}

TEST_F(Cli, FailedFileGivesStatusOne) {
  dir.Write("src\\NUL.txt", "device name");
  if (FileExists(dir / "src\\NUL.txt") == 0) GTEST_SKIP() << "cannot create NUL.txt here";
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitOk);
  EXPECT_EQ(Run({"generate", "Demo"}), kExitFailed);
  EXPECT_TRUE(Said("[Fehler] Projekt erstellen: Es wurden 2 Updater-Dateien"));
}

// Every file below the folder with its content.
std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& rel = "") {
  std::map<std::string, std::string> files;
  std::vector<fs::DirEntry> entries;
  fs::ListDirectory(root + rel, &entries);
  for (const fs::DirEntry& e : entries) {
    if (e.is_directory) {
      files.merge(Snapshot(root, rel + e.name + "\\"));
    } else {
      fs::ReadFile(root + rel + e.name, &files[rel + e.name]);
    }
  }
  return files;
}

// A project's manifest with one byte removed read as empty: every file was
// "neu", and generate wrote it over, its rules lost. A damaged client
// configuration went into the update set. Now every command stops, saying
// which file, and leaves everything as it was.
TEST_F(Cli, DamagedProjectDocumentsStopEveryCommand) {
  dir.Write("base\\Quastorell.exe", "client");
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src", "--url", "http://h/u/", "--ftp-dir",
                 "demo"}),
            kExitOk);
  ASSERT_EQ(Run({"rule", "Demo", "lang/de/text.xml", "IfNotExist"}), kExitOk);
  ASSERT_EQ(Run({"generate", "Demo"}), kExitOk) << err;
  for (const char* doc : {"Demo\\Quastorell.uif", "Demo\\Quastorell.ucf", "Demo.upf"}) {
    const std::string path = std::string("base\\Projects\\") + doc;
    const std::string good = dir.Read(path);
    dir.Write(path, good.substr(0, good.size() - 1));
    dir.Write("src\\new.txt", "new");
    const auto before = Snapshot(dir / "base\\");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"status", "Demo"}, {"generate", "Demo"},
          {"rule", "Demo", "app.exe", "Delete"}, {"upload", "Demo"},
          {"configure", "Demo", "--url", "http://x/"}}) {
      EXPECT_EQ(Run(args), kExitUsage) << doc << " " << args[0];
      EXPECT_TRUE(Said("[Fehler] Projekt öffnen: Die Datei \"" + fs::NativePath(dir / path) +
                       "\" des Projekts \"Demo\" ist beschädigt und kann nicht gelesen werden."))
          << doc << " " << args[0] << ": " << err;
      EXPECT_EQ(Snapshot(dir / "base\\"), before) << doc << " " << args[0];
    }
    fs::RemoveFile(dir / "src\\new.txt");
    dir.Write(path, good);
  }
  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_TRUE(Said("[ ] IfNotExist lang\\de\\text.xml\n")) << out;
}

// While another builder works on a project, every command that touches it
// says so, naming that program, ends with status 4 and changes nothing.
TEST_F(Cli, AProjectInUseIsLeftAlone) {
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src", "--ftp-dir", "demo"}), kExitOk);
  BuilderState gui;
  ModelUiForTest gui_ui;
  StartBuilder(gui, gui_ui, dir / "base");
  gui.program = "QuastorellBuilder.exe";
  ASSERT_EQ(OpenProjectFile(gui, gui_ui, "Demo.upf"), OpenOutcome::kOpened);
  dir.Write("src\\new.txt", "new");
  const auto before = Snapshot(dir / "base\\");
  for (std::vector<std::string> args :
       {std::vector<std::string>{"status", "Demo"}, {"generate", "Demo", "--version", "2.0"},
        {"rule", "Demo", "app.exe", "Delete"}, {"upload", "Demo"}, {"sign", "Demo"},
        {"configure", "Demo", "--url", "http://x/"}}) {
    EXPECT_EQ(Run(args), kExitInUse) << args[0];
    EXPECT_TRUE(Said("[Fehler] Projekt öffnen: Das Projekt \"Demo\" wird gerade von einem anderen "
                     "Programm bearbeitet: QuastorellBuilder.exe (Prozess " +
                     std::to_string(fs::ProcessId()) + ").\nEs wurde nichts geändert.\n"))
        << args[0] << ": " << err;
    EXPECT_EQ(Snapshot(dir / "base\\"), before) << args[0];
  }
  ShutdownBuilder(gui, gui_ui, {});
  EXPECT_EQ(Run({"generate", "Demo", "--version", "2.0"}), kExitOk) << err;
}

TEST_F(Cli, DocumentsThatCannotBeWrittenAreNoSuccess) {
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitOk);
  // The project's folder is blocked by a file of that name.
  testing::RemoveTree(dir / "base\\Projects\\Demo");
  dir.Write("base\\Projects\\Demo", "blocker");
  EXPECT_EQ(Run({"generate", "Demo"}), kExitFailed);
  EXPECT_TRUE(Said("[Fehler] Projekt öffnen: Die Sperrdatei \"" +
                   fs::NativePath(dir / "base\\Projects\\Demo\\Quastorell.lock") +
                   "\" des Projekts \"Demo\" kann nicht angelegt werden.\nEs wurde nichts geändert."))
      << err;
  EXPECT_EQ(Run({"status", "Demo"}), kExitFailed);
  EXPECT_EQ(dir.Read("base\\Projects\\Demo"), "blocker");
}

TEST_F(Cli, UploadWithoutFtpProjectIsRefused) {
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitOk);
  EXPECT_EQ(Run({"generate", "Demo", "--upload"}), kExitFailed);
  EXPECT_TRUE(Said("[Warnung] Projekt upload: Der FTP-Upload wurde für diese Projekt nicht "
                   "konfiguriert."));
  EXPECT_EQ(Run({"upload", "Demo"}), kExitFailed);
}

// A generation that could not write its set publishes nothing: no server
// is asked, and nothing is recorded outside the project.
TEST_F(Cli, AGenerationThatCouldNotWriteUploadsNothing) {
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src", "--ftp-dir", "demo"}), kExitOk);
  ASSERT_EQ(Run({"ftp", "--server", "127.0.0.1", "--port", "1", "--login", "a",
                 "--password-stdin"},
                "x\n"),
            kExitOk);
  // The generation's journal cannot be written: a folder holds its name.
  dir.Write("base\\Projects\\Demo\\Quastorell.journal\\x", "");
  EXPECT_EQ(Run({"generate", "Demo", "--upload"}), kExitFailed);
  EXPECT_TRUE(Said("Die Update-Dateien konnten nicht geschrieben werden")) << err;
  EXPECT_TRUE(Said("Es wurde nichts hochgeladen, weil das Update nicht erstellt werden konnte."))
      << err;
  EXPECT_FALSE(Said("Verbindung")) << err;
  EXPECT_EQ(FileExists(dir / "base\\Projects\\Quastorell.sent"), 0);
  EXPECT_EQ(FileExists(dir / "base\\Projects\\Quastorell.uif"), 0);
}

TEST_F(Cli, FtpSettingsWithPasswordFromStdin) {
  EXPECT_EQ(Run({"ftp", "--login", "u"}), kExitUsage);
  EXPECT_TRUE(Said("[Warnung] FTP - Einstellungen: Die Eingaben sind unvollständig!"));
  EXPECT_EQ(Run({"ftp", "--server", "h", "--port", "x1"}), kExitUsage);
  ASSERT_EQ(Run({"ftp", "--server", "ftp.example", "--login", "u", "--start-dir", "/pub",
                 "--password-stdin"},
                "Pass9word\r\n"),
            kExitOk)
      << err;
  // The old member stays, empty, for older builders; the password is kept
  // protected and read back from there.
  const std::string cfg = dir.Read("base\\Quastorell.cfg");
  EXPECT_EQ(cfg.rfind("{\"Server\": \"ftp.example\", \"Port\": 21, \"StartDir\": \"/pub\", "
                      "\"Login\": \"u\", \"Password\": \"\", \"ProtectedPassword\": \"",
                      0),
            0u)
      << cfg;
  // Without --password-stdin the stored password stays.
  ASSERT_EQ(Run({"ftp", "--server", "other", "--port", "2121"}), kExitOk);
  FTPStructure f;
  ASSERT_TRUE(LoadDocument(dir / "base\\Quastorell.cfg", &f));
  EXPECT_EQ(f.Server, "other");
  EXPECT_EQ(f.Port, 2121);
  EXPECT_EQ(f.Login, "u");
  EXPECT_EQ(f.Password, "");
  std::string recovered;
  EXPECT_TRUE(RecoverPassword(dir / "base\\", f.ProtectedPassword, &recovered));
  EXPECT_EQ(recovered, "Pass9word");
}

// A protocol chosen on the command line moves the port as the window's
// choice does: a port that was the old protocol's own (or none) becomes the
// new one's; one given with it, or typed before, stays.
TEST_F(Cli, FtpProtocolBringsItsOwnPortUnlessOneIsGiven) {
  FTPStructure f;
  ASSERT_EQ(Run({"ftp", "--server", "h", "--protocol", "SFTP"}), kExitOk) << err;
  ASSERT_TRUE(LoadDocument(dir / "base\\Quastorell.cfg", &f));
  EXPECT_EQ(f.Protocol, "SFTP");
  EXPECT_EQ(f.Port, 22);
  ASSERT_EQ(Run({"ftp", "--protocol", "FTPS"}), kExitOk) << err;
  ASSERT_TRUE(LoadDocument(dir / "base\\Quastorell.cfg", &f));
  EXPECT_EQ(f.Port, 21);
  ASSERT_EQ(Run({"ftp", "--protocol", "SFTP", "--port", "2222"}), kExitOk) << err;
  ASSERT_TRUE(LoadDocument(dir / "base\\Quastorell.cfg", &f));
  EXPECT_EQ(f.Port, 2222);
  ASSERT_EQ(Run({"ftp", "--protocol", "FTPS"}), kExitOk) << err;
  ASSERT_TRUE(LoadDocument(dir / "base\\Quastorell.cfg", &f));
  EXPECT_EQ(f.Port, 2222) << "a port of one's own stays";
}

// An older builder's file holds the password in a letter substitution
// anyone can undo: it is still read, and the next save protects it. From
// then on no file of the base folder holds the password in a readable
// form, but for the owner-only file that holds it where there is no DPAPI.
TEST_F(Cli, AnOldReadablePasswordIsProtectedAtTheNextSaveAndNeverWrittenReadably) {
  const std::string secret = "Alt9Geheim";
  dir.Write("base\\Quastorell.cfg", "{\"Server\": \"ftp.example\", \"Port\": 21, \"StartDir\": "
                                     "\"\", \"Login\": \"u\", \"Password\": \"" +
                                         ScramblePassword(secret) + "\"}");
  ASSERT_EQ(Run({"ftp", "--start-dir", "/pub"}), kExitOk) << err;
  FTPStructure f;
  ASSERT_TRUE(LoadDocument(dir / "base\\Quastorell.cfg", &f));
  EXPECT_EQ(f.Password, "");
  std::string recovered;
  ASSERT_TRUE(RecoverPassword(dir / "base\\", f.ProtectedPassword, &recovered));
  EXPECT_EQ(recovered, secret);

  // A server that refuses the connection at once: the upload fails and says so.
  ASSERT_EQ(Run({"ftp", "--server", "127.0.0.1", "--port", "1", "--password-stdin"},
                "Neu7Geheim\n"),
            kExitOk);
  EXPECT_TRUE(Said("Mit FTP gehen Benutzername und Passwort unverschlüsselt"))
      << "plain FTP with a password is warned about, and still saved";
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src", "--ftp-dir", "d"}), kExitOk);
  Run({"generate", "Demo", "--upload"});  // the server does not exist: the log says so
  std::vector<std::string> files;
  std::function<void(const std::string&)> walk = [&](const std::string& folder) {
    std::vector<fs::DirEntry> entries;
    fs::ListDirectory(folder, &entries);
    for (const auto& e : entries) {
      if (e.is_directory) walk(folder + e.name + "\\");
      else files.push_back(folder + e.name);
    }
  };
  walk(dir / "base\\");
  ASSERT_GT(files.size(), 4u);
  for (const std::string& file : files) {
    std::string text;
    ASSERT_TRUE(fs::ReadFile(file, &text)) << file;
    if (file == dir / "base\\Quastorell.pwd") {
      EXPECT_FALSE(fs::ReadableByOthers(file)) << "the password file is its owner's alone";
      continue;
    }
    for (const std::string& word : {secret, ScramblePassword(secret), std::string("Neu7Geheim"),
                                    ScramblePassword("Neu7Geheim")}) {
      EXPECT_EQ(text.find(word), std::string::npos) << file << " holds " << word;
    }
  }
  for (const std::string& word : {secret, std::string("Neu7Geheim")}) {
    EXPECT_EQ((out + err).find(word), std::string::npos) << "said on the console";
  }
}

// Damaged settings files are kept as "name.bad", the user is told, and the
// builder starts with fresh ones; a settings store nested 200,000 levels
// deep is one of them, not a crash.
TEST_F(Cli, DamagedSettingsFilesAreKeptAndTheUserIsTold) {
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<Registry>";
  dir.Write("base\\Quastorell.reg", deep);
  dir.Write("base\\Quastorell.cfg", "{\"Server\": \"ftp.example\", \"Port\": 2");
  ASSERT_EQ(Run({"new", "Demo", "--source", dir / "src"}), kExitOk) << err;
  for (const char* file : {"Quastorell.reg", "Quastorell.cfg"}) {
    EXPECT_TRUE(Said("[Warnung] Einstellungen: Die Datei \"" +
                     fs::NativePath(dir / (std::string("base\\") + file)) +
                     "\" ist beschädigt und wurde nicht gelesen.\nSie bleibt als \"" + file +
                     ".bad\" erhalten; an ihrer Stelle wird eine neue angelegt."))
        << err;
  }
  EXPECT_EQ(dir.Read("base\\Quastorell.reg.bad"), deep);
  EXPECT_EQ(dir.Read("base\\Quastorell.cfg.bad"), "{\"Server\": \"ftp.example\", \"Port\": 2");
  EXPECT_EQ(FileExists(dir / "base\\Quastorell.cfg"), 0) << "only \"ftp\" writes it";
  EXPECT_NE(dir.Read("base\\Quastorell.reg").find("<Project1>Demo</Project1>"), std::string::npos);

  ASSERT_EQ(Run({"status", "Demo"}), kExitOk);
  EXPECT_FALSE(Said("beschädigt")) << "told once";
  EXPECT_EQ(FileExists(dir / "base\\Quastorell.cfg.1.bad"), 0);
}

}  // namespace
}  // namespace quasto
