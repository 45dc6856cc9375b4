// The console client killed at every file-system call of an update's commit
// and at the moments of its staging, then started once more with no server
// to reach: the installation must be all version 1 or all version 2, byte
// for byte, folders included, with no temporary left but the ones a staging
// journal keeps for the next run (the run after, with the server, must then
// end all version 2 with nothing left). The kills come from strace, which
// delivers SIGKILL on entry to the chosen call.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "client/test_site.h"
#include "shared/dates.h"
#include "shared/documents.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/journal.h"
#include "shared/patch.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto {
namespace {

using testing::ServerProcess;
using testing::TempDir;

const int32_t kOld = DateValueFromCivil({2021, 3, 4, 5, 6, 7});
const int32_t kNew = DateValueFromCivil({2025, 8, 9, 10, 11, 12});

// Files and folders below an installation, the client's own left out.
struct Tree {
  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  bool operator==(const Tree&) const = default;
};

void Collect(const std::string& root, const std::string& rel, Tree* tree) {
  std::vector<fs::DirEntry> entries;
  fs::ListDirectory(root + rel, &entries);
  for (const auto& e : entries) {
    const std::string path = rel + e.name;
    if (rel.empty() && (e.name == "Quasto" || e.name == "quastorell")) continue;
    if (e.is_directory) {
      tree->folders.insert(path + "\\");
      Collect(root, path + "\\", tree);
    } else {
      fs::ReadFile(root + path, &tree->files[path]);
    }
  }
}

std::string Describe(const Tree& got, const Tree& want) {
  std::ostringstream out;
  for (const auto& [rel, content] : want.files) {
    auto it = got.files.find(rel);
    if (it == got.files.end()) {
      out << " missing " << rel << ";";
    } else if (it->second != content) {
      out << " differs " << rel << ";";
    }
  }
  for (const auto& [rel, content] : got.files) {
    if (!want.files.count(rel)) out << " extra " << rel << ";";
  }
  for (const auto& f : want.folders) {
    if (!got.folders.count(f)) out << " missing folder " << f << ";";
  }
  for (const auto& f : got.folders) {
    if (!want.folders.count(f)) out << " extra folder " << f << ";";
  }
  return out.str();
}

// One call of the client as a reference run under strace saw it.
struct Call {
  std::string name;  // as strace names it: openat, rename, unlink, ...
  int ordinal = 0;   // the how-many-th call of that name in the process
  std::string line;
};

// A 20-file update from version 1 to version 2: changed files, new files in
// new folders, a new folder of its own, deleted files and a deleted folder,
// an unchanged file, and a program that runs after the update.
class KillSweepTest : public ::testing::Test {
 protected:
  // The server names each file's version, as a later run's range request
  // needs.
  KillSweepTest() : server_("http_server.py", {"--root", site_.path(), "--ranges"}) {
    fs::ReadFile(QUASTORELL_BINARY, &binary_);
    auto content = [](const std::string& what, int size) {
      std::string s;
      for (int k = 0; static_cast<int>(s.size()) < size; ++k) s += what + std::to_string(k) + ";";
      return s;
    };
    for (int i = 0; i < 9; ++i) {
      const std::string rel = "lib\\f" + std::to_string(i) + ".dll";
      Both(rel, content("v1 " + rel, 3000 + i * 1500), content("v2 " + rel, 4000 + i * 1700));
    }
    Both("app.exe", content("app 1", 30000), content("app 2", 36000));
    // One file comes as a patch against the installed version 1.
    {
      const std::string v1 = content("tool 1", 20000);
      std::string v2 = v1;
      v2.replace(5000, 10, "version 2!");
      Both("tool.exe", v1, v2);
      std::string patch;
      MakePatch(v1, v2, &patch);
      site_.Write("tool[exe].patch.uzp", patch);
      manifest_["tool.exe"].Patches.push_back({Sha256Hex(v1), "tool[exe].patch.uzp",
                                               static_cast<int32_t>(patch.size()),
                                               Sha256Hex(patch)});
    }
    Both("lib\\core.dll", content("core 1", 12000), content("core 2", 12000));
    // Large enough that its partial download and its staged file are
    // recorded for a later run: those journal writes are swept too.
    {
      std::string noise(1200000, '\0');
      uint32_t x = 7;
      for (char& c : noise) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
      }
      Both("lib\\big.dll", "big 1", noise);
    }
    Both("data\\table.bin", content("table 1", 8000), content("table 2", 6000));
    Both("readme.txt", "unchanged\n", "unchanged\n");
    for (int i = 0; i < 3; ++i) {
      New("plugins\\a\\p" + std::to_string(i) + ".dll", content("plugin" + std::to_string(i), 5000));
      New("docs\\de\\h" + std::to_string(i) + ".txt", content("Hilfe" + std::to_string(i), 2000));
    }
    New("empty.log", "");
    // The program that runs after the update leaves its mark outside.
    New("tools\\post.sh", "#!/bin/sh\necho ran >> \"$QUASTO_SWEEP_MARKER\"\n", kFlagRun);
    Old("old.txt", "only in version 1\n");
    Old("olddir\\x.txt", "also only in version 1\n");
    UpdFileStructure& dir = manifest_["olddir\\"];
    dir.Path = "olddir\\";
    dir.Type = "D";
    dir.Flags = kFlagDelete;
    UpdFileStructure& cache = manifest_["cache\\"];
    cache.Path = "cache\\";
    cache.Type = "D";
    cache.Flags = kFlagIfNotExist;
    v2_.folders = {"cache\\", "data\\", "docs\\", "docs\\de\\", "lib\\", "plugins\\",
                   "plugins\\a\\", "tools\\"};
    v1_.folders = {"data\\", "lib\\", "olddir\\"};
    SaveDocument(site_ / "Quastorell.uif", manifest_);
    marker_ = marks_ / "ran";
  }

