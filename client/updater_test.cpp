#include "client/updater.h"

#include <gtest/gtest.h>

#include <cctype>

#include "client/entry_checks.h"
#include "client/recording_view.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/journal.h"
#include "shared/test_util.h"

namespace quasto::client {
namespace {

using testing::TempDir;

// The parts of the system these tests do not reach.
class NoSystem : public ClientSystem {
 public:
  bool StartSockets() override { return true; }
  bool IsConnected() override { return true; }
  MutexResult CreateNamedMutex(const std::string&) override { return MutexResult::kCreated; }
  void ReleaseMutex() override {}
  bool IsProgramRunning(const std::string&) override { return false; }
  bool StartProgram(const std::string&, const std::string&, const std::string&,
                    std::string*) override {
    return false;
  }
  bool RunProgramAndWait(const std::string& path, const std::string&) override {
    ran.push_back(path);
    return starts;
  }
  std::string LogEncoding(const std::string& utf8) override { return utf8; }
  std::vector<std::string> ran;
  bool starts = true;
};

UpdFileStructure Entry(const std::string& path, const std::string& name, int32_t flags,
                       int32_t date, const std::string& type = "F") {
  UpdFileStructure e;
  e.Path = path;
  e.Name = name;
  e.Flags = flags;
  e.Date = date;
  e.Type = type;
  e.Pack = std::string(1, 'p');  // not a literal: g++ 12 warns falsely (-Wrestrict) here
  return e;
}

class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() : updater_(&ctx_, &view_, nullptr, &system_) {
    ctx_.base_folder = dir_.path();
    ctx_.data_folder = dir_.path() + "Quasto\\";
    ctx_.language.SetDefaultTexts();
    ctx_.config.URL = "http://127.0.0.1:9/";
    CreateDirectoryTree(ctx_.data_folder);
  }

  void Put(const std::string& rel, int32_t date) {
    dir_.Write(rel, "content");
    ASSERT_TRUE(fs::SetFileDate(dir_ / rel, date));
  }

  int Analyse(const Manifest& m) {
    actions_.clear();
    runs_.clear();
    return updater_.AnalyseManifest(&actions_, m, &runs_);
  }

