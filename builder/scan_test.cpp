// The scan of a hostile source folder: links, loops, FIFOs, sizes and names
// that cannot be published. Runs natively and under Wine, where the links
// are made on the host's side, as Wine sees a user's links.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "builder/generation.h"
#include "builder/signing.h"
#include "builder/test_env.h"
#include "builder/upload.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/name_key.h"
#include "shared/packed_file.h"
#include "shared/text.h"

namespace quasto {
namespace {

using testing::BuilderEnv;
using testing::EndsWithin;
using testing::MakeFifo;
using testing::MakeSymlink;

constexpr char kOutside[] = "Verknüpfung führt aus dem Quellverzeichnis hinaus";
constexpr char kLoop[] = "Verknüpfung auf einen Ordner darüber (Schleife)";
constexpr char kNotAFile[] = "keine gewöhnliche Datei (FIFO, Socket oder Gerät)";

const FileEntry* Find(const std::vector<FileEntry>& list, const std::string& key) {
  for (const FileEntry& f : list) {
    if (f.Path + f.Name == key) return &f;
  }
  return nullptr;
}

std::string RefusalOf(const std::vector<FileEntry>& list, const std::string& key) {
  const FileEntry* f = Find(list, key);
  return f == nullptr ? "(not listed)" : f->Refused;
}

std::set<std::string> Keys(const Manifest& m) {
  std::set<std::string> keys;
  for (const auto& [k, e] : m) keys.insert(k);
  return keys;
}

void Resize(const std::string& path, uint64_t size) {
  std::filesystem::resize_file(std::filesystem::path(fs::NativePath(path)), size);
}

class HostileSource : public ::testing::Test {
 protected:
  void SetUp() override {
    env.dir.Write("base\\Quastorell.lng", "<Lang/>");
    env.dir.Write("base\\Quastorell.exe", "client");
    env.dir.Write("src\\app.exe", "MZ program");
    env.dir.Write("src\\sub\\x.txt", "x in sub");
    env.dir.Write("out\\secret.txt", "secret outside the release");
    ASSERT_TRUE(env.Create("Demo"));
    env.ui.SetVersionText("1.0");
  }
  void Reopen() {
    CloseProject(env.st, env.ui);
    ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
    env.ui.messages.clear();
  }
  // Every packed file of the update set, unpacked.
  std::string AllPackedContent() {
    std::string all;
    for (const auto& [key, e] : env.st.manifest) {
      std::string content;
      if (!e.Pack.empty() &&
          UnpackContent(env.dir.Read("base\\Upload\\Demo\\" + e.Pack), &content) ==
              UnpackStatus::kOk) {
        all += content;
      }
    }
    return all;
  }
  const std::vector<FileEntry>& list() const { return env.st.file_list; }