  void Both(const std::string& rel, const std::string& v1, const std::string& v2) {
    v1_.files[rel] = v1;
    v2_.files[rel] = v2;
    client::PublishHashed(site_, &manifest_, FolderPart(rel), FilePart(rel), v2, kNew);
  }
  void New(const std::string& rel, const std::string& v2, int32_t flags = 0) {
    v2_.files[rel] = v2;
    client::PublishHashed(site_, &manifest_, FolderPart(rel), FilePart(rel), v2, kNew, flags);
  }
  void Old(const std::string& rel, const std::string& v1) {
    v1_.files[rel] = v1;
    UpdFileStructure& e = manifest_[rel];
    e.Path = FolderPart(rel);
    e.Name = FilePart(rel);
    e.Type = "F";
    e.Flags = kFlagDelete;
  }

  // A fresh installation of version 1 with the client beside it.
  void InstallVersion1() {
    testing::RemoveTree(install_.path());
    CreateDirectoryTree(install_.path());
    for (const auto& [rel, content] : v1_.files) {
      install_.Write(rel, content);
      fs::SetFileDate(install_ / rel, kOld);
    }
    install_.Write("quastorell", binary_);
    chmod((install_ / "quastorell").c_str(), 0755);
    Configure(server_.http_url());
    fs::RemoveFile(marker_);
  }
  void Configure(const std::string& url) {
    UpdaterStructure config;
    config.ProgInfo = "Demo 2.0";
    config.URL = url;
    CreateDirectoryTree(install_ / "Quasto");
    SaveDocument(install_ / "Quasto\\Quastorell.ucf", config);
  }

  std::vector<std::string> Env() const {
    // LeakSanitizer cannot work under ptrace; a killed process leaks anyway.
    return {"LC_ALL=C", "LANG=C", "ASAN_OPTIONS=detect_leaks=0", "QUASTO_SWEEP_MARKER=" + marker_};
  }
  int Client(const std::vector<std::string>& strace_args, std::string* out = nullptr) {
    std::vector<std::string> argv;
    if (!strace_args.empty()) {
      argv = {"/usr/bin/strace", "-f", "-qq"};
      argv.insert(argv.end(), strace_args.begin(), strace_args.end());
    }
    argv.push_back(install_ / "quastorell");
    argv.push_back("--unattended");
    return testing::RunProgram(argv, out, "", Env());
  }

