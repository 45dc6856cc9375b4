#include "client/journal_check.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "client/entry_checks.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto::client {
namespace {

using testing::TempDir;

JournalStep Step(StepKind kind, const std::string& path, const std::string& staged = "",
                 const std::string& aside = "") {
  JournalStep s;
  s.kind = kind;
  s.path = path;
  s.staged = staged;
  s.aside = aside;
  s.line = "-> " + FilePart(path) + "\n";
  return s;
}

constexpr char kToken[] = "0123456789abcdef";

// A journal in "Quasto\" may have been written by whoever can write the
// installation. The client, which may run with more rights, takes none of
// its steps unless every one is a step it would have written itself.
class JournalCheckTest : public ::testing::Test {
 protected:
  JournalCheckTest() {
    data_ = dir_ / "Quasto\\";
    CreateDirectoryTree(data_);
    dir_.Write("Quasto\\Quastorell.pub", "the publisher's key");
    dir_.Write("Quasto\\Quastorell.ucf", "{}");
    dir_.Write("app.exe", "the program");
    dir_.Write("evil.exe", "an arbitrary local file");
  }

  // Starts the client's recovery on a committed journal of these steps.
  Recovery Recover(std::vector<JournalStep> steps) {
    Journal j;
    j.committing = true;
    j.steps = std::move(steps);
    EXPECT_TRUE(SaveJournal(data_ + kJournalFile, j));
    return RecoverInterruptedUpdate(dir_.path(), data_,
                                    JournalStepCheck(dir_.path(), data_, dir_ / "Quastorell.exe"));
  }

  // Nothing of the journal was done, and it lies aside for a person.
  void ExpectSetAside(const Recovery& r, const std::string& why) {
    EXPECT_EQ(r.kind, Recovery::kSetAside);
    EXPECT_EQ(r.log.rfind("-> Journal unsafe, set aside: Quastorell.journal.bad (", 0), 0u) << r.log;
    EXPECT_NE(r.log.find(why), std::string::npos) << r.log;
    EXPECT_EQ(FileExists(data_ + kJournalFile), 0);
    EXPECT_EQ(FileExists(data_ + "Quastorell.journal.bad"), 1);
    fs::RemoveFile(data_ + "Quastorell.journal.bad");
    EXPECT_EQ(dir_.Read("Quasto\\Quastorell.pub"), "the publisher's key");
    EXPECT_EQ(dir_.Read("app.exe"), "the program");
  }