  TempDir dir_;
  ClientContext ctx_;
  RecordingView view_;
  NoSystem system_;
  Updater updater_;
  std::vector<UpdActionStructure> actions_;
  std::vector<std::string> runs_;
};

const int32_t kOld = DateValueFromCivil({2020, 1, 1, 12, 0, 0});
const int32_t kNew = DateValueFromCivil({2024, 6, 1, 12, 0, 0});

TEST_F(UpdaterTest, DefaultRuleComparesDatesAsSignedNumbers) {
  Put("older.txt", kOld);
  Put("newer.txt", kNew);
  Put("same.txt", kNew);
  Manifest m;
  m["a"] = Entry("", "older.txt", 0, kNew);
  m["b"] = Entry("", "newer.txt", 0, kOld);
  m["c"] = Entry("", "same.txt", 0, kNew);
  m["d"] = Entry("sub\\", "missing.txt", 0, kOld);
  m["e"] = Entry("", "missing2.txt", 8, kOld);  // an unknown rule behaves as the default
  m["f"] = Entry("", "ancient.txt", 0, -5);     // missing counts as date 0, and 0 < -5 is false
  m["g"] = Entry("", "dir", 0, kNew, "D");      // the default rule ignores directories
  m["h"] = Entry("", "x", 0, kNew, "f");        // type is compared exactly
  ASSERT_EQ(Analyse(m), 3);
  EXPECT_EQ(actions_[0].File, dir_ / "older.txt");
  EXPECT_EQ(actions_[1].File, dir_ / "sub\\missing.txt");
  EXPECT_EQ(actions_[2].File, dir_ / "missing2.txt");
  for (const auto& a : actions_) EXPECT_EQ(a.Action, kActionDownload);
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(view_.progress_max, 8);
  EXPECT_EQ(view_.progress, 8);
  EXPECT_EQ(view_.texts[kStatusFrame], "Auswertung (Update-Info)");
  EXPECT_EQ(view_.history[kStatusText].front(), "older.txt");
}

TEST_F(UpdaterTest, ContentDecidesWhereTheEntryRecordsAHash) {
  const std::string same = Sha256Hex("content");  // what Put writes
  const std::string other = Sha256Hex("other content");
  Put("current.dll", kOld);
  Put("reset.exe", fs::NowDateValue());  // copied without its date
  Put("inplace.dll", kNew);
  Put("tool.exe", kOld);
  Put("keep.ini", kOld);
  Manifest m;
  auto hashed = [](UpdFileStructure e, const std::string& hex) {
    e.SHA256 = hex;
    return e;
  };
  m["1"] = hashed(Entry("", "current.dll", 0, kNew), same);   // older, but the same bytes
  m["2"] = hashed(Entry("", "reset.exe", 0, kOld), other);    // newer, but other bytes
  m["3"] = hashed(Entry("", "inplace.dll", 0, kNew), other);  // same date and size
  m["4"] = hashed(Entry("sub\\", "missing.txt", 0, kOld), same);
  m["5"] = hashed(Entry("", "tool.exe", kFlagRun, kNew), same);  // current: run only
  m["6"] = hashed(Entry("", "keep.ini", kFlagIfNotExist, kNew), other);  // present: kept
  m["7"] = hashed(Entry("", "upper.dll", 0, kNew), "");
  Put("upper.dll", kOld);
  for (char& c : m["7"].SHA256 = same) c = static_cast<char>(std::toupper(c));
  m["8"] = hashed(Entry("", "bad.dll", 0, kNew), "not a hash");
  m["9"] = hashed(Entry("", "ignored.dll", kFlagNoUpdate, kNew), "not a hash");
  ASSERT_EQ(Analyse(m), 3);
  EXPECT_EQ(actions_[0].File, dir_ / "reset.exe");
  EXPECT_EQ(actions_[0].SHA256, other);
  EXPECT_EQ(actions_[1].File, dir_ / "inplace.dll");
  EXPECT_EQ(actions_[2].File, dir_ / "sub\\missing.txt");
  // A hash the client cannot check is refused, and is no action.
  EXPECT_EQ(updater_.refused(), (std::vector<std::string>{"bad.dll"}));
  EXPECT_EQ(runs_, (std::vector<std::string>{dir_ / "tool.exe"}));
}

TEST_F(UpdaterTest, HashCacheSparesReadingAndIsNeverTrustedBlindly) {
  Manifest m;
  for (int i = 0; i < 5; ++i) {
    const std::string name = std::string("f") + std::to_string(i) + ".dll";
    Put(name, kOld);
    m[name] = Entry("", name, 0, kNew);
    m[name].SHA256 = Sha256Hex("content");
  }
  auto fresh_run = [&](int* hashed) {
    Updater u(&ctx_, &view_, nullptr, &system_);
    actions_.clear();
    const int n = u.AnalyseManifest(&actions_, m, &runs_);
    *hashed = u.hashes().files_hashed();
    return n;
  };
  int hashed = 0;
  EXPECT_EQ(fresh_run(&hashed), 0);
  EXPECT_EQ(hashed, 5);
  EXPECT_EQ(fresh_run(&hashed), 0);
  EXPECT_EQ(hashed, 0) << "a warm cache reads no file";

  // A changed file is read again; a damaged cache means reading everything.
  dir_.Write("f1.dll", "changed!");
  fs::SetFileDate(dir_ / "f1.dll", kOld);
  EXPECT_EQ(fresh_run(&hashed), 1);
  EXPECT_EQ(hashed, 1);
  std::string cache = dir_.Read("Quasto\\Quastorell.hash");
  cache[cache.size() / 2] ^= 0x20;
  ASSERT_TRUE(fs::WriteFile(dir_ / "Quasto\\Quastorell.hash", cache));
  EXPECT_EQ(fresh_run(&hashed), 1);
  EXPECT_EQ(hashed, 5);
  ASSERT_TRUE(fs::RemoveFile(dir_ / "Quasto\\Quastorell.hash"));
  EXPECT_EQ(fresh_run(&hashed), 1);
  EXPECT_EQ(hashed, 5);
}

TEST_F(UpdaterTest, IfNotExistDeleteAndRunRules) {
  Put("exists.dll", kOld);
  Put("obsolete.dll", kOld);
  Put("tool.exe", kNew);
  CreateDirectoryTree(dir_ / "olddir");
  CreateDirectoryTree(dir_ / "emptydir");
  Manifest m;
  m["1"] = Entry("", "exists.dll", kFlagIfNotExist, kNew);  // older, but present: kept
  m["2"] = Entry("", "absent.dll", kFlagIfNotExist, kNew);
  m["3"] = Entry("newdir\\", "", kFlagIfNotExist, 0, "D");
  m["4"] = Entry("olddir\\", "", kFlagIfNotExist, 0, "D");   // exists: nothing
  m["5"] = Entry("", "gone.txt", kFlagDelete, 0);            // already missing: nothing to do
  m["5b"] = Entry("", "obsolete.dll", kFlagDelete, 0);
  m["6"] = Entry("emptydir\\", "", kFlagDelete, 0, "D");
  m["7"] = Entry("", "tool.exe", kFlagRun, kNew);            // up to date: run only
  m["8"] = Entry("", "setup.exe", kFlagRun, kNew);           // missing: download and run
  m["9"] = Entry("", "never.txt", kFlagNoUpdate, kNew);
  ASSERT_EQ(Analyse(m), 5);
  EXPECT_EQ(actions_[0].File, dir_ / "absent.dll");
  EXPECT_EQ(actions_[0].Action, kActionDownload);
  EXPECT_EQ(actions_[1].Dir, dir_ / "newdir\\");
  EXPECT_EQ(actions_[1].Action, kActionCreateDir);
  EXPECT_EQ(actions_[2].File, dir_ / "obsolete.dll");
  EXPECT_EQ(actions_[2].Action, kActionDeleteFile);
  EXPECT_EQ(actions_[3].Dir, dir_ / "emptydir\\");
  EXPECT_EQ(actions_[3].Action, kActionDeleteDir);
  EXPECT_EQ(actions_[4].File, dir_ / "setup.exe");
  EXPECT_EQ(runs_, (std::vector<std::string>{dir_ / "tool.exe", dir_ / "setup.exe"}));
}

TEST_F(UpdaterTest, EntriesLeavingTheBaseFolderAreRefused) {
  Manifest m;
  m["1"] = Entry("..\\", "evil.dll", 0, kNew);
  m["2"] = Entry("", "..", kFlagDelete, 0, "D");  // refused before any existence test
  m["3"] = Entry("C:\\Windows\\", "x.dll", kFlagRun, kNew);
  m["4"] = Entry("..\\", "quiet.dll", kFlagNoUpdate, kNew);  // never touched anyway
  m["5"] = Entry("", "", 0, kNew);
  // Refused entries are no actions: otherwise every run would offer them.
  EXPECT_EQ(Analyse(m), 0);
  EXPECT_TRUE(actions_.empty());
  EXPECT_EQ(updater_.refused(),
            (std::vector<std::string>{"..\\evil.dll", "..", "C:\\Windows\\x.dll", ""}));
  EXPECT_TRUE(runs_.empty());  // a refused program is never run
}

// A manifest that deletes or replaces the client's configuration, texts,
// journal or key would disable the next run or send it elsewhere; one that
// deletes the client would leave nothing to run.
TEST_F(UpdaterTest, ManifestNeverReachesTheClientsOwnFiles) {
  ctx_.executable = dir_ / "Quastorell.exe";
  Put("Quastorell.exe", kOld);
  Put("Quasto\\Quastorell.ucf", kOld);
  Put("Quasto\\Quastorell.lng", kOld);
  Put("Quasto\\readme.txt", kOld);
  Manifest m;
  m["a"] = Entry("Quasto\\", "Quastorell.ucf", kFlagDelete, 0);
  m["b"] = Entry("quasto\\", "QUASTORELL.LNG.", kFlagDelete, 0);  // as Windows reads it
  m["c"] = Entry("Quasto\\", "Quastorell.ucf", 0, kNew);          // ProgExe "../outside.sh"
  m["d"] = Entry("Quasto \\", "Quastorell.journal", 0, kNew);
  m["e"] = Entry("Quasto\\", "Quastorell.pub", kFlagIfNotExist, kNew);  // a key of its own
  m["f"] = Entry("Quasto\\", "QUASTO~1.UCF", kFlagDelete, 0);           // a short name
  m["g"] = Entry("Quasto\\", "Quastorell.lock", kFlagRun, kNew);
  m["h"] = Entry("", "Quastorell.exe", kFlagDelete, 0);
  m["i"] = Entry("Quasto\\", "", kFlagDelete, 0, "D");
  // Other files in the folder are the publisher's.
  m["k"] = Entry("Quasto\\", "readme.txt", kFlagDelete, 0);
  m["l"] = Entry("Quasto\\sub\\", "Quastorell.ucf", 0, kNew);
  ASSERT_EQ(Analyse(m), 2);
  EXPECT_EQ(actions_[0].File, dir_ / "Quasto\\readme.txt");
  EXPECT_EQ(actions_[1].File, dir_ / "Quasto\\sub\\Quastorell.ucf");
  // "a" and "c" name one file: a file and its Delete, which are dropped as
  // a rename; "c" is refused as the client's own file.
  EXPECT_EQ(updater_.refused(),
            (std::vector<std::string>{"quasto\\QUASTORELL.LNG.", "Quasto\\Quastorell.ucf",
                                      "Quasto \\Quastorell.journal", "Quasto\\Quastorell.pub",
                                      "Quasto\\QUASTO~1.UCF", "Quasto\\Quastorell.lock",
                                      "Quastorell.exe", "Quasto\\"}));
  for (const std::string& why : updater_.refusals()) EXPECT_EQ(why, kOwnFile);
  EXPECT_TRUE(runs_.empty());

  // Its own executable may be replaced.
  Manifest replace;
  replace["j"] = Entry("", "Quastorell.exe", 0, kNew);
  ASSERT_EQ(Analyse(replace), 1);
  EXPECT_EQ(actions_[0].File, dir_ / "Quastorell.exe");
  EXPECT_EQ(actions_[0].Action, kActionDownload);
}

TEST_F(UpdaterTest, ActionCountAndTotalSize) {
  Manifest m;
  m["a"] = Entry("", "a.bin", 0, kNew);
  m["a"].Size = 1000;
  m["b"] = Entry("", "b.bin", 0, kNew);
  m["b"].Size = 0;
  m["c"] = Entry("", "c.bin", 0, kNew);
  m["c"].Size = 2048;
  m["d"] = Entry("new\\", "", kFlagIfNotExist, 0, "D");
  ASSERT_EQ(Analyse(m), 4);
  EXPECT_EQ(TotalSize(actions_), 3048);
  actions_[1].Size = -100;  // negative sizes are not summed
  EXPECT_EQ(TotalSize(actions_), 3048);
  EXPECT_EQ(Analyse(Manifest{}), 0);
}

// A window updated for each of a million entries takes longer than the
// analysis itself: the name at hand is shown at a pace a person can read,
// the first one always, and the progress ends full.
TEST_F(UpdaterTest, ALargeManifestIsShownAtAPaceNotPerEntry) {
  Manifest m;
  for (int i = 0; i < 100000; ++i) {
    std::string name = std::to_string(100000 + i);
    name.insert(0, 1, 'f');  // not "f" + ...: g++ 12 warns falsely (-Wrestrict) there
    m[name] = Entry("missing\\", name, 0, kNew);
  }
  ASSERT_EQ(Analyse(m), 100000);
  const auto& shown = view_.history[kStatusText];
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), "f100000");
  EXPECT_LT(shown.size(), 2000u);
  EXPECT_LT(view_.drains, 2000);
  EXPECT_EQ(view_.progress, 100000);
}