  BuilderEnv env;
};

TEST_F(HostileSource, LinksOutOfTheFolderAreRefusedInsideOnesAreTheirFiles) {
  const std::string src = env.src();
  ASSERT_TRUE(MakeSymlink(env.dir / "out\\secret.txt", src + "passwd"));
  ASSERT_TRUE(MakeSymlink(env.dir / "out", src + "link_out"));
  ASSERT_TRUE(MakeSymlink("..", src + "sub\\up"));
  ASSERT_TRUE(MakeSymlink("..\\..\\out", src + "sub\\rel_out"));
  ASSERT_TRUE(MakeSymlink("app.exe", src + "inner_file"));
  ASSERT_TRUE(MakeSymlink("sub", src + "inner_dir"));
  Reopen();

  for (const char* key : {"passwd", "link_out", "sub\\rel_out", "inner_dir\\rel_out"}) {
    EXPECT_EQ(RefusalOf(list(), key), kOutside) << key;
  }
  // "up" leads to the source folder itself, which is being scanned.
  EXPECT_EQ(RefusalOf(list(), "sub\\up"), kLoop);
  // Links that stay inside are the files and folders they name, at their
  // own path.
  for (const char* key : {"inner_file", "inner_dir\\x.txt", "sub\\x.txt"}) {
    const FileEntry* f = Find(list(), key);
    ASSERT_NE(f, nullptr) << key;
    EXPECT_EQ(f->Refused, "") << key;
    EXPECT_EQ(f->Mark, 1) << key;
  }
  // The list shows the refused ones unchecked, with their reason.
  bool shown = false;
  for (int i = 0; i < env.ui.RowCount(); ++i) {
    const ListRow r = env.ui.Row(i);
    if (r.name != "passwd") continue;
    shown = true;
    EXPECT_EQ(r.refused, kOutside);
    EXPECT_FALSE(r.checked);
    EXPECT_FALSE(SetRuleOfRow(env.st, env.ui, i, kFlagDelete)) << "no rule: not published";
    env.ui.SetRowChecked(i, true);  // the GUI's check box, clicked anyway
  }
  EXPECT_TRUE(shown);
  EXPECT_EQ(RefusedLabel("passwd", kOutside),
            "passwd (nicht veröffentlicht: Verknüpfung führt aus dem Quellverzeichnis hinaus)");

  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(r.created, 4);
  EXPECT_EQ(std::set<std::string>(r.refused.begin(), r.refused.end()),
            (std::set<std::string>{"passwd", "link_out", "sub\\up", "sub\\rel_out",
                                   "inner_dir\\rel_out", "inner_dir\\up"}));
  EXPECT_EQ(Keys(env.st.manifest),
            (std::set<std::string>{"app.exe", "inner_dir\\x.txt", "inner_file", "sub\\x.txt"}));
  EXPECT_EQ(AllPackedContent().find("secret"), std::string::npos);
  EXPECT_EQ(env.st.manifest["inner_file"].SHA256, env.st.manifest["app.exe"].SHA256);
  EXPECT_EQ(PublishedManifestText(env.st).find("secret"), std::string::npos);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  const std::string& text = env.ui.messages[0].text;
  EXPECT_NE(text.find("\n\n6 Dateien wurden nicht veröffentlicht:\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  link_out\\ (" + std::string(kOutside) + ")"), std::string::npos)
      << text;
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
}

TEST_F(HostileSource, ALinkChangedAfterTheScanIsNotFollowedOut) {
  ASSERT_TRUE(MakeSymlink("app.exe", env.src() + "doc.txt"));
  Reopen();
  ASSERT_EQ(RefusalOf(list(), "doc.txt"), "");
  ASSERT_TRUE(testing::RemoveSymlink(env.src() + "doc.txt"));
  ASSERT_TRUE(MakeSymlink(env.dir / "out\\secret.txt", env.src() + "doc.txt"));
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(r.refused, std::vector<std::string>{"doc.txt"});
  EXPECT_EQ(env.st.manifest["doc.txt"].Pack, "");
  EXPECT_EQ(AllPackedContent().find("secret"), std::string::npos);
}

TEST_F(HostileSource, LoopsAreFoundNotWalked) {
  const std::string src = env.src();
  ASSERT_TRUE(MakeSymlink(".", src + "self"));
  ASSERT_TRUE(MakeSymlink("..", src + "sub\\p1"));
  ASSERT_TRUE(MakeSymlink("..", src + "sub\\p2"));
  ASSERT_TRUE(MakeSymlink("..\\sub", src + "sub\\again"));
  EndsWithin(60, "a scan of folder links", [&] { Reopen(); });
  for (const char* key : {"self", "sub\\p1", "sub\\p2", "sub\\again"}) {
    EXPECT_EQ(RefusalOf(list(), key), kLoop) << key;
  }
  EXPECT_EQ(Keys(env.st.manifest), (std::set<std::string>{"app.exe", "sub\\x.txt"}))
      << "each file once";
  EXPECT_LT(list().size(), 10u);
}

TEST_F(HostileSource, LinksThatMultiplyFoldersEndTheScanAtItsBound) {
  // Two links to the next level on each of 8 levels: 256 paths to the last.
  const std::string src = env.src();
  for (int level = 0; level < 8; ++level) {
    const std::string next = "..\\d" + std::to_string(level + 1);
    const std::string here = src + "d" + std::to_string(level) + "\\";
    env.dir.Write("src\\d" + std::to_string(level) + "\\f.txt", "f");
    ASSERT_TRUE(MakeSymlink(next, here + "a"));
    ASSERT_TRUE(MakeSymlink(next, here + "b"));
  }
  env.dir.Write("src\\d8\\f.txt", "f");
  std::vector<FileEntry> all;
  ScanSource(src, &all);
  EXPECT_FALSE(ScanIncomplete(all));
  EXPECT_GT(all.size(), 500u);

  std::vector<FileEntry> bounded;
  ScanSource(src, &bounded, ScanLimits{500, kMaxScanDepth});
  ASSERT_EQ(bounded.size(), 1u) << "part of a folder says nothing about the rest";
  EXPECT_TRUE(bounded[0].Unlisted);
  EXPECT_EQ(bounded[0].Refused, "mehr als 500 Einträge");

  std::vector<FileEntry> shallow;
  ScanSource(src, &shallow, ScanLimits{kMaxScanEntries, 1});
  EXPECT_TRUE(Find(shallow, "d0\\a")->Unlisted);
  EXPECT_EQ(RefusalOf(shallow, "d0\\a"), "mehr als 1 Ordnerebenen");
  EXPECT_NE(Find(shallow, "d0\\f.txt"), nullptr);
}

TEST_F(HostileSource, AFolderThatCannotBeScannedKeepsItsFilesAndStopsGeneration) {
  env.dir.Write("src\\deep\\er\\file.txt", "deep");
  Reopen();
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 3);
  const Manifest before = env.st.manifest;
  CloseProject(env.st, env.ui);

