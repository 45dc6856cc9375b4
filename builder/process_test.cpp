// The command line as separate processes, on a real file system: two runs at
// once, kills at every file-changing call of a generation (strace delivers
// SIGKILL on entry to the chosen call), and a disk that is full. After each,
// the next start must find the old update set or the new one, never a mix,
// and no temporary left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "builder/generation_journal.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/signature.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto {
namespace {

using testing::RunProgram;
using testing::TempDir;

// What a generation writes: the update set and the project's documents.
struct Set {
  std::map<std::string, std::string> files;
  bool operator==(const Set&) const = default;
};

void Collect(const std::string& root, const std::string& rel, std::map<std::string, std::string>* out) {
  std::vector<fs::DirEntry> entries;
  fs::ListDirectory(root + rel, &entries);
  for (const fs::DirEntry& e : entries) {
    if (e.is_directory) {
      Collect(root, rel + e.name + "\\", out);
    } else {
      fs::ReadFile(root + rel + e.name, &(*out)[rel + e.name]);
    }
  }
}

// Names that only a run cut short leaves behind.
bool IsLeftover(const std::string& name) {
  return name.find(kStagedPrefix) != std::string::npos || name.find(".~qgen") != std::string::npos ||
         name.find(".tmp~") != std::string::npos || name.find(".part") != std::string::npos ||
         name.find(kGenerationJournalFile) != std::string::npos;
}

class BuilderProcess : public ::testing::Test {
 protected:
  BuilderProcess() {
    base_ = dir_ / "base\\";
    src_ = dir_ / "src\\";
    pristine_ = dir_ / "pristine\\";
  }

  std::vector<std::string> Env() const {
    // LeakSanitizer cannot work under ptrace; a killed process leaks anyway.
    return {"LC_ALL=C", "LANG=C", "TZ=Europe/Berlin", "ASAN_OPTIONS=detect_leaks=0"};
  }
  int Builder(std::vector<std::string> args, std::string* out = nullptr,
              const std::vector<std::string>& strace = {}) {
    std::vector<std::string> argv;
    if (!strace.empty()) {
      argv = {"/usr/bin/strace", "-f", "-qq"};
      argv.insert(argv.end(), strace.begin(), strace.end());
    }
    argv.push_back(QUASTO_BUILDER_BINARY);
    argv.push_back("--base");
    argv.push_back(fs::NativePath(base_));
    argv.insert(argv.end(), args.begin(), args.end());
    std::string ignored;
    return RunProgram(argv, out != nullptr ? out : &ignored, "", Env());
  }

  static std::string Content(const std::string& what, size_t size) {
    std::string s;
    for (int k = 0; s.size() < size; ++k) s += what + " " + std::to_string(k * 7919 % 10007) + ";";
    return s.substr(0, size);
  }

  // Version 1 generated and signed; the source folder then holds version 2:
  // changed files, new ones in a new folder, an unchanged one.
  void MakeVersions() {
    for (int i = 0; i < 6; ++i) {
      dir_.Write("src\\lib\\f" + std::to_string(i) + ".dll", Content("v1 f" + std::to_string(i), 3000 + i * 900));
    }
    dir_.Write("src\\app.exe", Content("app 1", 20000));
    dir_.Write("src\\readme.txt", "unchanged\n");
    Age(src_, "");
    dir_.Write("base\\Quastorell.exe", "the client");
    dir_.Write("base\\Quastorell.lng", "<Lang/>");
    PublicKey pub;
    SecretKey secret;
    GenerateKeyPair(&pub, &secret);
    dir_.Write("base\\Quastorell.key", SecretKeyFileText(secret, std::nullopt));
    dir_.Write("base\\Quastorell.pub", PublicKeyFileText(pub));
    pub_ = pub;
    ASSERT_EQ(Builder({"new", "Demo", "--source", fs::NativePath(src_), "--url", "http://h/demo/",
                       "--ftp-dir", "demo"}),
              0);
    std::string out;
    ASSERT_EQ(Builder({"generate", "Demo", "--version", "1.0", "--date", "1.2.2024"}, &out), 0) << out;
    old_ = Snapshot();
    for (int i = 0; i < 6; i += 2) {
      dir_.Write("src\\lib\\f" + std::to_string(i) + ".dll", Content("v2 f" + std::to_string(i), 2500 + i * 1100));
    }
    dir_.Write("src\\app.exe", Content("app 2", 24000));
    for (int i = 0; i < 3; ++i) {
      dir_.Write("src\\plugins\\p" + std::to_string(i) + ".dll", Content("plugin" + std::to_string(i), 4000));
    }
    Age(src_, "");
    testing::RemoveTree(pristine_);
    ASSERT_TRUE(CopyTree(base_, pristine_));
  }

