#include "builder/delta.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "builder/generation.h"
#include "builder/project.h"
#include "builder/test_env.h"
#include "shared/content_hash.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/limits.h"
#include "shared/packed_file.h"
#include "shared/patch.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::BuilderEnv;
using testing::TempDir;

// Bytes that do not compress, so that only a patch makes a change small.
std::string Program(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Patched(const std::string& base, const std::string& patch) {
  std::string out;
  auto reader = [](const std::string& bytes) {
    return [&bytes](uint64_t offset, char* buf, size_t cap) -> int64_t {
      if (offset >= bytes.size()) return 0;
      const size_t n = std::min<size_t>(cap, bytes.size() - offset);
      std::copy_n(bytes.data() + offset, n, buf);
      return static_cast<int64_t>(n);
    };
  };
  const PatchStatus s = ApplyPatch(reader(base), base.size(), reader(patch), patch.size(),
                                   [&](std::string_view piece) {
                                     out.append(piece);
                                     return true;
                                   });
  return s == PatchStatus::kOk ? out : "(failed: " + std::string(PatchStatusText(s)) + ")";
}

TEST(KeptIndex, ReadsBackAndRefusesWhatItDidNotWrite) {
  const std::string a(64, 'a'), b(64, 'b');
  KeptIndex index = {{"app.exe", {a, b}}, {"lang\\de\\x.dll", {b}}, {"empty", {}}};
  KeptIndex back;
  ASSERT_TRUE(ParseKeptIndex(KeptIndexText(index), &back));
  EXPECT_EQ(back, index);
  const std::string text = KeptIndexText(index);
  for (const std::string& bad : std::vector<std::string>{
        text.substr(0, text.size() - 4),                        // cut before "end"
        text + "file x\n",                                      // after "end"
        "Quastorell kept 2\nend\n",                             // another version
        "Quastorell kept 1\ncontent " + a + "\nend\n",          // no file before it
        "Quastorell kept 1\nfile x\ncontent " + a.substr(1) + "\nend\n",
        "Quastorell kept 1\nfile x\nfile x\nend\n",             // a file twice
        ""}) {
    KeptIndex kept = index;
    EXPECT_FALSE(ParseKeptIndex(bad, &kept)) << bad;
    EXPECT_EQ(kept, index);
  }
  // A key that could not be read back as one line is left out, not written.
  EXPECT_TRUE(ParseKeptIndex(KeptIndexText({{"a\nfile b", {a}}}), &back));
  EXPECT_TRUE(back.empty());
}

// A killed generation leaves kept contents the index never named, and
// temporaries; the next start removes them, but never what a damaged index
// might still name.
TEST(KeptContents, WhatAKilledRunLeftGoesWhatTheIndexNamesStays) {
  TempDir dir;
  const std::string project = dir / "Demo\\";
  const std::string a(64, 'a'), b(64, 'b');
  for (const std::string& name :
       {a + ".uzf", b + ".uzf", b + ".uzf.tmp~x1", std::string("notes.txt")}) {
    dir.Write("Demo\\Kept\\" + name, "x");
  }
  auto kept = [&] {
    std::vector<fs::DirEntry> list;
    fs::ListDirectory(project + "Kept\\", &list);
    std::set<std::string> names;
    for (const auto& d : list) names.insert(d.name);
    return names;
  };
  dir.Write("Demo\\Quastorell.kept", "Quastorell kept 1\nfile x\ncontent " + a);  // cut
  SweepKeptContents(project);
  EXPECT_EQ(kept(), (std::set<std::string>{a + ".uzf", b + ".uzf", "notes.txt"}));
  dir.Write("Demo\\Quastorell.kept", KeptIndexText({{"x", {a}}}));
  SweepKeptContents(project);
  EXPECT_EQ(kept(), (std::set<std::string>{a + ".uzf", "notes.txt"})) << "not ours: left alone";
  fs::RemoveFile(project + kKeptIndexFile);
  SweepKeptContents(project);
  EXPECT_EQ(kept(), (std::set<std::string>{"notes.txt"}));
}

TEST(PatchNames, UniquePerFileAndBaseAndNeverPackedFileNames) {
  const std::string a(64, 'a'), b = "b" + std::string(63, 'a');
  EXPECT_EQ(PatchFileName("{bin}app[exe].uzf", a), "{bin}app[exe].aaaaaaaaaaaaaaaa.uzp");
  EXPECT_NE(PatchFileName("{bin}app[exe].uzf", b), PatchFileName("{bin}app[exe].uzf", a));
  EXPECT_NE(PatchFileName("{bin}app[exe]~1234abcd.uzf", a), PatchFileName("{bin}app[exe].uzf", a));
  EXPECT_TRUE(IsPatchFileName(PatchFileName("{bin}app[exe].uzf", a)));
  EXPECT_FALSE(IsPatchFileName("{bin}app[exe].uzf"));
  EXPECT_FALSE(IsPatchFileName("..\\..\\x.aaaaaaaaaaaaaaaa.uzp"));
  // Too long for a name on the server: the file goes whole.
  EXPECT_EQ(PatchFileName(std::string(kMaxPackNameBytes - 10, 'x') + ".uzf", a), "");
  EXPECT_TRUE(PatchWorthSending(74, 100));
  EXPECT_FALSE(PatchWorthSending(75, 100));
  EXPECT_FALSE(PatchWorthSending(0, 0));
}

class VerifiedPatch : public ::testing::Test {
 protected:
  std::string Pack(const std::string& name, const std::string& content) {
    dir.Write(name, PackContent(content));
    return dir / name;
  }
  TempDir dir;
};

TEST_F(VerifiedPatch, WritesAPatchThatGivesTheNewContent) {
  const std::string v1 = Program(100000, 1);
  std::string v2 = v1;
  v2[5000] ^= 1;
  v2.insert(60000, "inserted");
  const PackOutcome o = MakeVerifiedPatch(Pack("b.uzf", v1), Sha256Hex(v1), Pack("n.uzf", v2),
                                          Sha256Hex(v2), dir / "p.uzp");
  ASSERT_EQ(o.status, PackStatus::kOk);
  ASSERT_FALSE(o.skipped);
  const std::string patch = dir.Read("p.uzp");
  EXPECT_EQ(o.result.packed_size, patch.size());
  EXPECT_EQ(o.result.sha256, Sha256Hex(patch));
  EXPECT_LT(patch.size(), 1000u);
  EXPECT_EQ(Patched(v1, patch), v2);
}

TEST_F(VerifiedPatch, RefusesAWrongBaseAndSkipsWhatSavesTooLittle) {
  const std::string v1 = Program(50000, 1), other = Program(50000, 2);
  // The kept file is not the content its name promises.
  PackOutcome o = MakeVerifiedPatch(Pack("b.uzf", other), Sha256Hex(v1), Pack("n.uzf", v1),
                                    Sha256Hex(v1), dir / "p.uzp");
  EXPECT_EQ(o.status, PackStatus::kSourceUnreadable);
  EXPECT_FALSE(FileExists(dir / "p.uzp"));
  // The new packed file changed under it.
  o = MakeVerifiedPatch(Pack("b.uzf", v1), Sha256Hex(v1), Pack("n.uzf", other), Sha256Hex(v1),
                        dir / "p.uzp");
  EXPECT_EQ(o.status, PackStatus::kSourceChanged);
  // Unrelated contents: the patch is about as large as the file.
  o = MakeVerifiedPatch(Pack("b.uzf", v1), Sha256Hex(v1), Pack("n.uzf", other),
                        Sha256Hex(other), dir / "p.uzp");
  EXPECT_EQ(o.status, PackStatus::kOk);
  EXPECT_TRUE(o.skipped);
  EXPECT_FALSE(FileExists(dir / "p.uzp"));
  // Nothing to read.
  o = MakeVerifiedPatch(dir / "missing.uzf", Sha256Hex(v1), Pack("n.uzf", other),
                        Sha256Hex(other), dir / "p.uzp");
  EXPECT_EQ(o.status, PackStatus::kSourceUnreadable);
  // Content too large to patch in the 32-bit builder goes whole, unread:
  // a packed file that says so in its header is enough to tell.
  const std::string lzma = PackContent(std::string(1000, 'z'));
  std::string large = lzma;
  char header[kPackedHeaderSize];
  WritePackedHeader({static_cast<double>(lzma.size() - kPackedHeaderSize),
                     static_cast<double>(kMaxPatchContentSize + 1)},
                    header);
  large.replace(0, kPackedHeaderSize, header, kPackedHeaderSize);
  dir.Write("large.uzf", large);
  for (const bool large_base : {true, false}) {
    o = large_base ? MakeVerifiedPatch(dir / "large.uzf", Sha256Hex(v1), Pack("n.uzf", v1),
                                       Sha256Hex(v1), dir / "p.uzp")
                   : MakeVerifiedPatch(Pack("b.uzf", v1), Sha256Hex(v1), dir / "large.uzf",
                                       Sha256Hex(v1), dir / "p.uzp");
    EXPECT_EQ(o.status, PackStatus::kOk) << large_base;
    EXPECT_TRUE(o.skipped) << large_base;
    EXPECT_FALSE(FileExists(dir / "p.uzp"));
  }
}

class Patches : public ::testing::Test {
 protected:
  void SetUp() override {
    env.dir.Write("base\\Quastorell.lng", "<Lang/>");
    env.dir.Write("base\\Quastorell.exe", "client");
    v1 = Program(200000, 7);
    env.dir.Write("src\\bin\\app.exe", v1);
    env.dir.Write("src\\readme.txt", "read me");
    ASSERT_TRUE(env.Create("Demo"));
    Generate("1.0");
  }
  GenerationResult Generate(const std::string& version) {
    env.ui.SetVersionText(version);
    env.ui.SetDateValue(DateValueFromCivil({2024, 1, 31, 12, 0, 0}));
    env.ui.messages.clear();
    return GenerateUpdate(env.st, env.ui);
  }
  // Writes a new version of the program and opens the project again, which
  // proposes what changed.
  void Release(const std::string& content) {
    env.dir.Write("src\\bin\\app.exe", content);
    ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  }
  std::string Target() const { return env.base() + "Upload\\Demo\\"; }
  std::string ProjectDir() const { return env.base() + "Projects\\Demo\\"; }
  const UpdFileStructure& App() { return env.st.manifest["bin\\app.exe"]; }
  std::set<std::string> KeptFiles() {
    std::vector<fs::DirEntry> list;
    fs::ListDirectory(ProjectDir() + "Kept\\", &list);
    std::set<std::string> names;
    for (const auto& d : list) names.insert(d.name);
    return names;
  }
  BuilderEnv env;
  std::string v1;
};

TEST_F(Patches, EachChangedFileGetsAVerifiedPatchFromEveryKeptContent) {
  std::string v2 = v1;
  v2[1000] ^= 0x20;
  v2.insert(150000, "a new function");
  Release(v2);
  GenerationResult r = Generate("2.0");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.created, 1) << "the readme did not change";
  ASSERT_EQ(App().Patches.size(), 1u);
  const PatchRef p = App().Patches[0];
  EXPECT_EQ(p.Base, Sha256Hex(v1));
  EXPECT_EQ(p.Pack, PatchFileName(App().Pack, p.Base));
  const std::string patch = env.dir.Read("base\\Upload\\Demo\\" + p.Pack);
  EXPECT_EQ(static_cast<size_t>(p.Size), patch.size());
  EXPECT_EQ(p.SHA256, Sha256Hex(patch));
  EXPECT_EQ(Patched(v1, patch), v2);
  const int64_t whole = fs::FileSize(Target() + App().Pack);
  EXPECT_EQ(r.patches, 1);
  EXPECT_EQ(r.patch_bytes_saved, static_cast<uint64_t>(whole - p.Size));
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_NE(env.ui.messages[0].text.find("\n\n1 Patch für Anwender früherer Versionen, " +
                                         std::to_string(whole - p.Size) +
                                         " Bytes kleiner als die ganzen Dateien."),
            std::string::npos)
      << env.ui.messages[0].text;
  // The project's manifest and the one the client reads carry it.
  Manifest stored;
  ASSERT_TRUE(LoadDocument(ProjectDir() + "Quastorell.uif", &stored));
  EXPECT_EQ(stored["bin\\app.exe"].Patches, App().Patches);

  // Version 3: patches from both earlier contents, each direct.
  std::string v3 = v2;
  v3.replace(100, 4, "v3v3");
  Release(v3);
  r = Generate("3.0");
  ASSERT_EQ(App().Patches.size(), 2u);
  EXPECT_EQ(App().Patches[0].Base, Sha256Hex(v2)) << "newest base first";
  EXPECT_EQ(App().Patches[1].Base, Sha256Hex(v1));
  for (const PatchRef& q : App().Patches) {
    EXPECT_EQ(Patched(q.Base == Sha256Hex(v1) ? v1 : v2, env.dir.Read("base\\Upload\\Demo\\" + q.Pack)),
              v3);
  }
  EXPECT_EQ(App().Patches[1].Pack, p.Pack) << "same file and base: the name is taken over";
  EXPECT_EQ(KeptFiles().size(), 4u) << "v1, v2, v3 and the readme";

  // Version 4 with the default of three kept contents: v1 has gone.
  std::string v4 = v3;
  v4.replace(190000, 3, "v4!");
  Release(v4);
  r = Generate("4.0");
  ASSERT_EQ(App().Patches.size(), 3u);
  EXPECT_EQ(KeptFiles().count(Sha256Hex(v1) + ".uzf"), 0u);
  EXPECT_EQ(KeptFiles().size(), 4u) << "v2, v3, v4 and the readme";
  std::string v5 = v4;
  v5.replace(5, 3, "v5!");
  Release(v5);
  Generate("5.0");
  ASSERT_EQ(App().Patches.size(), 3u);
  EXPECT_EQ(App().Patches[2].Base, Sha256Hex(v2));
  EXPECT_FALSE(FileExists(Target() + p.Pack)) << "no one is sent from version 1 any more";

  // An unchanged file keeps its patches through a generation of others.
  env.dir.Write("src\\readme.txt", "read me again");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  const auto patches = App().Patches;
  r = Generate("4.1");
  EXPECT_EQ(r.created, 1);
  EXPECT_EQ(r.patches, 0) << "text that small is sent whole";
  EXPECT_EQ(App().Patches, patches);
  for (const PatchRef& q : patches) EXPECT_TRUE(FileExists(Target() + q.Pack));
}