// A Size of 2 GiB or more is written in 32 bits as a negative number: such
// a file is beyond what a manifest can describe. Shown, it would read
// "(-2097152 KB)" and make the total 0.
TEST_F(UpdaterTest, AFileWithANegativeSizeIsRefused) {
  Manifest m;
  m["big"] = Entry("", "big.iso", 0, kNew);
  m["big"].Size = static_cast<int32_t>(0x80000005u);
  m["run"] = Entry("", "setup.exe", kFlagRun, kNew);
  m["run"].Size = -1;
  m["new"] = Entry("", "new.bin", kFlagIfNotExist, kNew);
  m["new"].Size = -2;
  m["ok"] = Entry("", "small.bin", 0, kNew);
  m["ok"].Size = 2048;
  // A Delete fetches nothing: its Size means nothing either.
  Put("old.bin", kOld);
  m["del"] = Entry("", "old.bin", kFlagDelete, 0);
  m["del"].Size = -7;
  ASSERT_EQ(Analyse(m), 2);
  EXPECT_EQ(actions_[0].File, dir_ / "old.bin");
  EXPECT_EQ(actions_[1].File, dir_ / "small.bin");
  EXPECT_EQ(TotalSize(actions_), 2048);
  EXPECT_EQ(updater_.refused(), (std::vector<std::string>{"big.iso", "new.bin", "setup.exe"}));
  EXPECT_EQ(updater_.refusals(), std::vector<std::string>(3, "its size is negative"));
  EXPECT_TRUE(runs_.empty());
}