  // Sources written long ago: every run of the same generation then reads
  // them the same way, whatever the hash cache's guard for fresh files says.
  static void Age(const std::string& root, const std::string& rel) {
    std::vector<fs::DirEntry> entries;
    fs::ListDirectory(root + rel, &entries);
    for (const fs::DirEntry& e : entries) {
      if (e.is_directory) {
        Age(root, rel + e.name + "\\");
      } else {
        fs::SetFileDate(root + rel + e.name, DateValueFromCivil({2023, 5, 6, 7, 8, 9}));
      }
    }
  }

  static bool CopyTree(const std::string& from, const std::string& to) {
    return RunProgram({"/bin/cp", "-a", fs::NativePath(from), fs::NativePath(to)}) == 0;
  }
  void RestoreVersion1() {
    testing::RemoveTree(base_);
    ASSERT_TRUE(CopyTree(pristine_, base_));
  }

  // The set, with the signature checked against its manifest rather than
  // compared (its timestamp differs from run to run).
  Set Snapshot() {
    Set s;
    Collect(base_ + "Upload\\Demo\\", "", &s.files);
    for (const char* doc : {"Quastorell.uif", "Quastorell.ucf"}) {
      fs::ReadFile(base_ + "Projects\\Demo\\" + doc, &s.files[std::string("project\\") + doc]);
    }
    fs::ReadFile(base_ + "Projects\\Demo.upf", &s.files["Demo.upf"]);
    auto sig = s.files.find("Quastorell.uif.minisig");
    if (sig != s.files.end()) {
      VerifiedSignature v;
      sig->second = VerifySignature(s.files["Quastorell.uif"], sig->second, pub_, &v).empty()
                        ? "valid"
                        : "invalid";
    }
    return s;
  }

  // In the update set and the project's folders. (The base folder's own
  // settings are saved outside the project's lock; their temporaries go by
  // age, RemoveStaleTemporaries.)
  std::vector<std::string> Leftovers() {
    std::map<std::string, std::string> files;
    Collect(base_, "Upload\\", &files);
    Collect(base_, "Projects\\", &files);
    std::vector<std::string> odd;
    for (const auto& [rel, content] : files) {
      if (IsLeftover(FilePart(rel))) odd.push_back(rel);
    }
    return odd;
  }

  // The published manifest names each packed file by its CRC and size.
  std::string Mismatch(const Set& s) {
    Manifest m;
    if (ManifestFromJson(s.files.at("project\\Quastorell.uif"), &m) != ManifestRead::kOk) {
      return "manifest unreadable";
    }
    for (const auto& [key, e] : m) {
      if (e.Pack.empty()) continue;
      auto it = s.files.find(e.Pack);
      if (it == s.files.end()) return "missing " + e.Pack;
      if (static_cast<int32_t>(Crc32(it->second)) != e.CRC) return "CRC of " + e.Pack;
    }
    return "";
  }

  enum class Ended { kOld, kNew, kMixed };
  Ended Judge(const std::string& where) {
    const Set now = Snapshot();
    const std::vector<std::string> left = Leftovers();
    EXPECT_TRUE(left.empty()) << where << ": " << left.front();
    if (now == old_) return Ended::kOld;
    if (now == new_) return Ended::kNew;
    std::string diff;
    for (const auto& [rel, content] : new_.files) {
      auto it = now.files.find(rel);
      const bool is_old = old_.files.count(rel) && old_.files.at(rel) == (it == now.files.end() ? "" : it->second);
      if (it == now.files.end() || it->second != content) diff += " " + rel + (is_old ? "(old)" : "(?)");
    }
    ADD_FAILURE() << where << ": neither set;" << diff << " " << Mismatch(now);
    return Ended::kMixed;
  }