  // The file-system calls of an undisturbed update, in order.
  std::vector<Call> Reference() {
    InstallVersion1();
    const std::string trace = marks_ / "reference.txt";
    EXPECT_EQ(Client({"-o", trace, "-e", "trace=%file,fsync,fdatasync,syncfs"}), 0);
    EXPECT_EQ(Snapshot(install_), v2_) << "the reference run updates";
    const std::string log = install_.Read("Quasto\\Quastorell.log");
    EXPECT_NE(log.find("-> tool.exe (19.5 KB) from a patch"), std::string::npos)
        << "the sweep covers a file staged from a patch: " << log;
    std::ifstream in(trace);
    std::vector<Call> calls;
    std::map<std::string, int> counts;
    std::string line, pid;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string p, call;
      fields >> p >> call;
      if (pid.empty()) pid = p;
      const size_t paren = call.find('(');
      if (p != pid || paren == std::string::npos) continue;  // the program it runs
      Call c;
      c.name = call.substr(0, paren);
      c.ordinal = ++counts[c.name];
      c.line = line;
      calls.push_back(c);
    }
    return calls;
  }

  static Tree Snapshot(const TempDir& dir) {
    Tree t;
    Collect(dir.path(), "", &t);
    return t;
  }

  // Temporaries and journals anywhere in the installation.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> odd;
    Tree t;
    Collect(install_.path(), "", &t);
    for (const auto& [rel, content] : t.files) {
      if (rel.find(".~q") != std::string::npos || rel.find(".bak") != std::string::npos) {
        odd.push_back(rel);
      }
    }
    std::vector<fs::DirEntry> data;
    fs::ListDirectory(install_ / "Quasto", &data);
    for (const auto& e : data) {
      if (e.name.find(".tmp~") != std::string::npos ||
          e.name.find(client::kJournalFile) != std::string::npos) {
        odd.push_back("Quasto\\" + e.name);
      }
    }
    return odd;
  }

  // Kills the client on entry to `call`; then starts it once with no server
  // to reach. Returns false (after failing the test) when the state after
  // that is neither version.
  enum class Ended { kOld, kNew, kMissed, kBroken };
  Ended KillAt(const Call& call) {
    InstallVersion1();
    const int rc = Client({"-o", "/dev/null", "-e", "trace=" + call.name, "-e",
                           "inject=" + call.name + ":signal=KILL:when=" +
                               std::to_string(call.ordinal)});
    if (rc != -1) {
      ADD_FAILURE() << "not killed (status " << rc << ") at " << call.line;
      return Ended::kMissed;
    }
    const Tree killed = Snapshot(install_);
    // The program to run comes after the commit, never before it.
    if (FileExists(marker_) == 1 && !(killed == v2_)) {
      ADD_FAILURE() << "ran on a half-made installation, killed at " << call.line
                    << Describe(killed, v2_);
      return Ended::kBroken;
    }
    return Restart(call.line);
  }

  Ended Restart(const std::string& where) {
    Configure("http://127.0.0.1:1/");  // as if the server were down
    std::string out;
    const int rc = Client({}, &out);
    EXPECT_EQ(rc, 2) << "killed at " << where << "\n" << out;
    Tree after = Snapshot(install_);
    std::vector<std::string> left = Leftovers();
    // What the staging kept for the next run: the temporaries its journal
    // names, in the folders of version 1.
    std::string text;
    client::Journal kept;
    if (fs::ReadFile(install_ / "Quasto\\Quastorell.journal", &text) &&
        client::ParseJournal(text, &kept) && !kept.committing && client::HasResumable(kept)) {
      std::set<std::string> named;
      for (const client::JournalStep& s : kept.steps) named.insert(s.path);
      std::vector<std::string> unnamed;
      for (const std::string& rel : left) {
        if (rel == std::string("Quasto\\") + client::kJournalFile) continue;
        if (named.count(rel) == 0) unnamed.push_back(rel);
        after.files.erase(rel);
      }
      left = unnamed;
      EXPECT_TRUE(left.empty()) << "killed at " << where << ": " << left.front();
      if (!(after == v1_)) {
        ADD_FAILURE() << "killed at " << where << ": kept, but not version 1;"
                      << Describe(after, v1_);
        return Ended::kBroken;
      }
      // The next run takes them up and ends as version 2.
      Configure(server_.http_url());
      out.clear();
      EXPECT_EQ(Client({}, &out), 0) << "after a kill at " << where << "\n" << out;
      const std::vector<std::string> rest = Leftovers();
      EXPECT_TRUE(rest.empty()) << "killed at " << where << ", then updated: " << rest.front();
      if (!(Snapshot(install_) == v2_)) {
        ADD_FAILURE() << "killed at " << where << ", then updated: not version 2;"
                      << Describe(Snapshot(install_), v2_);
        return Ended::kBroken;
      }
      ++resumed_;
      return Ended::kOld;
    }
    EXPECT_TRUE(left.empty()) << "killed at " << where << ": " << left.front();
    if (after == v1_) return Ended::kOld;
    if (after == v2_) return Ended::kNew;
    ADD_FAILURE() << "killed at " << where << ": neither version;" << Describe(after, v2_);
    return Ended::kBroken;
  }

  TempDir site_, install_, marks_;
  ServerProcess server_;
  std::string binary_;
  Manifest manifest_;
  Tree v1_, v2_;
  std::string marker_;
  int resumed_ = 0;  // restarts that found staged files kept for them
};