// Windows finds one file under "ReadMe.txt", "readme.txt" and "README.TXT. ":
// entries are compared as it compares names, on every platform.
TEST_F(UpdaterTest, EntriesThatNameOneFileAsWindowsDoes) {
  Put("readme.txt", kOld);
  Put("a.txt", kOld);
  Put("cfg.ini", kOld);
  Put("\xC3\xA4rger.txt", kOld);  // "ärger.txt"
  Put("X.TXT", kOld);
  Manifest m;
  // Renamed in letter case: the new name is fetched, the old one's Delete
  // is dropped (it would delete the file just placed).
  m["1"] = Entry("", "ReadMe.txt", 0, kNew);
  m["2"] = Entry("", "readme.txt", kFlagDelete, 0);
  m["3"] = Entry("", "a.txt", kFlagDelete, 0);  // the Delete first in the walk
  m["4"] = Entry("", "A.txt", 0, kNew);
  m["5"] = Entry("", "\xC3\x84rger.txt", 0, kNew);  // "Ärger.txt"
  m["6"] = Entry("", "\xC3\xA4rger.txt", kFlagDelete, 0);
  m["7"] = Entry("Data\\", "", kFlagIfNotExist, 0, "D");
  m["8"] = Entry("data\\", "", kFlagDelete, 0, "D");
  // Two spellings of one file, neither a Delete: the later is refused.
  m["9"] = Entry("", "cfg.ini", 0, kNew);
  m["9a"] = Entry("", "cfg.ini. ", 0, kNew);
  m["9b"] = Entry("", "X.TXT", kFlagDelete, 0);
  m["9c"] = Entry("", "x.txt", kFlagDelete, 0);
  m["9d"] = Entry("", "keep.ini", kFlagNoUpdate, 0);
  m["9e"] = Entry("", "KEEP.INI", 0, kNew);
  ASSERT_EQ(Analyse(m), 6);
  EXPECT_EQ(actions_[0].File, dir_ / "ReadMe.txt");
  EXPECT_EQ(actions_[1].File, dir_ / "A.txt");
  EXPECT_EQ(actions_[2].File, dir_ / "\xC3\x84rger.txt");
  EXPECT_EQ(actions_[3].Dir, dir_ / "Data\\");
  EXPECT_EQ(actions_[3].Action, kActionCreateDir);
  EXPECT_EQ(actions_[4].File, dir_ / "cfg.ini");
  EXPECT_EQ(actions_[5].File, dir_ / "X.TXT");
  EXPECT_EQ(actions_[5].Action, kActionDeleteFile);
  EXPECT_EQ(updater_.refused(), (std::vector<std::string>{"cfg.ini. ", "x.txt", "KEEP.INI"}));
  EXPECT_EQ(updater_.refusals(),
            (std::vector<std::string>{"another entry names the same file: cfg.ini",
                                      "another entry names the same file: X.TXT",
                                      "another entry names the same file: keep.ini"}));
}