TEST_F(Patches, TheProjectSettingBoundsTheKeptContents) {
  env.st.project.KeptGenerations = 1;
  std::string v = v1;
  for (int i = 2; i <= 4; ++i) {
    v[static_cast<size_t>(i) * 1000] ^= 1;
    Release(v);
    env.st.project.KeptGenerations = 1;
    Generate(std::to_string(i));
    ASSERT_EQ(App().Patches.size(), 1u) << i;
  }
  EXPECT_EQ(KeptFiles().size(), 2u) << "the program's last content and the readme";
  ProjectStructure stored;
  ASSERT_TRUE(LoadDocument(env.base() + "Projects\\Demo.upf", &stored));
  EXPECT_EQ(stored.KeptGenerations, 1);
}

// A folder where a patch would go could never be replaced by it: the file
// travels whole, and the set is written whole.
TEST_F(Patches, AFolderInAPatchsPlaceCostsOnlyThatPatch) {
  fs::MakeDirectory(Target() + PatchFileName(App().Pack, Sha256Hex(v1)));
  std::string v2 = v1;
  v2[1000] ^= 0x20;
  Release(v2);
  const GenerationResult r = Generate("2.0");
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.created, 1);
  EXPECT_EQ(r.patches, 0);
  EXPECT_TRUE(App().Patches.empty());
  Manifest stored;
  ASSERT_TRUE(LoadDocument(ProjectDir() + "Quastorell.uif", &stored));
  EXPECT_EQ(stored["bin\\app.exe"].SHA256, Sha256Hex(v2));
  EXPECT_TRUE(stored["bin\\app.exe"].Patches.empty());
}

