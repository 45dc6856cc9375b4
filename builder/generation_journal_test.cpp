#include "builder/generation_journal.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

class GenerationJournalTest : public ::testing::Test {
 protected:
  GenerationJournalTest() {
    fs::MakeDirectory(dir / "set");
    fs::MakeDirectory(dir / "Projects");
    fs::MakeDirectory(dir / "Projects\\Demo");
  }
  std::string target() const { return dir / "set\\"; }
  std::string projects() const { return dir / "Projects\\"; }
  std::string journal() const { return dir / "Projects\\Demo\\Quastorell.journal"; }

  // Old set: a.uzf and the project's manifest. New: both replaced, b.uzf new.
  void Stage(GenerationStaging& staging, bool commit_ready) {
    dir.Write("set\\a.uzf", "old a");
    dir.Write("Projects\\Demo\\Quastorell.uif", "old manifest");
    dir.Write("Projects\\Demo.upf", "old project");
    const std::string a = staging.InTarget("a.uzf");
    const std::string b = staging.InTarget("b.uzf");
    const std::string m = staging.InProjects("Demo\\Quastorell.uif");
    const std::string p = staging.InProjects("Demo.upf");
    const std::string unused = staging.InTarget("Quasto\\Quastorell.lng");
    ASSERT_TRUE(staging.Begin());
    ASSERT_TRUE(fs::WriteFileAtomic(a, "new a"));
    ASSERT_TRUE(fs::WriteFileAtomic(b, "new b"));
    ASSERT_TRUE(fs::WriteFileAtomic(m, "new manifest"));
    if (!commit_ready) return;
    ASSERT_TRUE(fs::WriteFileAtomic(p, "new project"));
    for (const std::string& f : {a, b, m, p}) staging.Written(f);
    (void)unused;
  }