TEST_F(UpdaterTest, DirectoryActionsDeletesAndTheLogFile) {
  dir_.Write("keep\\file.txt", "x");
  dir_.Write("del.txt", "x");
  CreateDirectoryTree(dir_ / "empty");
  std::vector<UpdActionStructure> plan(5);
  plan[0].Dir = dir_ / "made\\deep\\";
  plan[0].Action = kActionCreateDir;
  plan[1].Dir = dir_ / "keep\\";  // not empty: stays, no line
  plan[1].Action = kActionDeleteDir;
  plan[2].Dir = dir_ / "empty\\";
  plan[2].Action = kActionDeleteDir;
  plan[3].File = dir_ / "del.txt";
  plan[3].Action = kActionDeleteFile;
  plan[4].File = dir_ / "missing.txt";  // nothing to delete: no line
  plan[4].Action = kActionDeleteFile;
  updater_.SetPlan(plan, {});
  updater_.ApplyUpdate();

  EXPECT_EQ(DirectoryExists(dir_ / "made\\deep"), 1);
  EXPECT_EQ(DirectoryExists(dir_ / "keep"), 1);
  EXPECT_EQ(DirectoryExists(dir_ / "empty"), 0);
  EXPECT_EQ(FileExists(dir_ / "del.txt"), 0);
  EXPECT_EQ(view_.history[kCountText],
            (std::vector<std::string>{"4", "3", "2", "1", "0", "---"}));
  EXPECT_EQ(view_.texts[kSummaryText], "Dateien zur Aktualisierung");
  EXPECT_EQ(view_.texts[kStatusText], "Aktualisierung komplett.");
  EXPECT_EQ(view_.texts[kStatusFrame], "Aktualisierung / Download");
  EXPECT_EQ(view_.progress_max, 5);
  EXPECT_EQ(view_.progress, 5);
  EXPECT_FALSE(view_.button);

  // Folders go after the files, so that one emptied by the update goes too.
  const std::string expected = "Update  (" + FormatDate(fs::NowDateValue(), true) + ")\r\n" +
                               "-> Create: " + (dir_ / "made\\deep\\") + "\n" +
                               "-> Delete: del.txt\n" +
                               "-> Delete: " + (dir_ / "empty\\") + "\n"
                               "-------------------------\n\r\n";
  EXPECT_EQ(dir_.Read("Quasto\\Quastorell.log"), expected);
  EXPECT_EQ(updater_.outcome().failures, 0);
}