bool IsJournalWrite(const Call& c) {
  return c.name == "openat" && c.line.find("Quastorell.journal.tmp~") != std::string::npos;
}

bool ChangesFiles(const Call& c) {
  return c.name == "mkdir" || c.name == "unlink" || c.name == "rename" ||
         c.name == "renameat" || c.name == "rmdir" ||
         c.name == "chmod" || c.name == "utimensat" || c.name == "fsync" ||
         c.name == "fdatasync" || c.name == "syncfs" ||
         (c.name == "openat" && c.line.find("O_CREAT") != std::string::npos);
}

// The points of an undisturbed update's calls: the file-changing calls of
// its staging, or every call of its commit and after it.
enum class Stretch { kStaging, kCommit };

class KillSweepStretchTest : public KillSweepTest {
 protected:
  // Sweeps one stretch; the two run as tests of their own, side by side.
  std::map<Ended, int> Sweep(Stretch stretch) {
    const auto started = std::chrono::steady_clock::now();
    const std::vector<Call> calls = Reference();
    // The first journal records the staging, the last lists the commit;
    // between them, the records of the large file's partial download and of
    // its staged file.
    std::vector<size_t> journal_writes;
    for (size_t i = 0; i < calls.size(); ++i) {
      if (IsJournalWrite(calls[i])) journal_writes.push_back(i);
    }
    EXPECT_EQ(journal_writes.size(), 4u);
    std::map<Ended, int> ended;
    if (journal_writes.size() != 4u) return ended;
    const size_t stage = journal_writes.front(), commit = journal_writes.back();

    std::vector<Call> points;
    if (stretch == Stretch::kStaging) {
      for (size_t i = stage; i < commit; ++i) {
        if (ChangesFiles(calls[i])) points.push_back(calls[i]);
      }
    } else {
      points.assign(calls.begin() + static_cast<std::ptrdiff_t>(commit), calls.end());
    }
    for (const Call& c : points) ++ended[KillAt(c)];
    const auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    std::printf("kill sweep of the %s: %zu fault points, %d all old (%d of them with staged "
                "files kept and then used), %d all new, %d missed, %d broken, %.1f s\n",
                stretch == Stretch::kStaging ? "staging" : "commit and after", points.size(),
                ended[Ended::kOld], resumed_, ended[Ended::kNew], ended[Ended::kMissed],
                ended[Ended::kBroken], secs.count());
    RecordProperty("fault_points", static_cast<int>(points.size()));
    EXPECT_EQ(ended[Ended::kMissed] + ended[Ended::kBroken], 0);
    return ended;
  }
};