  std::vector<std::string> Files(const std::string& folder) {
    std::vector<fs::DirEntry> entries;
    fs::ListDirectory(folder, &entries);
    std::vector<std::string> names;
    for (const auto& e : entries) {
      if (!e.is_directory) names.push_back(e.name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir;
};

TEST_F(GenerationJournalTest, TextReadsBackAndRefusesDamage) {
  GenerationStaging staging(target(), projects(), journal());
  Stage(staging, true);
  std::string text;
  ASSERT_TRUE(fs::ReadFile(journal(), &text));
  GenerationJournal j;
  ASSERT_TRUE(ParseGenerationJournal(text, &j));
  EXPECT_FALSE(j.committing);
  EXPECT_EQ(j.target, target());
  EXPECT_EQ(j.in_target.steps.size(), 6u) << "each temporary and its .part";
  EXPECT_EQ(j.in_projects.steps.size(), 4u);
  EXPECT_EQ(GenerationJournalText(j), text);
  for (size_t i = 0; i < text.size(); i += 7) {
    std::string bad = text;
    bad[i] = static_cast<char>(bad[i] ^ 0x20);
    EXPECT_FALSE(ParseGenerationJournal(bad, &j)) << i;
  }
  EXPECT_FALSE(ParseGenerationJournal(text.substr(0, text.size() - 1), &j));
  EXPECT_FALSE(ParseGenerationJournal("", &j));
}

// Cut short while staging: the next start removes the temporaries, the set
// stays old. Cut short after the commit journal: the next start takes the
// renames, the set becomes new.
TEST_F(GenerationJournalTest, RecoveryUndoesAStagingAndCompletesACommit) {
  {
    GenerationStaging staging(target(), projects(), journal());
    Stage(staging, false);
  }
  GenerationRecovery r = RecoverGeneration(projects(), dir / "Projects\\Demo\\");
  EXPECT_EQ(r.kind, GenerationRecovery::kUndone);
  EXPECT_EQ(Files(target()), std::vector<std::string>{"a.uzf"});
  EXPECT_EQ(dir.Read("set\\a.uzf"), "old a");
  EXPECT_EQ(Files(dir / "Projects\\Demo\\"), std::vector<std::string>{"Quastorell.uif"});
  EXPECT_EQ(dir.Read("Projects\\Demo\\Quastorell.uif"), "old manifest");
  EXPECT_EQ(RecoverGeneration(projects(), dir / "Projects\\Demo\\").kind,
            GenerationRecovery::kNothing);

  // The commit journal is written, and the run ends before its renames.
  dir.Write("set\\~qgen.t.0", "new a");
  dir.Write("Projects\\Demo\\~qgen.t.1", "new manifest");
  GenerationJournal j;
  j.committing = true;
  j.target = target();
  auto place = [](const std::string& path, const std::string& staged) {
    client::JournalStep s;
    s.kind = client::StepKind::kPlace;
    s.path = path;
    s.staged = staged;
    s.aside = staged + ".old";
    return s;
  };
  j.in_target.steps.push_back(place("a.uzf", "~qgen.t.0"));
  j.in_projects.steps.push_back(place("Demo\\Quastorell.uif", "Demo\\~qgen.t.1"));
  ASSERT_TRUE(SaveGenerationJournal(journal(), j));
  r = RecoverGeneration(projects(), dir / "Projects\\Demo\\");
  EXPECT_EQ(r.kind, GenerationRecovery::kCompleted);
  EXPECT_EQ(r.failures, 0);
  EXPECT_EQ(dir.Read("set\\a.uzf"), "new a");
  EXPECT_EQ(dir.Read("Projects\\Demo\\Quastorell.uif"), "new manifest");
  EXPECT_EQ(Files(target()), std::vector<std::string>{"a.uzf"});
  EXPECT_EQ(FileExists(journal()), 0);
  // Completing it again (a kill during the completion) changes nothing.
  ASSERT_TRUE(SaveGenerationJournal(journal(), j));
  EXPECT_EQ(RecoverGeneration(projects(), dir / "Projects\\Demo\\").kind,
            GenerationRecovery::kCompleted);
  EXPECT_EQ(dir.Read("set\\a.uzf"), "new a");
}

TEST_F(GenerationJournalTest, KilledAfterTheCommitJournalEndsNew) {
  GenerationStaging staging(target(), projects(), journal());
  Stage(staging, true);
  // What Commit() writes before its first rename.
  ASSERT_EQ(staging.Commit(), 0);
  EXPECT_EQ(dir.Read("set\\a.uzf"), "new a");
  EXPECT_EQ(dir.Read("set\\b.uzf"), "new b");
  EXPECT_EQ(dir.Read("Projects\\Demo\\Quastorell.uif"), "new manifest");
  EXPECT_EQ(dir.Read("Projects\\Demo.upf"), "new project");
  EXPECT_EQ(Files(target()), (std::vector<std::string>{"a.uzf", "b.uzf"})) << "no temporary left";
  EXPECT_EQ(FileExists(journal()), 0);
}

TEST_F(GenerationJournalTest, UnreadableJournalIsSetAsideAndNeverActedOn) {
  GenerationStaging staging(target(), projects(), journal());
  Stage(staging, true);
  std::string text;
  ASSERT_TRUE(fs::ReadFile(journal(), &text));
  dir.Write("Projects\\Demo\\Quastorell.journal", text.substr(0, text.size() / 2));
  const GenerationRecovery r = RecoverGeneration(projects(), dir / "Projects\\Demo\\");
  EXPECT_EQ(r.kind, GenerationRecovery::kSetAside);
  EXPECT_EQ(FilePart(r.aside), "Quastorell.journal.bad");
  EXPECT_EQ(dir.Read("Projects\\Demo\\Quastorell.journal.bad"), text.substr(0, text.size() / 2));
  EXPECT_EQ(dir.Read("set\\a.uzf"), "old a") << "nothing was acted on";
}

TEST_F(GenerationJournalTest, SweepRemovesLeftoversOfThisProjectOnly) {
  for (const char* f : {"set\\a.uzf", "set\\Quasto\\Quastorell.ucf", "Projects\\Demo.upf",
                        "Projects\\Demo\\Quastorell.uif", "Projects\\Other.upf",
                        "Projects\\Other.upf.tmp~12", "Projects\\Other\\Quastorell.uif.tmp~3",
                        "set\\notes.txt", "set\\x.tmp~1"}) {
    dir.Write(f, "keep");
  }
  for (const char* f : {"set\\a.uzf.part", "set\\~qgen.0123456789.4", "set\\~qgen.01.2.part",
                        "set\\Quastorell.uif.tmp~ab", "set\\Quastorell.uif.minisig.tmp~cd",
                        "set\\Quasto\\Quastorell.ucf.tmp~x", "set\\Quasto\\~qgen.1.1",
                        "Projects\\Demo.upf.tmp~9", "Projects\\Demo.upf.~qgen1234",
                        "Projects\\Demo\\Quastorell.uif.tmp~1", "Projects\\Demo\\Quastorell.hash.tmp~2",
                        "Projects\\Demo\\~qgen.5.0", "Projects\\Demo\\Quastorell.uif.send"}) {
    dir.Write(f, "leftover");
  }
  SweepLeftovers(target(), projects(), "Demo");
  EXPECT_EQ(Files(target()), (std::vector<std::string>{"a.uzf", "notes.txt", "x.tmp~1"}));
  EXPECT_EQ(Files(dir / "set\\Quasto\\"), std::vector<std::string>{"Quastorell.ucf"});
  EXPECT_EQ(Files(projects()),
            (std::vector<std::string>{"Demo.upf", "Other.upf", "Other.upf.tmp~12"}));
  EXPECT_EQ(Files(dir / "Projects\\Demo\\"), std::vector<std::string>{"Quastorell.uif"});
  EXPECT_EQ(Files(dir / "Projects\\Other\\"), std::vector<std::string>{"Quastorell.uif.tmp~3"});
}

}  // namespace
}  // namespace quasto