// A run killed after it gave a staged file the entry's read-only attribute
// (the last thing before the commit) leaves it so: the next run takes it up
// and installs it; Windows refused to flush it while it was read-only.
TEST_F(UpdaterTest, AKeptStagedFileMadeReadOnlyBeforeAKillIsInstalled) {
  const std::string fresh = "new content";
  Put("tool.dat", kOld);
  const std::string staged = "tool.dat.0123456789abcdef.~qnew";
  dir_.Write(staged, fresh);
  ASSERT_TRUE(fs::SetAttributes(dir_ / staged, fs::kAttrReadOnly | fs::kAttrArchive));
  Journal kept;
  JournalStep s;
  s.kind = StepKind::kStaged;
  s.path = staged;
  s.version = Sha256Hex(fresh);
  kept.steps.push_back(s);
  ASSERT_TRUE(SaveJournal(ctx_.data_folder + kJournalFile, kept));

  UpdActionStructure a;
  a.File = dir_ / "tool.dat";
  a.Pack = "tool.dat.lzma";
  a.Size = static_cast<int32_t>(fresh.size());
  a.Date = kNew;
  a.Attrib = fs::kAttrReadOnly | fs::kAttrArchive;
  a.Action = kActionDownload;
  a.SHA256 = Sha256Hex(fresh);
  updater_.SetPlan({a}, {});
  updater_.ApplyUpdate();  // no transport: nothing may be fetched

  EXPECT_EQ(updater_.outcome().failures, 0) << updater_.log_text();
  EXPECT_EQ(dir_.Read("tool.dat"), fresh);
  EXPECT_EQ(fs::FileDate(dir_ / "tool.dat"), kNew);
  EXPECT_NE(fs::Attributes(dir_ / "tool.dat") & fs::kAttrReadOnly, 0);
  EXPECT_EQ(FileExists(dir_ / staged), 0);
  EXPECT_EQ(FileExists(ctx_.data_folder + kJournalFile), 0);
}

// The manifest's order puts a folder before its files.
TEST_F(UpdaterTest, FolderEmptiedByTheUpdateGoesInTheSameRun) {
  dir_.Write("old\\a.txt", "x");
  dir_.Write("old\\sub\\b.txt", "x");
  std::vector<UpdActionStructure> plan(5);
  plan[0].Dir = dir_ / "old\\";
  plan[0].Action = kActionDeleteDir;
  plan[1].Dir = dir_ / "old\\sub\\";
  plan[1].Action = kActionDeleteDir;
  plan[2].File = dir_ / "old\\a.txt";
  plan[2].Action = kActionDeleteFile;
  plan[3].File = dir_ / "old\\sub\\b.txt";
  plan[3].Action = kActionDeleteFile;
  plan[4].Dir = dir_ / "new\\";
  plan[4].Action = kActionCreateDir;
  updater_.SetPlan(plan, {});
  updater_.ApplyUpdate();
  EXPECT_EQ(DirectoryExists(dir_ / "old"), 0);
  EXPECT_EQ(DirectoryExists(dir_ / "new"), 1);
  EXPECT_EQ(updater_.outcome().failures, 0);
  const std::string log = dir_.Read("Quasto\\Quastorell.log");
  EXPECT_EQ(log.substr(log.find("\r\n") + 2),
            "-> Delete: a.txt\n-> Delete: b.txt\n-> Create: " + (dir_ / "new\\") +
                "\n-> Delete: " + (dir_ / "old\\sub\\") + "\n-> Delete: " + (dir_ / "old\\") +
                "\n-------------------------\n\r\n");
}