  TempDir dir_;
  std::string base_, src_, pristine_;
  PublicKey pub_;
  Set old_, new_;
};

// Two command lines on one project at once: one works, the other says the
// project is in use and by which program, and changes nothing. Never a
// spurious failure, never a set that does not match its manifest.
TEST_F(BuilderProcess, TwoCommandLinesAtOnce) {
  MakeVersions();
  int refused = 0, overlapping = 0;
  for (int round = 0; round < 10; ++round) {
    // Enough to pack that the two runs overlap.
    for (int i = 0; i < 8; ++i) {
      dir_.Write("src\\round\\r" + std::to_string(i) + ".bin",
                 Content("round " + std::to_string(round) + " " + std::to_string(i), 150000));
    }
    std::string out[2];
    int rc[2];
    const std::string version = "3." + std::to_string(round);
    std::thread other([&] { rc[1] = Builder({"generate", "Demo", "--version", version}, &out[1]); });
    rc[0] = Builder({"generate", "Demo", "--version", version}, &out[0]);
    other.join();
    for (int k = 0; k < 2; ++k) {
      EXPECT_TRUE(rc[k] == 0 || rc[k] == 4) << "round " << round << ": " << rc[k] << "\n" << out[k];
      EXPECT_EQ(out[k].find("nicht erstellt werden"), std::string::npos) << out[k];
      if (rc[k] == 4) {
        ++refused;
        EXPECT_NE(out[k].find("[Fehler] Projekt öffnen: Das Projekt \"Demo\" wird gerade von einem "
                              "anderen Programm bearbeitet: quastorell-builder generate (Prozess "),
                  std::string::npos)
            << out[k];
      }
    }
    EXPECT_TRUE(rc[0] == 0 || rc[1] == 0) << "round " << round;
    if (rc[0] == 4 || rc[1] == 4) ++overlapping;
    std::string status;
    EXPECT_EQ(Builder({"status", "Demo"}, &status), 0) << status;
    EXPECT_EQ(Mismatch(Snapshot()), "") << "round " << round;
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
  }
  std::printf("two command lines at once: 10 rounds, %d overlapping, %d refused with status 4, "
              "no other failure\n",
              overlapping, refused);
}

// A disk that fills up during the generation (a small file system of its
// own): the set stays the old one, with a message and status 1; with room
// enough it becomes the new one. Never a mix.
TEST_F(BuilderProcess, AFullDiskLeavesTheOldSet) {
  if (RunProgram({"/usr/bin/unshare", "-rm", "/bin/true"}) != 0) {
    GTEST_SKIP() << "no mount namespace here (unshare -rm): a small file system cannot be made";
  }
  MakeVersions();
  {
    // The new set, for comparison.
    std::string out;
    ASSERT_EQ(Builder({"generate", "Demo", "--version", "2.0", "--date", "1.3.2025"}, &out), 0) << out;
    new_ = Snapshot();
    RestoreVersion1();
  }
  const std::string base = fs::NativePath(base_);
  const std::string pristine = fs::NativePath(pristine_);
  const std::string result = fs::NativePath(dir_ / "result");
  std::map<std::string, int> ended;
  for (int free_kib : {0, 8, 32, 64, 72, 80, 88, 96, 128, 256, 4096}) {
    testing::RemoveTree(dir_ / "result");
    // The base folder gets a file system of its own in a mount namespace,
    // holding version 1 and a filler that leaves `free_kib` free.
    const std::string script =
        "set -e\n"
        "mount -t tmpfs -o size=8m tmpfs '" + base + "'\n"
        "cp -a '" + pristine + "/.' '" + base + "/'\n"
        "dd if=/dev/zero of='" + base + "/filler' bs=4k 2>/dev/null || true\n"
        "truncate -s -" + std::to_string(free_kib) + "K '" + base + "/filler' 2>/dev/null || "
        "  rm '" + base + "/filler'\n"
        "set +e\n"
        "'" QUASTO_BUILDER_BINARY "' --base '" + base + "' generate Demo --version 2.0 "
        "--date 1.3.2025 --jobs 1 > '" + base + "/../gen.out' 2>&1\n"
        "echo $? > '" + base + "/../gen.rc'\n"
        "rm -f '" + base + "/filler'\n"
        "'" QUASTO_BUILDER_BINARY "' --base '" + base + "' configure Demo > '" + base +
        "/../status.out' 2>&1\n"
        "echo $? > '" + base + "/../status.rc'\n"
        "cp -a '" + base + "/.' '" + result + "/'\n";
    fs::MakeDirectory(dir_ / "result");
    std::string out;
    ASSERT_EQ(RunProgram({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script}, &out, "", Env()), 0)
        << out;
    const std::string gen = dir_.Read("gen.out");
    const int rc = std::atoi(dir_.Read("gen.rc").c_str());
    EXPECT_EQ(dir_.Read("status.rc"), "0\n") << dir_.Read("status.out");
    const std::string saved = base_;
    base_ = dir_ / "result\\";
    fs::RemoveFile(base_ + "filler");
    const Ended e = Judge(std::to_string(free_kib) + " KiB free");
    base_ = saved;
    ++ended[e == Ended::kOld ? "old" : e == Ended::kNew ? "new" : "mixed"];
    if (e == Ended::kOld) {
      EXPECT_EQ(rc, 1) << free_kib << " KiB free:\n" << gen;
      EXPECT_NE(gen.find("[Fehler] Projekt erstellen: Die Update-Dateien konnten nicht geschrieben "
                         "werden"),
                std::string::npos)
          << free_kib << " KiB free:\n" << gen;
      EXPECT_NE(gen.find("Es wurde nichts geändert; die bisherigen Dateien bleiben erhalten."),
                std::string::npos)
          << gen;
    }
    if (free_kib == 0) {
      EXPECT_EQ(e, Ended::kOld) << "a full disk keeps the old set";
    }
    if (free_kib == 4096) {
      EXPECT_EQ(e, Ended::kNew) << "room enough";
    }
    std::printf("%d KiB free: exit status %d, %s set\n", free_kib, rc,
                e == Ended::kOld ? "old" : e == Ended::kNew ? "new" : "mixed");
  }
  std::printf("full disk: %d old, %d new, %d mixed\n", ended["old"], ended["new"], ended["mixed"]);
  EXPECT_EQ(ended["mixed"], 0);
}

// One call of a run as strace saw it.
struct Call {
  std::string name;  // openat, rename, unlink, ...
  int ordinal = 0;   // the how-many-th call of that name in the process
  std::string line;
};

bool ChangesFiles(const Call& c) {
  return c.name == "mkdir" || c.name == "unlink" || c.name == "unlinkat" || c.name == "rename" ||
         c.name == "renameat" || c.name == "rmdir" || c.name == "chmod" ||
         c.name == "utimensat" || c.name == "fsync" ||
         (c.name == "openat" && c.line.find("O_CREAT") != std::string::npos);
}

class GenerationKillSweep : public BuilderProcess {
 protected:
  const std::vector<std::string> kGenerate = {"generate", "Demo", "--version", "2.0", "--date",
                                              "1.3.2025", "--jobs", "1"};
  std::vector<Call> Reference() {
    RestoreVersion1();
    const std::string trace = dir_ / "reference.txt";
    std::string out;
    EXPECT_EQ(Builder(kGenerate, &out, {"-o", fs::NativePath(trace), "-e", "trace=%file,fsync"}), 0)
        << out;
    new_ = Snapshot();
    EXPECT_EQ(Mismatch(new_), "");
    EXPECT_NE(new_, old_);
    std::ifstream in(fs::NativePath(trace));
    std::vector<Call> calls;
    std::map<std::string, int> counts;
    std::string line, pid;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string p, call;
      fields >> p >> call;
      if (pid.empty()) pid = p;
      const size_t paren = call.find('(');
      // One thread: --jobs 1 packs on it, and strace counts calls per thread.
      EXPECT_EQ(p, pid) << line;
      if (paren == std::string::npos) continue;
      Call c;
      c.name = call.substr(0, paren);
      c.ordinal = ++counts[c.name];
      c.line = line;
      calls.push_back(c);
    }
    return calls;
  }
};