// A project whose earlier contents were never kept (made before patches, or
// its kept files lost) still patches from the packed file the set holds,
// once that proves to be the content the manifest names.
TEST_F(Patches, WithoutKeptContentsTheSetsPackedFileIsTheBase) {
  testing::RemoveTree(ProjectDir() + "Kept");
  fs::RemoveFile(ProjectDir() + kKeptIndexFile);
  std::string v2 = v1;
  v2[77] ^= 1;
  Release(v2);
  ASSERT_TRUE(Generate("2.0").ok());
  ASSERT_EQ(App().Patches.size(), 1u);
  EXPECT_EQ(Patched(v1, env.dir.Read("base\\Upload\\Demo\\" + App().Patches[0].Pack)), v2);
  EXPECT_EQ(KeptFiles().count(Sha256Hex(v1) + ".uzf"), 1u);

  // A packed file that is not what the manifest says gives no patch.
  testing::RemoveTree(ProjectDir() + "Kept");
  fs::RemoveFile(ProjectDir() + kKeptIndexFile);
  ASSERT_TRUE(fs::WriteFile(Target() + App().Pack, PackContent(Program(200000, 9))));
  std::string v3 = v2;
  v3[99] ^= 1;
  Release(v3);
  ASSERT_TRUE(Generate("3.0").ok());
  EXPECT_TRUE(App().Patches.empty());
  EXPECT_EQ(KeptFiles(), std::set<std::string>({Sha256Hex(v3) + ".uzf"}))
      << "only what proved true is kept";
}

}  // namespace
}  // namespace quasto