  TempDir dir_;
  std::string data_;
};

TEST_F(JournalCheckTest, StepsAgainstTheClientsOwnFilesAreNotTaken) {
  // Deleting the key would turn signature checks off.
  ExpectSetAside(Recover({Step(StepKind::kDelete, "Quasto\\Quastorell.pub", "",
                               "Quasto\\Quastorell.pub.bak")}),
                 std::string("Quasto\\Quastorell.pub: ") + kOwnFile);
  ExpectSetAside(Recover({Step(StepKind::kDropBackup, "Quasto\\Quastorell.pub")}),
                 "it is no old version this client keeps");
  ExpectSetAside(Recover({Step(StepKind::kTemporary, "quasto\\QUASTORELL.PUB")}),
                 "it is no temporary this client makes");
  ExpectSetAside(Recover({Step(StepKind::kRemoveFolder, "Quasto\\")}), kOwnFile);
  // A harmless step first does not carry a harmful one.
  ExpectSetAside(Recover({Step(StepKind::kNote, ""),
                          Step(StepKind::kPlace, "Quasto\\Quastorell.ucf",
                               std::string("Quasto\\Quastorell.ucf.") + kToken + ".~qnew",
                               "Quasto\\Quastorell.ucf.bak")}),
                 kOwnFile);
}

TEST_F(JournalCheckTest, OnlyAStagedTemporaryOfThisClientIsPutInPlace) {
  // An arbitrary local file over the program.
  ExpectSetAside(Recover({Step(StepKind::kPlace, "app.exe", "evil.exe", "app.exe.bak")}),
                 "the file to put in place is no temporary this client makes");
  // A temporary of another file, a download instead of an unpacked file,
  // a token that is none, an old version's name that is none.
  dir_.Write(std::string("evil.exe.") + kToken + ".~qnew", "x");
  ExpectSetAside(Recover({Step(StepKind::kPlace, "app.exe",
                               std::string("evil.exe.") + kToken + ".~qnew", "app.exe.bak")}),
                 "no temporary this client makes");
  ExpectSetAside(Recover({Step(StepKind::kPlace, "app.exe",
                               std::string("app.exe.") + kToken + ".~qdl", "app.exe.bak")}),
                 "no unpacked file of this client");
  ExpectSetAside(Recover({Step(StepKind::kPlace, "app.exe", "app.exe.0123456789ABCDEF.~qnew",
                               "app.exe.bak")}),
                 "no temporary this client makes");
  ExpectSetAside(Recover({Step(StepKind::kPlace, "app.exe",
                               std::string("app.exe.") + kToken + ".~qnew", "evil.exe")}),
                 "its old version's name is none this client gives");
  EXPECT_EQ(dir_.Read("evil.exe"), "an arbitrary local file");

  // What the client writes itself is taken.
  dir_.Write(std::string("app.exe.") + kToken + ".~qnew", "the new program");
  dir_.Write(std::string("Quasto\\readme.txt.") + kToken + ".~qdl", "packed");
  dir_.Write("Quastorell.exe.1.bak", "an old client");
  const Recovery r = Recover({
      Step(StepKind::kPlace, "app.exe", std::string("app.exe.") + kToken + ".~qnew",
           "app.exe.2.bak"),
      Step(StepKind::kTemporary, std::string("Quasto\\readme.txt.") + kToken + ".~qdl"),
      Step(StepKind::kDropBackup, "Quastorell.exe.1.bak"),
  });
  EXPECT_EQ(r.kind, Recovery::kCompleted) << r.log;
  EXPECT_EQ(dir_.Read("app.exe"), "the new program");
  EXPECT_EQ(FileExists(dir_ / "Quastorell.exe.1.bak"), 0);
  EXPECT_EQ(FileExists(dir_ / (std::string("Quasto\\readme.txt.") + kToken + ".~qdl")), 0);
}

TEST_F(JournalCheckTest, NothingIsDoneThroughALinkLeadingOut) {
#ifdef _WIN32
  GTEST_SKIP() << "links are made by the native tests";
#else
  TempDir outside;
  outside.Write("victim.txt", "outside");
  outside.Write("other.txt", "outside too");
  outside.Write("payload", "not the publisher's");
  ASSERT_EQ(symlink(fs::NativePath(outside.path()).c_str(), (dir_ / "data").c_str()), 0);
  ExpectSetAside(Recover({Step(StepKind::kDelete, "data\\victim.txt", "", "data\\victim.txt.bak"),
                          Step(StepKind::kDelete, "data\\other.txt", "", "data\\other.txt.bak")}),
                 kLinkOut);
  ExpectSetAside(Recover({Step(StepKind::kRemoveFolder, "data\\")}), kLinkOut);
  // A temporary's name, but a link to a file outside.
  const std::string staged = std::string("app.exe.") + kToken + ".~qnew";
  ASSERT_EQ(symlink(fs::NativePath(outside / "payload").c_str(), (dir_ / staged).c_str()), 0);
  ExpectSetAside(Recover({Step(StepKind::kPlace, "app.exe", staged, "app.exe.bak")}), kLinkOut);
  EXPECT_EQ(outside.Read("victim.txt"), "outside");
  EXPECT_EQ(outside.Read("other.txt"), "outside too");
#endif
}

// The steps an earlier run left to a later one travel on with the next
// update's journal only when each is one the client makes.
// What a staging keeps for a later run is read back by that run: only the
// client's own partial downloads and unpacked files, never a file of the
// installation, may be named there.
TEST_F(JournalCheckTest, OnlyTheClientsOwnTemporariesAreKeptForALaterRun) {
  const auto check = JournalStepCheck(dir_.path(), data_, dir_ / "Quastorell.exe");
  auto kept = [&](StepKind kind, const std::string& path, const std::string& version) {
    JournalStep s = Step(kind, path);
    s.source = "app[exe].uzp";
    s.version = version;
    Journal j;
    j.steps = {s};
    EXPECT_TRUE(SaveJournal(data_ + kJournalFile, j));
    std::string log;
    const bool taken = !KeptSteps(data_ + kJournalFile, check, &log).empty();
    fs::RemoveFile(data_ + "Quastorell.journal.bad");
    fs::RemoveFile(data_ + kJournalFile);
    return taken;
  };
  const std::string dl = std::string("app.exe.") + kToken + ".~qdl";
  const std::string fresh = std::string("app.exe.") + kToken + ".~qnew";
  EXPECT_TRUE(kept(StepKind::kPartial, dl, "\"etag\""));
  EXPECT_TRUE(kept(StepKind::kStaged, fresh, std::string(64, 'a')));
  EXPECT_FALSE(kept(StepKind::kPartial, "evil.exe", "\"etag\""));
  EXPECT_FALSE(kept(StepKind::kStaged, "app.exe", std::string(64, 'a')));
  EXPECT_FALSE(kept(StepKind::kPartial, fresh, "\"etag\"")) << "an unpacked file is no download";
  EXPECT_FALSE(kept(StepKind::kStaged, dl, std::string(64, 'a')));
  EXPECT_FALSE(kept(StepKind::kPartial, std::string("Quasto\\Quastorell.pub.") + kToken + ".~qdl",
                    "\"etag\""));
  EXPECT_FALSE(kept(StepKind::kPartial, dl, "\"etag\"\r\nX-Other: 1")) << "a header of its own";
  EXPECT_EQ(dir_.Read("evil.exe"), "an arbitrary local file");

  // At the start, an unsafe one is set aside and nothing of it is done.
  JournalStep s = Step(StepKind::kStaged, "evil.exe");
  s.version = std::string(64, 'a');
  Journal j;
  j.steps = {s};
  ASSERT_TRUE(SaveJournal(data_ + kJournalFile, j));
  ExpectSetAside(RecoverInterruptedUpdate(dir_.path(), data_, check), "evil.exe");
  EXPECT_EQ(dir_.Read("evil.exe"), "an arbitrary local file");
}

TEST_F(JournalCheckTest, PendingStepsOfAnUnsafeJournalAreNotCarriedOn) {
  Journal j;
  j.committing = true;
  j.steps = {Step(StepKind::kDropBackup, "app.exe.bak"),
             Step(StepKind::kTemporary, "Quasto\\Quastorell.pub")};
  ASSERT_TRUE(SaveJournal(data_ + kJournalFile, j));
  std::string log;
  EXPECT_TRUE(PendingSteps(data_ + kJournalFile,
                           JournalStepCheck(dir_.path(), data_, dir_ / "Quastorell.exe"), &log)
                  .empty());
  EXPECT_EQ(log.rfind("-> Journal unsafe, set aside: Quastorell.journal.bad", 0), 0u) << log;
  EXPECT_EQ(FileExists(data_ + kJournalFile), 0);
  j.steps.pop_back();
  ASSERT_TRUE(SaveJournal(data_ + kJournalFile, j));
  log.clear();
  EXPECT_EQ(PendingSteps(data_ + kJournalFile,
                         JournalStepCheck(dir_.path(), data_, dir_ / "Quastorell.exe"), &log)
                .size(),
            1u);
  EXPECT_EQ(log, "");
}

TEST(JournalNames, TemporariesAndOldVersionsOfTheClient) {
  EXPECT_EQ(TemporaryOf("lib\\a.dll.0123456789abcdef.~qdl"), "lib\\a.dll");
  EXPECT_EQ(TemporaryOf("a.dll.0123456789abcdef.~qnew"), "a.dll");
  EXPECT_EQ(TemporaryOf("a.dll.~qnew"), "");
  EXPECT_EQ(TemporaryOf("a.dll.0123456789abcde.~qnew"), "");
  EXPECT_EQ(TemporaryOf("a.dll.0123456789abcdefx.~qnew"), "");
  EXPECT_EQ(TemporaryOf("a.dll"), "");
  EXPECT_EQ(OldVersionOf("a.dll.bak"), "a.dll");
  EXPECT_EQ(OldVersionOf("a.dll.3.bak"), "a.dll.3");
  EXPECT_EQ(OldVersionOf(".bak"), "");
  EXPECT_EQ(OldVersionOf("a.dll"), "");
}

}  // namespace
}  // namespace quasto::client
