#include "shared/journal.h"

#include <gtest/gtest.h>

#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto::client {
namespace {

using testing::TempDir;

JournalStep Step(StepKind kind, const std::string& path, const std::string& line = "",
                 const std::string& staged = "", const std::string& aside = "") {
  JournalStep s;
  s.kind = kind;
  s.path = path;
  s.line = line;
  s.staged = staged;
  s.aside = aside;
  return s;
}

// What a staging records for a later run.
JournalStep Kept(StepKind kind, const std::string& path, const std::string& version,
                 const std::string& source = "") {
  JournalStep s = Step(kind, path);
  s.source = source;
  s.version = version;
  return s;
}

// A commit of every kind of step, on an installation with version 1 files.
class JournalTest : public ::testing::Test {
 protected:
  JournalTest() {
    dir_.Write("app.exe", "app 1");
    dir_.Write("app.exe.~qnew", "app 2");
    dir_.Write("lib\\core.dll", "core 1");
    dir_.Write("lib\\core.dll.~qnew", "core 2");
    dir_.Write("new\\deep\\data.txt.~qnew", "data 2");
    dir_.Write("new\\deep\\data.txt.~qdl", "packed");
    dir_.Write("old.txt", "going");
    dir_.Write("olddir\\gone.txt", "going too");
    commit_.committing = true;
    commit_.steps = {
        Step(StepKind::kPlace, "app.exe", "-> app.exe (0 KB)\n", "app.exe.~qnew", "app.exe.bak"),
        Step(StepKind::kPlace, "lib\\core.dll", "-> core.dll (0 KB)\n", "lib\\core.dll.~qnew",
             "lib\\core.dll.bak"),
        Step(StepKind::kNote, "", "-> Update Error: broken.dll\n"),
        Step(StepKind::kPlace, "new\\deep\\data.txt", "-> data.txt (0 KB)\n",
             "new\\deep\\data.txt.~qnew", "new\\deep\\data.txt.bak"),
        Step(StepKind::kMakeFolder, "empty\\", "-> Create: X\n"),
        Step(StepKind::kDelete, "olddir\\gone.txt", "-> Delete: gone.txt\n", "",
             "olddir\\gone.txt.bak"),
        Step(StepKind::kRemoveFolder, "olddir\\", "-> Delete: olddir\n"),
        Step(StepKind::kDelete, "old.txt", "-> Delete: old.txt\n", "", "old.txt.bak"),
        Step(StepKind::kTemporary, "new\\deep\\data.txt.~qdl"),
    };
  }

  void ExpectAllNew() {
    EXPECT_EQ(dir_.Read("app.exe"), "app 2");
    EXPECT_EQ(dir_.Read("lib\\core.dll"), "core 2");
    EXPECT_EQ(dir_.Read("new\\deep\\data.txt"), "data 2");
    EXPECT_EQ(DirectoryExists(dir_ / "empty"), 1);
    EXPECT_EQ(FileExists(dir_ / "old.txt"), 0);
    EXPECT_EQ(DirectoryExists(dir_ / "olddir"), 0);
    for (const char* left : {"app.exe.~qnew", "app.exe.bak", "lib\\core.dll.~qnew",
                             "new\\deep\\data.txt.~qdl", "new\\deep\\data.txt.~qnew"}) {
      EXPECT_EQ(FileExists(dir_ / left), 0) << left;
    }
  }