TEST_F(KillSweepStretchTest, EveryMomentOfTheStaging) {
  std::map<Ended, int> ended = Sweep(Stretch::kStaging);
  // Nothing installed changes before the commit; kills after the first
  // records leave staged files that the next run takes up.
  EXPECT_GT(ended[Ended::kOld], 0);
  EXPECT_EQ(ended[Ended::kNew], 0);
  EXPECT_GT(resumed_, 0);
}

TEST_F(KillSweepStretchTest, EveryCallOfTheCommit) {
  std::map<Ended, int> ended = Sweep(Stretch::kCommit);
  EXPECT_GT(ended[Ended::kNew], 0);
}

// The start that completes a commit can be killed too: its steps are taken
// again by the start after it.
TEST_F(KillSweepTest, KilledWhileCompletingAKilledCommit) {
  const std::vector<Call> calls = Reference();
  // Half-way through the renames into place.
  std::vector<Call> places;
  for (const Call& c : calls) {
    if (c.name == "renameat" && c.line.find(".~qnew\"") != std::string::npos) places.push_back(c);
  }
  ASSERT_GT(places.size(), 10u);
  const Call first_kill = places[places.size() / 2];

  // The installation as the first kill left it, kept aside once and put back
  // before each point: the same state, byte for byte and date for date, as
  // killing a whole update again would leave, in a fraction of the time.
  InstallVersion1();
  EXPECT_EQ(Client({"-o", "/dev/null", "-e", "trace=renameat", "-e",
                    "inject=renameat:signal=KILL:when=" + std::to_string(first_kill.ordinal)}),
            -1);
  Configure("http://127.0.0.1:1/");
  TempDir killed;
  ASSERT_EQ(testing::RunProgram({"/bin/cp", "-a", install_.path() + ".", killed.path()}), 0);
  auto kill_first = [&] {
    testing::RemoveTree(install_.path());
    ASSERT_EQ(testing::RunProgram({"/bin/cp", "-a", killed.path() + ".", install_.path()}), 0);
  };
  // What completing it does, call by call.
  kill_first();
  const std::string trace = marks_ / "recovery.txt";
  EXPECT_EQ(Client({"-o", trace, "-e", "trace=%file,fsync,fdatasync,syncfs"}), 2);
  ASSERT_EQ(Snapshot(install_), v2_);
  std::ifstream in(trace);
  std::vector<Call> points;
  std::map<std::string, int> counts;
  std::string line, pid;
  bool journal_seen = false, logged = false;
  while (!logged && std::getline(in, line)) {
    std::istringstream fields(line);
    std::string p, call;
    fields >> p >> call;
    if (pid.empty()) pid = p;
    const size_t paren = call.find('(');
    if (p != pid || paren == std::string::npos) continue;
    Call c;
    c.name = call.substr(0, paren);
    c.ordinal = ++counts[c.name];
    c.line = line;
    journal_seen = journal_seen || line.find(client::kJournalFile) != std::string::npos;
    // Up to the log of the completed update; what follows is the plain start.
    logged = c.name == "rename" && line.find("Quastorell.log.tmp~") != std::string::npos;
    if (journal_seen) points.push_back(c);
  }
  ASSERT_GT(points.size(), 5u);

  int broken = 0;
  for (const Call& c : points) {
    kill_first();
    const int rc = Client({"-o", "/dev/null", "-e", "trace=" + c.name, "-e",
                           "inject=" + c.name + ":signal=KILL:when=" + std::to_string(c.ordinal)});
    EXPECT_EQ(rc, -1) << "not killed at " << c.line;
    if (Restart("recovery " + c.line) != Ended::kNew) ++broken;
  }
  std::printf("kill sweep of the completion: %zu fault points, %d broken\n", points.size(), broken);
  EXPECT_EQ(broken, 0);
}

}  // namespace
}  // namespace quasto