  // The same folder, now beyond what the scan may enter.
  env.dir.Write("src\\app.exe", "MZ program 2");
  env.st.file_list.clear();
  ScanSource(env.src(), &env.st.file_list, ScanLimits{kMaxScanEntries, 1});
  MergeScan(&env.st.file_list, &env.st.manifest);
  AddRemovedFiles(&env.st.file_list, env.st.manifest, env.src());
  ShowFileList(env.st, env.ui);
  EXPECT_TRUE(RemovedKeys(env.st.file_list).empty()) << "not listed is not removed";
  EXPECT_EQ(env.st.manifest.at("deep\\er\\file.txt"), before.at("deep\\er\\file.txt"));

  env.ui.messages.clear();
  const std::string packed_before = env.dir.Read("base\\Upload\\Demo\\app[exe].uzf");
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.created, 0);
  EXPECT_EQ(r.unlisted, std::vector<std::string>{"deep\\er\\"});
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\app[exe].uzf"), packed_before);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Im Quellverzeichnis \"" + fs::NativePath(env.src()) +
                "\" können Ordner nicht gelesen werden:\n  deep\\er\\ (mehr als 1 Ordnerebenen)"
                "\n\nWas darin liegt, gilt nicht als entfernt.\n\n"
                "Es wurden keine Updater-Dateien erstellt.");
}

TEST_F(HostileSource, AFifoIsRefusedAndNeverOpened) {
  ASSERT_TRUE(MakeFifo(env.src() + "pipe"));
  ASSERT_TRUE(MakeSymlink("pipe", env.src() + "to_pipe"));
  GenerationResult r;
  EndsWithin(60, "a generation beside a FIFO", [&] {
    Reopen();
    r = GenerateUpdate(env.st, env.ui);
  });
  EXPECT_EQ(RefusalOf(list(), "pipe"), kNotAFile);
  EXPECT_EQ(RefusalOf(list(), "to_pipe"), kNotAFile);
  EXPECT_EQ(r.created, 2);
  EXPECT_EQ(Keys(env.st.manifest), (std::set<std::string>{"app.exe", "sub\\x.txt"}));
}

TEST_F(HostileSource, SizesThatTheManifestCannotHoldAreRefusedWithTheirReason) {
  constexpr uint64_t k2GiB = uint64_t{1} << 31;
  env.dir.Write("src\\big.bin", "");
  Resize(env.src() + "big.bin", k2GiB + 4096);  // sparse
  env.dir.Write("edge\\largest.bin", "");
  Resize(env.dir / "edge\\largest.bin", k2GiB - 1);
  std::vector<FileEntry> edge;
  ScanSource(env.dir / "edge", &edge);
  ASSERT_NE(Find(edge, "largest.bin"), nullptr);
  EXPECT_EQ(Find(edge, "largest.bin")->Refused, "");
  EXPECT_EQ(Find(edge, "largest.bin")->Size, 2147483647);

  Reopen();
  EXPECT_EQ(RefusalOf(list(), "big.bin"),
            "2 GiB oder größer: die Update-Info fasst höchstens 2147483647 Bytes");
  EXPECT_EQ(env.st.manifest.count("big.bin"), 0u) << "no entry, and so no wrapped size";

  // One that grows past it after the scan fails to pack, saying why.
  env.dir.Write("src\\grows.bin", "small");
  Reopen();
  Resize(env.src() + "grows.bin", k2GiB);
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(r.failed, std::vector<std::string>{"grows.bin"});
  EXPECT_GE(env.st.manifest["grows.bin"].Size, 0);
  EXPECT_NE(env.ui.messages[0].text.find("\n  grows.bin (2 GiB oder größer"), std::string::npos)
      << env.ui.messages[0].text;
  EXPECT_NE(env.ui.messages[0].text.find("\n  big.bin (2 GiB oder größer"), std::string::npos);
  fs::RemoveFile(env.src() + "grows.bin");
  fs::RemoveFile(env.src() + "big.bin");
  fs::RemoveFile(env.dir / "edge\\largest.bin");
}