  const std::string kAllLines =
      "-> app.exe (0 KB)\n-> core.dll (0 KB)\n-> Update Error: broken.dll\n"
      "-> data.txt (0 KB)\n-> Create: X\n-> Delete: gone.txt\n-> Delete: olddir\n"
      "-> Delete: old.txt\n";
  TempDir dir_;
  Journal commit_;
};

TEST_F(JournalTest, TextRoundTripsEveryKindAndAnyLogText) {
  Journal j = commit_;
  j.steps.push_back(Step(StepKind::kNote, "", "-> Update Error: a\tb\r\n%41\x7f\n"));
  j.steps.push_back(Step(StepKind::kDropBackup, "x\\y.dll.bak"));
  Journal back;
  ASSERT_TRUE(ParseJournal(JournalText(j), &back));
  EXPECT_EQ(back, j);

  Journal staging;
  staging.steps = {Step(StepKind::kMadeFolder, "new\\"), Step(StepKind::kMadeFolder, "new\\deep\\"),
                   Step(StepKind::kTemporary, "new\\deep\\data.txt.~qdl")};
  ASSERT_TRUE(ParseJournal(JournalText(staging), &back));
  EXPECT_EQ(back, staging);
  EXPECT_FALSE(back.committing);

  // A validator is whatever the server sent: tabs and line ends stay in it.
  staging.steps.push_back(
      Kept(StepKind::kPartial, "new\\deep\\data.txt.~qdl", "\"e\ttag\n\"", "data[txt].uzp"));
  staging.steps.push_back(Kept(StepKind::kStaged, "app.exe.~qnew", std::string(64, 'a')));
  ASSERT_TRUE(ParseJournal(JournalText(staging), &back));
  EXPECT_EQ(back, staging);
  EXPECT_TRUE(HasResumable(back));
  staging.steps.back().path = "..\\app.exe.~qnew";
  EXPECT_FALSE(ParseJournal(JournalText(staging), &back)) << "a kept file outside the folder";
}

// As leveldb's log tests do: any damaged byte, any cut, and the journal is
// not taken, never in part.
TEST_F(JournalTest, DamagedOrTruncatedTextIsRefusedWhole) {
  const std::string text = JournalText(commit_);
  Journal out;
  for (size_t i = 0; i < text.size(); ++i) {
    std::string damaged = text;
    damaged[i] ^= 0x01;
    EXPECT_FALSE(ParseJournal(damaged, &out)) << "byte " << i;
    EXPECT_FALSE(ParseJournal(text.substr(0, i), &out)) << "cut at " << i;
  }
  EXPECT_FALSE(ParseJournal(text + "x", &out));
  EXPECT_FALSE(ParseJournal("", &out));
}

// A journal that checks out but would reach outside the folder, or move a
// file into another folder, is refused too.
TEST_F(JournalTest, PathsMustStayInTheFolderAndBesideTheirTarget) {
  const std::vector<JournalStep> bad = {
      Step(StepKind::kDelete, "..\\outside.dll", "", "", "..\\outside.dll.bak"),
      Step(StepKind::kTemporary, "C:\\Windows\\x.dll"),
      Step(StepKind::kRemoveFolder, "..\\"),
      Step(StepKind::kMakeFolder, "no-separator"),
      Step(StepKind::kPlace, "a.dll", "", "other\\a.dll.~qnew", "a.dll.bak"),
      Step(StepKind::kPlace, "a.dll", "", "a.dll.~qnew", "a.dll"),
      Step(StepKind::kDropBackup, "/etc/passwd"),
  };
  for (const JournalStep& s : bad) {
    Journal j;
    j.committing = true;
    j.steps = {s};
    Journal out;
    EXPECT_FALSE(ParseJournal(JournalText(j), &out)) << JournalText(j);
  }
}

TEST_F(JournalTest, CarryOutTakesEveryStepAndRepeatingChangesNothing) {
  CommitResult first = CarryOut(dir_.path(), commit_);
  EXPECT_EQ(first.log, kAllLines);
  EXPECT_EQ(first.failures, 0);
  EXPECT_EQ(first.placed,
            (std::vector<std::string>{"app.exe", "lib\\core.dll", "new\\deep\\data.txt"}));
  EXPECT_TRUE(first.pending.empty());
  ExpectAllNew();

  // A start after a kill just before the journal was removed: every step is
  // found done and said once more, as the log of that update.
  CommitResult again = CarryOut(dir_.path(), commit_);
  EXPECT_EQ(again.log, kAllLines);
  EXPECT_EQ(again.failures, 0);
  EXPECT_EQ(again.placed, first.placed);
  ExpectAllNew();
}

// The states a kill can leave inside one step: the old version moved aside
// but the new one not yet in place; placed but the old version not yet gone.
TEST_F(JournalTest, HalfTakenStepsAreCompleted) {
  ASSERT_TRUE(fs::Rename(dir_ / "app.exe", dir_ / "app.exe.bak"));
  ASSERT_TRUE(fs::ReplaceWith(dir_ / "lib\\core.dll.~qnew", dir_ / "lib\\core.dll"));
  dir_.Write("lib\\core.dll.bak", "core 1");
  CommitResult r = CarryOut(dir_.path(), commit_);
  EXPECT_EQ(r.log, kAllLines);
  EXPECT_EQ(r.failures, 0);
  ExpectAllNew();
  EXPECT_EQ(FileExists(dir_ / "lib\\core.dll.bak"), 0);
}

TEST_F(JournalTest, FailedStepsAreSaidAndTheOthersGoOn) {
  fs::RemoveFile(dir_ / "app.exe.~qnew");  // gone, and the target is old
  fs::RemoveFile(dir_ / "app.exe");
  dir_.Write("olddir\\user.txt", "keeps the folder");
  CommitResult r = CarryOut(dir_.path(), commit_);
  EXPECT_EQ(r.failed, (std::vector<std::string>{"app.exe"}));
  EXPECT_EQ(r.failures, 1) << "a folder that is not empty is no failure";
  EXPECT_EQ(r.log,
            "-> Update Error: app.exe\n-> core.dll (0 KB)\n-> Update Error: broken.dll\n"
            "-> data.txt (0 KB)\n-> Create: X\n-> Delete: gone.txt\n-> Delete: old.txt\n");
  EXPECT_EQ(dir_.Read("lib\\core.dll"), "core 2");
  EXPECT_EQ(DirectoryExists(dir_ / "olddir"), 1);
}

TEST_F(JournalTest, UndoingStagingRemovesItsTemporariesAndEmptyFolders) {
  dir_.Write("lib\\extra.dll.~qdl", "partial");
  Journal staging;
  staging.steps = {Step(StepKind::kMadeFolder, "new\\"), Step(StepKind::kMadeFolder, "new\\deep\\"),
                   Step(StepKind::kTemporary, "new\\deep\\data.txt.~qdl"),
                   Step(StepKind::kTemporary, "new\\deep\\data.txt.~qnew"),
                   Step(StepKind::kTemporary, "lib\\extra.dll.~qdl"),
                   Step(StepKind::kTemporary, "lib\\extra.dll.~qnew"),  // never made
                   Step(StepKind::kMadeFolder, "lib\\")};               // holds other files
  ASSERT_TRUE(fs::SetAttributes(dir_ / "new\\deep\\data.txt.~qnew", fs::kAttrReadOnly));
  EXPECT_TRUE(UndoStaging(dir_.path(), staging).empty());
  EXPECT_EQ(DirectoryExists(dir_ / "new"), 0);
  EXPECT_EQ(FileExists(dir_ / "lib\\extra.dll.~qdl"), 0);
  EXPECT_EQ(dir_.Read("lib\\core.dll"), "core 1");
  EXPECT_EQ(dir_.Read("app.exe"), "app 1");
}

TEST_F(JournalTest, AsideNamesAreNew) {
  EXPECT_EQ(AsideName(dir_ / "app.exe", {}), dir_ / "app.exe.bak");
  dir_.Write("app.exe.bak", "a user's or a stale backup");
  EXPECT_EQ(AsideName(dir_ / "app.exe", {}), dir_ / "app.exe.1.bak");
  EXPECT_EQ(AsideName(dir_ / "app.exe", {dir_ / "app.exe.1.bak"}), dir_ / "app.exe.2.bak");
}

class RecoveryTest : public JournalTest {
 protected:
  RecoveryTest() { CreateDirectoryTree(data_); }
  Recovery Recover() { return RecoverInterruptedUpdate(dir_.path(), data_); }
  const std::string data_ = dir_ / "Quasto\\";
  const std::string file_ = data_ + kJournalFile;
};

TEST_F(RecoveryTest, InterruptedCommitIsCompleted) {
  ASSERT_TRUE(SaveJournal(file_, commit_));
  const Recovery r = Recover();
  EXPECT_EQ(r.kind, Recovery::kCompleted);
  EXPECT_EQ(r.log, kAllLines);
  ExpectAllNew();
  EXPECT_EQ(FileExists(file_), 0);
  EXPECT_EQ(Recover().kind, Recovery::kNothing);
}

TEST_F(RecoveryTest, InterruptedStagingIsUndone) {
  Journal staging;
  staging.steps = {Step(StepKind::kMadeFolder, "new\\"), Step(StepKind::kMadeFolder, "new\\deep\\"),
                   Step(StepKind::kTemporary, "new\\deep\\data.txt.~qdl"),
                   Step(StepKind::kTemporary, "new\\deep\\data.txt.~qnew"),
                   Step(StepKind::kTemporary, "app.exe.~qnew"),
                   Step(StepKind::kTemporary, "lib\\core.dll.~qnew")};
  ASSERT_TRUE(SaveJournal(file_, staging));
  const Recovery r = Recover();
  EXPECT_EQ(r.kind, Recovery::kUndone);
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(dir_.Read("app.exe"), "app 1");
  EXPECT_EQ(FileExists(dir_ / "app.exe.~qnew"), 0);
  EXPECT_EQ(DirectoryExists(dir_ / "new"), 0);
  EXPECT_EQ(FileExists(file_), 0);
}

// A staging that recorded a partial download and a staged file keeps them,
// and the folder they are in, for the next run; everything else goes.
TEST_F(RecoveryTest, InterruptedStagingKeepsWhatItRecordedForTheNextRun) {
  dir_.Write("new\\deep\\data.txt.~qdl", "half of it");
  dir_.Write("new\\deep\\data.txt.~qnew", "unpacked so far");
  dir_.Write("app.exe.~qnew", "app 2");
  dir_.Write("lib\\core.dll.~qnew", "core 2, not recorded");
  dir_.Write("other\\x.~qnew", "recorded, in a folder made for nothing else");
  Journal staging;
  staging.steps = {Step(StepKind::kMadeFolder, "new\\"), Step(StepKind::kMadeFolder, "new\\deep\\"),
                   Step(StepKind::kMadeFolder, "other\\"),
                   Step(StepKind::kTemporary, "new\\deep\\data.txt.~qdl"),
                   Step(StepKind::kTemporary, "new\\deep\\data.txt.~qnew"),
                   Step(StepKind::kTemporary, "app.exe.~qnew"),
                   Step(StepKind::kTemporary, "lib\\core.dll.~qnew"),
                   Step(StepKind::kTemporary, "other\\x.~qnew"),
                   Kept(StepKind::kPartial, "new\\deep\\data.txt.~qdl", "\"v1\"", "data[txt].uzp"),
                   Kept(StepKind::kStaged, "app.exe.~qnew", std::string(64, 'a')),
                   Kept(StepKind::kStaged, "gone.txt.~qnew", std::string(64, 'b'))};
  fs::RemoveFile(dir_ / "other\\x.~qnew");  // recorded, but gone since
  ASSERT_TRUE(SaveJournal(file_, staging));
  EXPECT_EQ(Recover().kind, Recovery::kUndone);
  EXPECT_EQ(dir_.Read("new\\deep\\data.txt.~qdl"), "half of it");
  EXPECT_EQ(dir_.Read("app.exe.~qnew"), "app 2");
  EXPECT_EQ(FileExists(dir_ / "new\\deep\\data.txt.~qnew"), 0);
  EXPECT_EQ(FileExists(dir_ / "lib\\core.dll.~qnew"), 0);
  EXPECT_EQ(DirectoryExists(dir_ / "other"), 0);
  EXPECT_EQ(dir_.Read("app.exe"), "app 1");
  std::string text;
  Journal left;
  ASSERT_TRUE(fs::ReadFile(file_, &text) && ParseJournal(text, &left));
  EXPECT_FALSE(left.committing);
  const std::vector<JournalStep> want = {
      Step(StepKind::kMadeFolder, "new\\"), Step(StepKind::kMadeFolder, "new\\deep\\"),
      Kept(StepKind::kPartial, "new\\deep\\data.txt.~qdl", "\"v1\"", "data[txt].uzp"),
      Kept(StepKind::kStaged, "app.exe.~qnew", std::string(64, 'a'))};
  EXPECT_EQ(left.steps, want);

  // Once no update wants them, they go as any staging's traces do.
  DropKept(dir_.path(), file_);
  EXPECT_EQ(FileExists(file_), 0);
  EXPECT_EQ(FileExists(dir_ / "app.exe.~qnew"), 0);
  EXPECT_EQ(DirectoryExists(dir_ / "new"), 0);
  EXPECT_EQ(dir_.Read("app.exe"), "app 1");
}

TEST_F(RecoveryTest, UnreadableJournalIsSetAsideUntouched) {
  std::string text = JournalText(commit_);
  text[text.size() / 2] ^= 0x20;
  dir_.Write("Quasto\\Quastorell.journal", text);
  dir_.Write("Quasto\\Quastorell.journal.bad", "an older one");
  const Recovery r = Recover();
  EXPECT_EQ(r.kind, Recovery::kSetAside);
  EXPECT_EQ(r.log, "-> Journal unreadable, set aside: Quastorell.journal.1.bad\n");
  EXPECT_EQ(dir_.Read("Quasto\\Quastorell.journal.1.bad"), text);
  EXPECT_EQ(dir_.Read("Quasto\\Quastorell.journal.bad"), "an older one");
  EXPECT_EQ(FileExists(file_), 0);
  EXPECT_EQ(dir_.Read("app.exe"), "app 1") << "no step taken";
}

TEST_F(RecoveryTest, DocumentTemporariesGoOtherFilesStay) {
  dir_.Write("Quasto\\Quastorell.log.tmp~Ab12Cd", "torn log");
  dir_.Write("Quasto\\Quastorell.hash.tmp~4711-99", "torn cache");
  dir_.Write("Quasto\\Quastorell.ucf", "{}");
  dir_.Write("Quasto\\notes.tmp~1", "not ours");
  EXPECT_EQ(Recover().kind, Recovery::kNothing);
  EXPECT_EQ(FileExists(data_ + "Quastorell.log.tmp~Ab12Cd"), 0);
  EXPECT_EQ(FileExists(data_ + "Quastorell.hash.tmp~4711-99"), 0);
  EXPECT_EQ(FileExists(data_ + "Quastorell.ucf"), 1);
  EXPECT_EQ(FileExists(data_ + "notes.tmp~1"), 1);
}

TEST_F(RecoveryTest, PendingBackupsAreRetriedAndCarriedOn) {
  dir_.Write("tool.exe.bak", "old tool, no longer in use");
  Journal rest;
  rest.committing = true;
  rest.steps = {Step(StepKind::kDropBackup, "tool.exe.bak"),
                Step(StepKind::kTemporary, "app.exe.~qnew")};
  ASSERT_TRUE(SaveJournal(file_, rest));
  EXPECT_EQ(PendingSteps(file_), rest.steps);
  EXPECT_EQ(Recover().kind, Recovery::kNothing) << "cleaning up is no update to log";
  EXPECT_EQ(FileExists(dir_ / "tool.exe.bak"), 0);
  EXPECT_EQ(FileExists(dir_ / "app.exe.~qnew"), 0);
  EXPECT_EQ(FileExists(file_), 0);
  EXPECT_TRUE(PendingSteps(file_).empty());
}

}  // namespace
}  // namespace quasto::client