// A kill on entry to every file-changing call from the journal of the
// staging to the end of the run, then the next start: the update
// set and the project's documents are the old ones or the new ones, whole,
// their signature valid, with no temporary and no journal left.
TEST_F(GenerationKillSweep, EveryFileChangingCallEndsOldOrNew) {
  const auto started = std::chrono::steady_clock::now();
  MakeVersions();
  const std::vector<Call> calls = Reference();
  size_t first = calls.size();
  for (size_t i = 0; i < calls.size() && first == calls.size(); ++i) {
    if (calls[i].name == "openat" &&
        calls[i].line.find(std::string(kGenerationJournalFile) + ".tmp~") != std::string::npos) {
      first = i;
    }
  }
  ASSERT_LT(first, calls.size()) << "the staging's journal";
  std::vector<Call> points;
  for (size_t i = first; i < calls.size(); ++i) {
    if (ChangesFiles(calls[i])) points.push_back(calls[i]);
  }
  ASSERT_GT(points.size(), 30u);

  std::map<Ended, int> ended;
  int missed = 0;
  for (const Call& c : points) {
    RestoreVersion1();
    const int rc = Builder(kGenerate, nullptr,
                           {"-o", "/dev/null", "-e", "trace=" + c.name, "-e",
                            "inject=" + c.name + ":signal=KILL:when=" + std::to_string(c.ordinal)});
    if (rc != -1) {
      ADD_FAILURE() << "not killed (status " << rc << ") at " << c.line;
      ++missed;
      continue;
    }
    // The next start; configure changes nothing of the set, so what it finds
    // is what the kill left, completed or undone.
    std::string out;
    EXPECT_EQ(Builder({"configure", "Demo"}, &out), 0) << "killed at " << c.line << "\n" << out;
    ++ended[Judge("killed at " + c.line)];
  }
  const auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  std::printf("generation kill sweep: %zu fault points, %d old, %d new, %d mixed, %d missed, "
              "%.1f s\n",
              points.size(), ended[Ended::kOld], ended[Ended::kNew], ended[Ended::kMixed], missed,
              secs.count());
  RecordProperty("fault_points", static_cast<int>(points.size()));
  EXPECT_GT(ended[Ended::kOld], 0);
  EXPECT_GT(ended[Ended::kNew], 0);
  EXPECT_EQ(ended[Ended::kMixed] + missed, 0);
}