TEST_F(UpdaterTest, RefusedEntriesAreLoggedWithTheOtherActions) {
  dir_.Write("del.txt", "x");
  UpdActionStructure del;
  del.File = dir_ / "del.txt";
  del.Action = kActionDeleteFile;
  updater_.SetPlan({del}, {}, {"..\\evil.dll"});
  updater_.ApplyUpdate();
  EXPECT_EQ(FileExists(dir_ / "..\\evil.dll"), 0);
  EXPECT_NE(dir_.Read("Quasto\\Quastorell.log")
                .find("\r\n-> Delete: del.txt\n-> Update Error: ..\\evil.dll\n---"),
            std::string::npos);
  EXPECT_EQ(view_.history[kCountText], (std::vector<std::string>{"0", "---"}));
  EXPECT_EQ(updater_.outcome().failures, 0) << "the actions all succeeded";
}

TEST_F(UpdaterTest, RunListRunsExistingProgramsAfterTheActions) {
  dir_.Write("setup.sh", "exit 0\n");
  updater_.SetPlan({}, {dir_ / "setup.sh", dir_ / "missing.sh"});
  updater_.ApplyUpdate();
  EXPECT_EQ(system_.ran, (std::vector<std::string>{dir_ / "setup.sh"}));
  EXPECT_EQ(view_.history[kStatusText].front(), "Programm wird ausgef\xC3\xBChrt. .....");
  const std::string log = dir_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find(")\r\n-> Run: setup.sh\n-------------------------\n\r\n"), std::string::npos)
      << log;
}

TEST_F(UpdaterTest, AProgramThatDidNotStartIsShownAndLogged) {
  dir_.Write("setup.exe", "MZ");
  system_.starts = false;
  updater_.SetPlan({}, {dir_ / "setup.exe"});
  updater_.ApplyUpdate();
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0].title, " Quastorell");
  EXPECT_EQ(view_.messages[0].text, "Programm konnte nicht gestartet werden:\nsetup.exe");
  EXPECT_EQ(view_.messages[0].icon, kIconWarning);
  const std::string log = dir_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find(")\r\n-> Run Error: setup.exe\n---"), std::string::npos) << log;
  EXPECT_EQ(updater_.outcome().failures, 1);
}

// A refused name reaches the log only escaped: it could forge lines, or a
// terminal's title and screen when the log is shown.
TEST_F(UpdaterTest, RefusedNamesAreLoggedEscaped) {
  Manifest m;
  m["x"] = Entry("", "\x1B]0;owned\x07\x1B[2J\nUpdate complete.", 0, kNew);
  ASSERT_EQ(Analyse(m), 0);
  updater_.SetPlan({}, {}, updater_.refused());
  updater_.ApplyUpdate();
  const std::string log = dir_.Read("Quasto\\Quastorell.log");
  EXPECT_NE(log.find("-> Update Error: \\x1B]0;owned\\x07\\x1B[2J\\x0AUpdate complete.\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find('\x1B'), std::string::npos);
}

TEST_F(UpdaterTest, LogIsSkippedWhenItCannotBeWritten) {
  ctx_.data_folder = dir_ / "no\\such\\folder\\";
  updater_.SetPlan({}, {});
  updater_.ApplyUpdate();  // must not fail or create the folder
  EXPECT_EQ(DirectoryExists(dir_ / "no"), 0);
}

TEST(IsDirectoryEmpty, Cases) {
  TempDir dir;
  CreateDirectoryTree(dir / "empty");
  CreateDirectoryTree(dir / "withdir\\inner");
  dir.Write("withfile\\f", "");
  dir.Write("file", "");
  EXPECT_EQ(IsDirectoryEmpty(dir / "empty"), 1);
  EXPECT_EQ(IsDirectoryEmpty(dir / "empty\\"), 1);
  EXPECT_EQ(IsDirectoryEmpty(dir / "withdir"), 0);
  EXPECT_EQ(IsDirectoryEmpty(dir / "withfile"), 0);
  EXPECT_EQ(IsDirectoryEmpty(dir / "file"), 0);
  EXPECT_EQ(IsDirectoryEmpty(dir / "missing"), 0);
}

}  // namespace
}  // namespace quasto::client