TEST_F(HostileSource, PackedNamesLongerThan255BytesAreRefused) {
  const std::string folder(100, 'f');
  // "{" + folder + "}" + stem + "[txt].uzf": 255 bytes with a stem of 144.
  const std::string fits = std::string(144, 'n') + ".txt";
  const std::string too_long = std::string(145, 'n') + ".txt";
  try {
    env.dir.Write("src\\" + folder + "\\" + fits, "fits");
    env.dir.Write("src\\" + folder + "\\" + too_long, "too long");
  } catch (const std::exception&) {
    GTEST_SKIP() << "a path this long cannot be made here";
  }
  Reopen();
  EXPECT_EQ(MakePackName(fits, folder + "\\").size(), 255u);
  EXPECT_EQ(RefusalOf(list(), folder + "\\" + fits), "");
  EXPECT_EQ(RefusalOf(list(), folder + "\\" + too_long),
            "Name der gepackten Datei länger als 255 Bytes");
  EXPECT_EQ(GenerateUpdate(env.st, env.ui).refused,
            std::vector<std::string>{folder + "\\" + too_long});
}

TEST_F(HostileSource, ACaseRenameIsOneEntryAndNoDelete) {
  env.dir.Write("src\\readme.txt", "read me");
  Reopen();
  GenerateUpdate(env.st, env.ui);
  int row = -1;
  for (int i = 0; i < env.ui.RowCount(); ++i) {
    if (env.ui.Row(i).name == "readme.txt") row = i;
  }
  ASSERT_TRUE(SetRuleOfRow(env.st, env.ui, row, kFlagIfNotExist));
  ASSERT_TRUE(testing::RenameOnHost(env.src() + "readme.txt", env.src() + "ReadMe.txt"));
  Reopen();

  EXPECT_EQ(env.st.manifest.count("readme.txt"), 0u);
  ASSERT_EQ(env.st.manifest.count("ReadMe.txt"), 1u);
  EXPECT_EQ(env.st.manifest["ReadMe.txt"].Name, "ReadMe.txt");
  EXPECT_EQ(env.st.manifest["ReadMe.txt"].Flags, kFlagIfNotExist) << "the rule goes with it";
  EXPECT_TRUE(RemovedKeys(list()).empty()) << "nothing to give Delete";
  const FileEntry* f = Find(list(), "ReadMe.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Mark, 1);
  EXPECT_EQ(ProposalText(f->Reason), "Schreibweise geändert");

  GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(env.st.manifest["ReadMe.txt"].Pack, "ReadMe[txt].uzf");
  int spellings = 0;
  for (const auto& [key, e] : PublishedManifest(env.st.manifest, RemovedKeys(list()))) {
    if (WindowsNameKey(key) == "README.TXT") ++spellings;
    EXPECT_NE(e.Flags, kFlagDelete) << key;
  }
  EXPECT_EQ(spellings, 1);
}

TEST(PublishedManifest, OneEntryForEachNameAsWindowsSeesIt) {
  // What builders before this one may have left: the new spelling and a
  // Delete of the old one, and two spellings of one file.
  auto entry = [](const std::string& name, int32_t flags) {
    UpdFileStructure e;
    e.Name = name;
    e.Pack = name + ".uzf";
    e.Type = "F";
    e.Flags = flags;
    return e;
  };
  Manifest m;
  m["readme.txt"] = entry("readme.txt", kFlagDelete);
  m["ReadMe.txt"] = entry("ReadMe.txt", kFlagNormal);
  m["a.txt"] = entry("a.txt", kFlagNormal);
  m["A.TXT"] = entry("A.TXT", kFlagNormal);
  m["gone.txt"] = entry("gone.txt", kFlagDelete);
  m["GONE.TXT"] = entry("GONE.TXT", kFlagDelete);
  EXPECT_EQ(Keys(PublishedManifest(m)),
            (std::set<std::string>{"A.TXT", "GONE.TXT", "ReadMe.txt"}));

  // The builder's own merge drops the old spelling once the file is seen.
  FileEntry seen;
  seen.Name = "ReadMe.txt";
  seen.Type = "F";
  std::vector<FileEntry> list = {seen};
  MergeScan(&list, &m);
  EXPECT_EQ(m.count("readme.txt"), 0u);
  EXPECT_EQ(m.count("ReadMe.txt"), 1u);
}

TEST(MergeScan, NamesThatAreOneFileOnWindowsKeepOneDeterministically) {
  auto file = [](const std::string& path, const std::string& name) {
    FileEntry f;
    f.Path = path;
    f.Name = name;
    f.Type = "F";
    return f;
  };
  FileEntry folder;
  folder.Path = "lib\\";
  folder.Type = "D";
  for (bool reversed : {false, true}) {
    std::vector<FileEntry> list = {file("", "readme.txt"), file("", "README.TXT"),
                                   file("", "Lib"), file("lib\\", "x.dll"), folder,
                                   file("", "known.txt"), file("", "KNOWN.txt")};
    if (reversed) std::reverse(list.begin(), list.end());
    Manifest m;
    m["KNOWN.txt"].Name = "KNOWN.txt";
    m["KNOWN.txt"].Pack = "KNOWN[txt].uzf";
    MergeScan(&list, &m);
    // Nothing known: the first in byte order stays.
    EXPECT_EQ(RefusalOf(list, "readme.txt"), "unter Windows derselbe Name wie \"README.TXT\"");
    EXPECT_EQ(RefusalOf(list, "README.TXT"), "");
    // The one the manifest knows, which clients have, stays.
    EXPECT_EQ(RefusalOf(list, "known.txt"), "unter Windows derselbe Name wie \"KNOWN.txt\"");
    EXPECT_EQ(RefusalOf(list, "KNOWN.txt"), "");
    EXPECT_EQ(RefusalOf(list, "Lib"), "unter Windows derselbe Name wie der Ordner \"lib\\\"");
    EXPECT_EQ(Keys(m), (std::set<std::string>{"KNOWN.txt", "README.TXT", "lib\\x.dll"}));
  }
}

TEST(MergeScan, AFileThatCannotBeOpenedIsProposedAsUnreadable) {
  auto file = [](const std::string& name) {
    FileEntry f;
    f.Name = name;
    f.Type = "F";
    return f;
  };
  Manifest m;
  m["never.txt"].Name = "never.txt";  // in the manifest, never packed
  m["same.txt"].Name = "same.txt";
  m["same.txt"].Pack = "same[txt].uzf";
  std::vector<FileEntry> list = {file("new.txt"), file("never.txt"), file("same.txt")};
  MergeScan(&list, &m, nullptr, [](const FileEntry&) { return false; });
  EXPECT_EQ(ProposalText(list[0].Reason), "nicht lesbar");
  EXPECT_EQ(ProposalText(list[1].Reason), "nicht lesbar");
  EXPECT_EQ(list[2].Reason, Proposal::kNone) << "not proposed: not read at all";
}

TEST(ScanSource, NamesAWindowsInstallationCannotHoldAreRefused) {
  // Windows cannot make these names; Wine makes others of them.
  if (fs::Separator() != '/') GTEST_SKIP() << "names of a POSIX file system";
  testing::TempDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"dot.txt.", "Name endet mit einem Punkt oder Leerzeichen"},
      {"blank.txt ", "Name endet mit einem Punkt oder Leerzeichen"},
      {"\xFF\xFE.txt", "Name ist kein gültiges UTF-8"},
      {"esc\x1B[2J.txt", "Name, den der Updater ablehnen würde"},
      {"NUL.txt", "Name, den der Updater ablehnen würde"},
  };
  for (const auto& [name, why] : cases) dir.Write("src\\" + name, "x");
  dir.Write("src\\folder.\\inside.txt", "x");
  dir.Write("src\\fine\\name ok.txt", "x");
  std::vector<FileEntry> list;
  ScanSource(dir / "src", &list);
  for (const auto& [name, why] : cases) {
    const FileEntry* f = Find(list, name);
    if (f == nullptr) continue;  // a file system that cannot hold it either
    EXPECT_EQ(f->Refused, why) << EscapeControls(name);
  }
  if (Find(list, "folder.") != nullptr) {
    EXPECT_EQ(RefusalOf(list, "folder."), "Name endet mit einem Punkt oder Leerzeichen");
    EXPECT_EQ(Find(list, "folder.\\inside.txt"), nullptr) << "a refused folder is not entered";
  }
  EXPECT_EQ(RefusalOf(list, "fine\\name ok.txt"), "");
  Manifest m;
  MergeScan(&list, &m);
  EXPECT_EQ(Keys(m), std::set<std::string>{"fine\\name ok.txt"});
  EXPECT_TRUE(IsValidUtf8(ToJson(m)));
}

}  // namespace
}  // namespace quasto