// The start that completes a commit can be killed too: the start after it
// completes it still.
TEST_F(GenerationKillSweep, KilledWhileCompletingAKilledCommit) {
  MakeVersions();
  const std::vector<Call> calls = Reference();
  // Half-way through the renames into place.
  std::vector<Call> places;
  for (const Call& c : calls) {
    if (c.name == "renameat" && c.line.find(kStagedPrefix) != std::string::npos) places.push_back(c);
  }
  ASSERT_GT(places.size(), 6u);
  const Call first_kill = places[places.size() / 2];
  auto kill_first = [&] {
    RestoreVersion1();
    EXPECT_EQ(Builder(kGenerate, nullptr,
                      {"-o", "/dev/null", "-e", "trace=renameat", "-e",
                       "inject=renameat:signal=KILL:when=" + std::to_string(first_kill.ordinal)}),
              -1);
  };
  // What completing it does, call by call.
  kill_first();
  const std::string trace = dir_ / "recovery.txt";
  ASSERT_EQ(Builder({"configure", "Demo"}, nullptr,
                    {"-o", fs::NativePath(trace), "-e", "trace=%file,fsync"}),
            0);
  ASSERT_EQ(Judge("completed"), Ended::kNew);
  std::ifstream in(fs::NativePath(trace));
  std::vector<Call> points;
  std::map<std::string, int> counts;
  std::string line;
  bool journal_seen = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string p, call;
    fields >> p >> call;
    const size_t paren = call.find('(');
    if (paren == std::string::npos) continue;
    Call c;
    c.name = call.substr(0, paren);
    c.ordinal = ++counts[c.name];
    c.line = line;
    journal_seen = journal_seen || line.find(kGenerationJournalFile) != std::string::npos;
    if (journal_seen && ChangesFiles(c)) points.push_back(c);
  }
  ASSERT_GT(points.size(), 3u);

  int mixed = 0;
  for (const Call& c : points) {
    kill_first();
    EXPECT_EQ(Builder({"configure", "Demo"}, nullptr,
                      {"-o", "/dev/null", "-e", "trace=" + c.name, "-e",
                       "inject=" + c.name + ":signal=KILL:when=" + std::to_string(c.ordinal)}),
              -1)
        << "not killed at " << c.line;
    std::string out;
    EXPECT_EQ(Builder({"configure", "Demo"}, &out), 0) << out;
    if (Judge("completion killed at " + c.line) != Ended::kNew) ++mixed;
  }
  std::printf("kill sweep of the completion: %zu fault points, %d not new\n", points.size(), mixed);
  EXPECT_EQ(mixed, 0);
}

}  // namespace
}  // namespace quasto
