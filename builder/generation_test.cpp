#include "builder/generation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "builder/test_env.h"
#include "builder/upload.h"
#include "shared/content_hash.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/name_key.h"
#include "shared/packed_file.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::BuilderEnv;
using testing::TempDir;

TEST(ScanSource, FoldersAfterTheirContentAndUifSkipped) {
  TempDir dir;
  dir.Write("src\\a.txt", "a");
  dir.Write("src\\lang\\de\\text.xml", "<x/>");
  dir.Write("src\\lang\\QuaStore.UIF", "skip");
  dir.Write("src\\quastore.uif", "skip");
  std::vector<FileEntry> list;
  ScanSource(dir / "src", &list);  // no trailing separator
  ASSERT_EQ(list.size(), 4u);
  auto pos = [&](const std::string& path, const std::string& name) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].Path == path && list[i].Name == name) return static_cast<int>(i);
    }
    return -1;
  };
  EXPECT_LT(pos("lang\\de\\", "text.xml"), pos("lang\\de\\", ""));
  EXPECT_LT(pos("lang\\de\\", ""), pos("lang\\", ""));
  EXPECT_GE(pos("", "a.txt"), 0);
  const FileEntry& f = list[static_cast<size_t>(pos("lang\\de\\", "text.xml"))];
  EXPECT_EQ(f.Type, "F");
  EXPECT_EQ(f.Size, 4);
  EXPECT_EQ(f.Attrib & fs::kAttrArchive, fs::kAttrArchive);
  EXPECT_EQ(list[static_cast<size_t>(pos("lang\\", ""))].Type, "D");

  // A missing folder is no empty one: the scan says it could not list it.
  std::vector<FileEntry> none;
  ScanSource(dir / "missing\\", &none);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_TRUE(none[0].Unlisted);
  EXPECT_EQ(none[0].Path + none[0].Name, "");
  EXPECT_TRUE(ScanIncomplete(none));
}

TEST(MergeScan, ChangeDetection) {
  Manifest m;
  auto entry = [](int32_t date, int32_t size) {
    UpdFileStructure e;
    e.Version = "1.0";
    e.Pack = "p.uzf";
    e.CRC = 77;
    e.Date = date;
    e.Size = size;
    e.Type = std::string(1, 'F');  // not a literal: quiets a false -Wrestrict of mingw g++ 12
    e.Flags = kFlagIfNotExist;
    return e;
  };
  m["newer"] = entry(100, 5);
  m["older"] = entry(100, 5);
  m["resized"] = entry(100, 5);
  m["same"] = entry(100, 5);
  m["pending"] = entry(100, 5);
  m["pending"].Update = 1;
  m["gone"] = entry(1, 1);
  m["unpacked"] = entry(100, 5);
  m["unpacked"].Pack = "";
  auto file = [](const std::string& name, int32_t date, int32_t size) {
    FileEntry f;
    f.Name = name;
    f.Date = date;
    f.Size = size;
    f.Type = "F";
    return f;
  };
  std::vector<FileEntry> list = {file("newer", 101, 5),   file("older", 99, 5),
                                 file("resized", 50, 6),  file("same", 100, 5),
                                 file("pending", 100, 5), file("new", 7, 8),
                                 file("unpacked", 100, 5)};
  FileEntry folder;
  folder.Path = "sub\\";
  folder.Type = "D";
  list.push_back(folder);
  MergeScan(&list, &m);

  EXPECT_EQ(list[0].Mark, 1) << "newer time";
  EXPECT_EQ(list[1].Mark, 0) << "time moved backwards, same size";
  EXPECT_EQ(list[2].Mark, 1) << "size changed, older time";
  EXPECT_EQ(list[3].Mark, 0);
  EXPECT_EQ(list[5].Mark, 1) << "new file";
  EXPECT_EQ(list[6].Mark, 1) << "never packed";
  EXPECT_EQ(list[0].Flags, kFlagIfNotExist) << "rule comes from the manifest";
  EXPECT_EQ(m["newer"].Version, "") << "changed since its last packing";
  EXPECT_EQ(m["newer"].Date, 100) << "date of the packed content until packed again";
  EXPECT_EQ(m["newer"].Pack, "p.uzf");
  EXPECT_EQ(m["older"].Date, 100);
  EXPECT_EQ(m["older"].Version, "1.0");
  EXPECT_EQ(m["resized"].Size, 5);
  EXPECT_EQ(m["pending"].Update, 1) << "pending upload survives the merge";
  EXPECT_EQ(m["gone"], entry(1, 1)) << "entries of vanished files stay";
  EXPECT_EQ(m["new"].Type, "F");
  EXPECT_EQ(m["new"].Pack, "");
  EXPECT_EQ(m.count("sub\\"), 0u) << "folders are not merged";
}

TEST(MergeScan, ContentDecidesWhereTheEntryRecordsAHash) {
  const std::map<std::string, std::string> content = {
      {"rebuilt", "new bytes"}, {"touched", "same bytes"}, {"old-style", "whatever"}};
  auto hasher = [&](const FileEntry& f, std::string* hex) {
    auto it = content.find(f.Name);
    if (it == content.end()) return false;
    *hex = Sha256Hex(it->second);
    return true;
  };
  auto entry = [](const std::string& sha) {
    UpdFileStructure e;
    e.Pack = "p.uzf";
    e.Date = 100;
    e.Size = 9;
    e.Type = "F";
    e.SHA256 = sha;
    return e;
  };
  Manifest m;
  m["rebuilt"] = entry(Sha256Hex("old bytes"));
  m["touched"] = entry(Sha256Hex("same bytes"));
  m["locked"] = entry(Sha256Hex("x"));
  m["old-style"] = entry("");
  auto file = [](const std::string& name, int32_t date) {
    FileEntry f;
    f.Name = name;
    f.Date = date;
    f.Size = 9;
    f.Type = "F";
    return f;
  };
  std::vector<FileEntry> list = {file("rebuilt", 100), file("touched", 500), file("locked", 100),
                                 file("old-style", 101), file("fresh", 1)};
  MergeScan(&list, &m, hasher);
  EXPECT_EQ(list[0].Mark, 1) << "same size and date, other content";
  EXPECT_EQ(list[0].Reason, Proposal::kContentChanged);
  EXPECT_EQ(m["rebuilt"].Version, "");
  EXPECT_EQ(list[1].Mark, 0) << "a newer date alone is no change";
  EXPECT_EQ(list[1].Reason, Proposal::kNone);
  EXPECT_EQ(m["touched"].Date, 100);
  EXPECT_EQ(list[2].Mark, 1) << "content that cannot be read cannot be called current";
  EXPECT_EQ(list[2].Reason, Proposal::kUnreadable);
  EXPECT_EQ(list[3].Mark, 1) << "no hash recorded: the date rule";
  EXPECT_EQ(list[3].Reason, Proposal::kDateOrSize);
  EXPECT_EQ(list[4].Reason, Proposal::kNew);
  for (Proposal p : {Proposal::kNew, Proposal::kContentChanged, Proposal::kNeverPacked,
                     Proposal::kDateOrSize, Proposal::kUnreadable}) {
    EXPECT_NE(ProposalText(p), "");
  }
}

TEST(ShowFileList, AscendingPathOrderWithMarksAndLabels) {
  BuilderState st;
  RecordingUi ui;
  auto file = [](const std::string& path, const std::string& name, int32_t flags, int32_t mark) {
    FileEntry f;
    f.Path = path;
    f.Name = name;
    f.Type = "F";
    f.Flags = flags;
    f.Mark = mark;
    return f;
  };
  st.file_list = {file("b\\", "x", 0, 1), file("", "top", kFlagDelete, 0),
                  file("a\\", "y", kFlagNoUpdate, 1), file("B\\", "z", 3, 0)};
  FileEntry folder;
  folder.Path = "a\\";
  folder.Type = "D";
  st.file_list.push_back(folder);
  ShowFileList(st, ui);
  ASSERT_EQ(ui.RowCount(), 4);
  EXPECT_EQ(ui.Row(0).name, "top");
  EXPECT_EQ(ui.Row(0).rule, "Delete");
  EXPECT_EQ(ui.Row(1).name, "z");
  EXPECT_EQ(ui.Row(1).rule, "-----") << "unknown value";
  EXPECT_EQ(ui.Row(2).name, "y");
  EXPECT_EQ(ui.Row(2).rule, "NoUpdate");
  EXPECT_TRUE(ui.Row(2).checked);
  EXPECT_EQ(ui.Row(3).name, "x");
  for (int i = 0; i < 4; ++i) {
    const ListRow r = ui.Row(i);
    EXPECT_EQ(st.file_list[static_cast<size_t>(r.item)].Name, r.name);
  }
  // A rule chosen on a row reaches the entry and the manifest at once.
  ui.SelectRow(2);
  SetRule(st, ui, kFlagIfNotExist);
  EXPECT_EQ(ui.Row(2).rule, "IfNotExist");
  EXPECT_EQ(st.manifest["a\\y"].Flags, kFlagIfNotExist);
  EXPECT_EQ(st.manifest["a\\y"].Name, "y");
  ui.SelectRow(-1);
  SetRule(st, ui, kFlagDelete);  // nothing selected: nothing happens
  EXPECT_EQ(st.manifest.size(), 1u);
}

TEST(PackNames, CollidingNamesGetADeterministicSuffix) {
  Manifest m;
  m["ab\\c\\x"].Pack = "{abc}x[].uzf";
  const std::string other = UniquePackName(m, "a\\bc\\x", "a\\bc\\", "x");
  EXPECT_NE(other, "{abc}x[].uzf");
  EXPECT_EQ(other.substr(0, 9), "{abc}x[]~");
  EXPECT_EQ(other, UniquePackName(m, "a\\bc\\x", "a\\bc\\", "x")) << "deterministic";
  EXPECT_EQ(UniquePackName(m, "ab\\c\\x", "ab\\c\\", "x"), "{abc}x[].uzf") << "owner keeps it";
  m["Q.txt"].Pack = "Q[txt].uzf";
  EXPECT_NE(UniquePackName(m, "q.txt", "", "q.txt"), "q[txt].uzf") << "case-insensitive";
}

class Generation : public ::testing::Test {
 protected:
  void SetUp() override {
    env.dir.Write("base\\Quastorell.lng", "<Lang/>");
    env.dir.Write("base\\Quastorell.exe", "client");
    env.dir.Write("src\\lang\\de\\text.xml", std::string(3000, 'x'));
    env.dir.Write("src\\app.exe", "MZ program");
    ASSERT_TRUE(env.Create("Demo"));
    env.ui.SetVersionText("2.0");
    env.ui.SetDateValue(DateValueFromCivil({2024, 1, 31, 12, 0, 0}));
  }
  std::string Target() const { return env.base() + "Upload\\Demo\\"; }
  BuilderEnv env;
};

TEST_F(Generation, PacksCheckedFilesAndWritesTheUpdateSet) {
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(r.created, 2);
  EXPECT_TRUE(r.failed.empty());
  EXPECT_EQ(env.st.project.Target, Target());
  const std::string packed = env.dir.Read("base\\Upload\\Demo\\{langde}text[xml].uzf");
  std::string content;
  ASSERT_EQ(UnpackContent(packed, &content), UnpackStatus::kOk);
  EXPECT_EQ(content, std::string(3000, 'x'));
  const UpdFileStructure& e = env.st.manifest["lang\\de\\text.xml"];
  EXPECT_EQ(e.Pack, "{langde}text[xml].uzf");
  EXPECT_EQ(e.CRC, static_cast<int32_t>(Crc32(packed)));
  EXPECT_EQ(e.Version, "2.0");
  EXPECT_EQ(e.VDate, DateValueFromCivil({2024, 1, 31, 12, 0, 0}));
  EXPECT_EQ(e.Update, 1);
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\Quasto\\Quastorell.lng"), "<Lang/>");
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\Quastorell.exe"), "client");
  EXPECT_EQ(env.st.client.ProgInfo, "Demo 2.0 (31.01.2024)");
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\Quasto\\Quastorell.ucf"),
            "{\"ProgInfo\": \"Demo 2.0 (31.01.2024)\", \"ProgExe\": \"\", \"Restart\": 0, "
            "\"Mutex\": \"\", \"URL\": \"http://example.invalid/upd/\", \"ProjectId\": \"" +
                env.st.client.ProjectId + "\"}");
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo\\Quastorell.uif"), ToJson(env.st.manifest));
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt erstellen");
  EXPECT_EQ(env.ui.messages[0].text, "Es wurden 2 Updater-Dateien erstellt bzw. aktualisiert.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kInformation);
  EXPECT_TRUE(env.ui.upload_enabled());
  EXPECT_EQ(env.st.last_marked_count, 2);
  EXPECT_EQ(env.ui.progress.front(), "begin Erzeuge ..... 2");
  EXPECT_EQ(env.ui.progress.back(), "end");
  for (int i = 0; i < env.ui.RowCount(); ++i) EXPECT_FALSE(env.ui.Row(i).checked);

  // The manifest's byte form for one entry, as the client reads it.
  UpdFileStructure exe = env.st.manifest["app.exe"];
  EXPECT_EQ(ToJson(exe),
            "{\"Version\": \"2.0\", \"VDate\": " + std::to_string(exe.VDate) +
                ", \"Path\": \"\", \"Name\": \"app.exe\", \"Pack\": \"app[exe].uzf\", \"CRC\": " +
                std::to_string(exe.CRC) + ", \"Date\": " + std::to_string(exe.Date) +
                ", \"Size\": 10, \"Type\": \"F\", \"Attrib\": " + std::to_string(exe.Attrib) +
                ", \"Flags\": 0, \"Update\": 1, \"SHA256\": \"" +
                Sha256Hex(env.dir.Read("src\\app.exe")) + "\"}");

  // A second run without new check marks packs nothing, and an existing
  // client executable is left alone.
  env.dir.Write("base\\Upload\\Demo\\Quastorell.exe", "kept");
  env.ui.messages.clear();
  const GenerationResult again = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(again.created, 0);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Es wurden keine neuen Updater-Dateien erstellt bzw. aktualisiert.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kWarning);
  EXPECT_TRUE(env.ui.upload_enabled()) << "the files of the first run still wait for it";
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\Quastorell.exe"), "kept");
  EXPECT_EQ(env.st.manifest["app.exe"].Update, 1) << "still pending";
}

TEST_F(Generation, RemovedFilesAreListedButNeverPacked) {
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 2);
  fs::RemoveFile(env.src() + "app.exe");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_EQ(env.ui.RowCount(), 2);
  const ListRow removed = env.ui.Row(0);
  EXPECT_EQ(removed.name, "app.exe");
  EXPECT_TRUE(removed.removed);
  EXPECT_FALSE(removed.checked);
  EXPECT_FALSE(env.ui.Row(1).removed);

  // Checked anyway (the GUI's check box): not packed, not a failure.
  env.ui.SetRowChecked(0, true);
  env.ui.messages.clear();
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(r.created, 0);
  EXPECT_TRUE(r.ok());
  EXPECT_FALSE(env.ui.Row(0).checked);
  EXPECT_EQ(env.ui.messages[0].text,
            "Es wurden keine neuen Updater-Dateien erstellt bzw. aktualisiert.");

  // Only Delete and no rule fit a file that is no longer shipped.
  for (int32_t flags : {kFlagNoUpdate, kFlagIfNotExist}) {
    EXPECT_FALSE(SetRuleOfRow(env.st, env.ui, 0, flags));
  }
  EXPECT_EQ(env.ui.Row(0).rule, "-----");
  EXPECT_TRUE(SetRuleOfRow(env.st, env.ui, 0, kFlagDelete));
  EXPECT_EQ(env.st.manifest["app.exe"].Flags, kFlagDelete);
  EXPECT_TRUE(SetRuleOfRow(env.st, env.ui, 0, kFlagNormal));
  EXPECT_EQ(RemovedLabel("app.exe"), "app.exe (entfernt)");
}

TEST_F(Generation, ReopeningKeepsPendingMarksAndUncheckedFilesKeepOldPack) {
  GenerateUpdate(env.st, env.ui);
  const UpdFileStructure before = env.st.manifest["app.exe"];
  CloseProject(env.st, env.ui);
  // Changed content, newer time.
  env.dir.Write("src\\app.exe", "MZ program, version two");
  fs::SetFileDate(env.src() + "app.exe", before.Date + 100);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_EQ(env.st.manifest["lang\\de\\text.xml"].Update, 1);
  ASSERT_EQ(env.ui.RowCount(), 2);
  EXPECT_TRUE(env.ui.Row(0).checked);
  EXPECT_FALSE(env.ui.Row(1).checked);
  env.ui.SetRowChecked(0, false);  // the developer unchecks it
  env.ui.messages.clear();
  EXPECT_EQ(GenerateUpdate(env.st, env.ui).created, 0);
  // The entry still describes the packed file the server has: old date,
  // size, packed name and CRC, so no client takes the old content for the
  // new one. The file stays proposed until it is packed.
  const UpdFileStructure& after = env.st.manifest["app.exe"];
  EXPECT_EQ(after.Version, "");
  EXPECT_EQ(after.Date, before.Date);
  EXPECT_EQ(after.Size, before.Size);
  EXPECT_EQ(after.Pack, before.Pack);
  EXPECT_EQ(after.CRC, before.CRC);
  CloseProject(env.st, env.ui);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_TRUE(env.ui.Row(0).checked) << "proposed again";
  EXPECT_EQ(GenerateUpdate(env.st, env.ui).created, 1);
  EXPECT_EQ(env.st.manifest["app.exe"].Date, before.Date + 100);
  EXPECT_EQ(env.st.manifest["app.exe"].Size, 23);
  EXPECT_NE(env.st.manifest["app.exe"].CRC, before.CRC);
}

TEST_F(Generation, ChangedContentIsFoundWhateverTheDateSays) {
  const int32_t old_date = DateValueFromCivil({2023, 5, 1, 10, 0, 0});
  for (const char* rel : {"src\\app.exe", "src\\lang\\de\\text.xml"}) {
    fs::SetFileDate(env.dir / rel, old_date);
  }
  GenerateUpdate(env.st, env.ui);
  const UpdFileStructure before = env.st.manifest["app.exe"];
  EXPECT_EQ(before.SHA256, Sha256Hex("MZ program"));
  CloseProject(env.st, env.ui);

  // Rebuilt in place with its old size and date; the other file only touched.
  env.dir.Write("src\\app.exe", "MZ progrAm");
  fs::SetFileDate(env.src() + "app.exe", old_date);
  fs::SetFileDate(env.src() + "lang\\de\\text.xml", old_date + 3600);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_EQ(env.ui.RowCount(), 2);
  EXPECT_EQ(env.ui.Row(0).name, "app.exe");
  EXPECT_TRUE(env.ui.Row(0).checked);
  EXPECT_FALSE(env.ui.Row(1).checked) << "same content, newer date";
  EXPECT_EQ(env.st.file_list[static_cast<size_t>(env.ui.Row(0).item)].Reason,
            Proposal::kContentChanged);
  EXPECT_EQ(GenerateUpdate(env.st, env.ui).created, 1);
  EXPECT_EQ(env.st.manifest["app.exe"].SHA256, Sha256Hex("MZ progrAm"));
  EXPECT_NE(env.st.manifest["app.exe"].CRC, before.CRC);
  CloseProject(env.st, env.ui);

  // The hashes recorded while packing spare the next open from reading.
  const int hashed = env.st.hashes.files_hashed();
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_EQ(env.st.hashes.files_hashed(), hashed) << "nothing is read again";
  CloseProject(env.st, env.ui);
  env.st.hashes = HashCache();  // as in a new run of the builder
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_EQ(env.st.hashes.files_hashed(), 0);
  EXPECT_FALSE(env.ui.Row(0).checked);
  EXPECT_FALSE(env.ui.Row(1).checked);
}

TEST_F(Generation, EntriesWithoutAHashKeepTheDateRuleUntilPackedAgain) {
  GenerateUpdate(env.st, env.ui);
  CloseProject(env.st, env.ui);
  // A manifest written before hashes were kept.
  const std::string uif = env.base() + "Projects\\Demo\\Quastorell.uif";
  Manifest m;
  ASSERT_TRUE(LoadDocument(uif, &m));
  for (auto& [k, e] : m) e.SHA256.clear();
  ASSERT_TRUE(SaveDocument(uif, m));
  const int32_t date = m["app.exe"].Date;

  env.dir.Write("src\\app.exe", "MZ progrAm");  // same size
  fs::SetFileDate(env.src() + "app.exe", date);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_FALSE(env.ui.Row(0).checked) << "no hash to tell, and date and size are the same";
  CloseProject(env.st, env.ui);

  fs::SetFileDate(env.src() + "app.exe", date + 1);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_TRUE(env.ui.Row(0).checked);
  EXPECT_EQ(env.st.file_list[static_cast<size_t>(env.ui.Row(0).item)].Reason,
            Proposal::kDateOrSize);
  GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(env.st.manifest["app.exe"].SHA256, Sha256Hex("MZ progrAm"));
  EXPECT_EQ(env.st.manifest["lang\\de\\text.xml"].SHA256, "") << "not packed again";
}

TEST_F(Generation, EmptyAndIncompressibleFilesArePublished) {
  env.dir.Write("src\\empty.dat", "");
  std::mt19937 rng(5);
  std::string noise(2000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  env.dir.Write("src\\noise.bin", noise);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_EQ(GenerateUpdate(env.st, env.ui).created, 4);
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\empty[dat].uzf"), std::string(16, '\0'));
  EXPECT_EQ(env.st.manifest["empty.dat"].CRC, static_cast<int32_t>(Crc32(std::string(16, '\0'))));
  const std::string stored = env.dir.Read("base\\Upload\\Demo\\noise[bin].uzf");
  EXPECT_EQ(stored.size(), noise.size() + 16);
  EXPECT_EQ(stored.substr(0, 8), std::string(8, '\0'));
  EXPECT_EQ(stored.substr(16), noise);
}

TEST_F(Generation, FailedFileIsNotCountedAndKeepsItsEntry) {
  GenerateUpdate(env.st, env.ui);
  const UpdFileStructure before = env.st.manifest["app.exe"];
  env.st.manifest["app.exe"].Update = 0;  // as after an upload
  SaveManifest(env.st, "Demo.upf");
  const UpdFileStructure uploaded = env.st.manifest["app.exe"];
  env.dir.Write("src\\app.exe", "MZ program changed");
  fs::SetFileDate(env.src() + "app.exe", before.Date + 100);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  fs::RemoveFile(env.src() + "app.exe");  // gone between scan and generation
  env.ui.messages.clear();
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(r.created, 0);
  ASSERT_EQ(r.failed, std::vector<std::string>{"app.exe"});
  const UpdFileStructure& e = env.st.manifest["app.exe"];
  EXPECT_EQ(e.Pack, uploaded.Pack);
  EXPECT_EQ(e.CRC, uploaded.CRC);
  EXPECT_EQ(e.Update, 0);
  EXPECT_EQ(env.dir.Read("base\\Upload\\Demo\\app[exe].uzf").size() > 16, true)
      << "the older packed file is still there";
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Es wurden keine neuen Updater-Dateien erstellt bzw. aktualisiert.\n\n"
            "1 Datei konnte nicht erstellt werden:\n  app.exe");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
}

// Every file below the folder with its content.
std::map<std::string, std::string> Files(const std::string& root, const std::string& rel = "") {
  std::map<std::string, std::string> files;
  std::vector<fs::DirEntry> entries;
  fs::ListDirectory(root + rel, &entries);
  for (const fs::DirEntry& e : entries) {
    if (e.is_directory) {
      files.merge(Files(root, rel + e.name + "\\"));
    } else if (e.name != "Quastorell.hash" && e.name != "Quastorell.lock" &&
               e.name != "Quastorell.owner") {
      fs::ReadFile(root + rel + e.name, &files[rel + e.name]);
    }
  }
  return files;
}

// A write that fails part-way (a full disk) leaves the update set and the
// project's documents as they were: nothing of the new set goes in place,
// the files stay checked, and the message says so.
TEST_F(Generation, AFileThatCannotBeWrittenLeavesTheOldSet) {
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 2);
  CloseProject(env.st, env.ui);
  env.dir.Write("src\\app.exe", "MZ program, version 2");
  env.dir.Write("src\\new.txt", "new");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  const auto set = Files(Target());
  const auto project = Files(env.base() + "Projects\\");
  const Manifest manifest = env.st.manifest;
  // The client configuration's place in the set is taken by a file, so the
  // last writes of the staging fail.
  testing::RemoveTree(Target() + "Quasto");
  env.dir.Write("base\\Upload\\Demo\\Quasto", "in the way");
  env.ui.messages.clear();
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.written);
  EXPECT_EQ(r.created, 0);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text.substr(0, 50), "Die Update-Dateien konnten nicht geschrieben werde");
  EXPECT_NE(env.ui.messages[0].text.find("Es wurde nichts geändert; die bisherigen Dateien "
                                         "bleiben erhalten."),
            std::string::npos);
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
  EXPECT_EQ(env.st.manifest, manifest);
  auto now = Files(Target());
  EXPECT_EQ(now.erase("Quasto"), 1u);
  auto expected = set;
  std::erase_if(expected, [](const auto& f) { return f.first.rfind("Quasto\\", 0) == 0; });
  EXPECT_EQ(now, expected) << "no packed file changed, no temporary left";
  EXPECT_EQ(Files(env.base() + "Projects\\"), project);
  int checked = 0;
  for (int i = 0; i < env.ui.RowCount(); ++i) checked += env.ui.Row(i).checked;
  EXPECT_EQ(checked, 2) << "still proposed";
  EXPECT_EQ(env.ui.progress.back(), "end");
}

// A client configuration that became unreadable while the project was open
// is neither shipped nor written over.
TEST_F(Generation, ADamagedClientConfigurationIsNeverShipped) {
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 2);
  const auto set = Files(Target());
  env.dir.Write("base\\Projects\\Demo\\Quastorell.ucf", "{\"URL\": ");
  env.dir.Write("src\\app.exe", "MZ program, version 2");
  ASSERT_EQ(TakeSelection(env.st, env.ui), 0);
  env.st.file_list[0].Mark = 1;
  ShowFileList(env.st, env.ui);
  env.ui.messages.clear();
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_FALSE(r.ok());
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Die Datei \"" + fs::NativePath(env.base() + "Projects\\Demo\\Quastorell.ucf") +
                "\" ist beschädigt und kann nicht gelesen werden.\n"
                "Es wurde nichts erstellt; die Datei bleibt unverändert.");
  EXPECT_EQ(Files(Target()), set);
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo\\Quastorell.ucf"), "{\"URL\": ");
}

TEST(GenerationWithoutProject, IsRefused) {
  BuilderEnv env;
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_FALSE(r.ok());
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt erstellen");
  EXPECT_EQ(env.ui.messages[0].text, "Es ist kein Projekt geöffnet.");
  EXPECT_EQ(DirectoryExists(env.base() + "Upload\\"), 0) << "no update set of no project";
}

// What killed runs left of a generation or a document save goes when the
// project is opened next.
TEST_F(Generation, LeftoversGoWhenTheProjectIsOpened) {
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 2);
  CloseProject(env.st, env.ui);
  const auto set = Files(Target());
  const auto project = Files(env.base() + "Projects\\");
  for (const char* f : {"base\\Upload\\Demo\\app[exe].uzf.part",
                        "base\\Upload\\Demo\\~qgen.00a1b2c3d4.0",
                        "base\\Upload\\Demo\\Quastorell.uif.tmp~Ab12Cd",
                        "base\\Upload\\Demo\\Quasto\\Quastorell.ucf.tmp~1",
                        "base\\Projects\\Demo\\Quastorell.uif.tmp~x8",
                        "base\\Projects\\Demo.upf.tmp~y9"}) {
    env.dir.Write(f, "left by a killed run");
  }
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_EQ(Files(Target()), set);
  EXPECT_EQ(Files(env.base() + "Projects\\"), project);
}

// Release files may be named like the builder's temporaries; their packed
// files and patches are the set's, and the next open leaves them alone.
TEST_F(Generation, PackedFilesNamedLikeTemporariesAreNoLeftovers) {
  env.dir.Write("src\\~qgen.notes.txt", "notes");
  env.dir.Write("src\\Quastorell.x.tmp~1.txt", "more notes");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 4);
  const std::string a = env.st.manifest["~qgen.notes.txt"].Pack;
  const std::string b = env.st.manifest["Quastorell.x.tmp~1.txt"].Pack;
  ASSERT_TRUE(FileExists(Target() + a));
  ASSERT_TRUE(FileExists(Target() + b));
  CloseProject(env.st, env.ui);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_TRUE(FileExists(Target() + a)) << a;
  EXPECT_TRUE(FileExists(Target() + b)) << b;
  EXPECT_TRUE(MismatchedPacks(env.st).empty());
}

TEST_F(Generation, CollidingFilesGetDistinctPackedFiles) {
  env.dir.Write("src\\ab\\c\\x", "first file");
  env.dir.Write("src\\a\\bc\\x", "second file");
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 4);
  const UpdFileStructure& one = env.st.manifest["ab\\c\\x"];
  const UpdFileStructure& two = env.st.manifest["a\\bc\\x"];
  EXPECT_NE(one.Pack, two.Pack);
  std::string c1, c2;
  ASSERT_EQ(UnpackContent(env.dir.Read("base\\Upload\\Demo\\" + one.Pack), &c1), UnpackStatus::kOk);
  ASSERT_EQ(UnpackContent(env.dir.Read("base\\Upload\\Demo\\" + two.Pack), &c2), UnpackStatus::kOk);
  EXPECT_EQ(c1, "first file");
  EXPECT_EQ(c2, "second file");
}

// "Projects\" holds every project's document: opening one never takes
// another's for a temporary, whatever it is called.
TEST_F(Generation, OpeningAProjectLeavesOtherProjectsDocuments) {
  CloseProject(env.st, env.ui);
  for (const char* other : {"Demo.upf.tmp~1", "Demo.upf.~qgen1"}) {
    ASSERT_TRUE(env.Create(other)) << other;
    CloseProject(env.st, env.ui);
    ASSERT_TRUE(FileExists(env.base() + "Projects\\" + other + ".upf")) << other;
  }
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  for (const char* other : {"Demo.upf.tmp~1", "Demo.upf.~qgen1"}) {
    EXPECT_TRUE(FileExists(env.base() + "Projects\\" + other + ".upf")) << other;
  }
}

// Packed files lie side by side in one folder, which on Windows (and on
// many servers) ignores letter case, non-ASCII letters too.
TEST_F(Generation, PackedFileNamesDifferBeyondLetterCase) {
  env.dir.Write("src\\ab\\\xc3\x84" "c.txt", "upper");     // ab\Äc.txt
  env.dir.Write("src\\a\\b\\\xc3\xa4" "c.txt", "lower");  // a\b\äc.txt
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  ASSERT_EQ(GenerateUpdate(env.st, env.ui).created, 4);
  const std::string one = env.st.manifest["ab\\\xc3\x84" "c.txt"].Pack;
  const std::string two = env.st.manifest["a\\b\\\xc3\xa4" "c.txt"].Pack;
  ASSERT_FALSE(one.empty());
  ASSERT_FALSE(two.empty());
  EXPECT_NE(WindowsNameKey(one), WindowsNameKey(two)) << one << " " << two;
}

TEST_F(Generation, EntriesTheClientWouldRefuseAreNotPublished) {
  // A Windows device name; only creatable where the file system allows it.
  env.dir.Write("src\\NUL.txt", "device");
  if (FileExists(env.src() + "NUL.txt") == 0) GTEST_SKIP() << "cannot create NUL.txt here";
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  env.ui.messages.clear();
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_EQ(r.created, 2);
  EXPECT_EQ(r.refused, std::vector<std::string>{"NUL.txt"});
  EXPECT_EQ(env.st.manifest["NUL.txt"].Pack, "");
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_NE(env.ui.messages[0].text.find("nicht veröffentlicht"), std::string::npos);
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
}

// Counts how often the windows were let paint while each file was awaited,
// and notes every thread that touched the window.
class PaintCountingUi : public RecordingUi {
 public:
  void ProgressText(const std::string& text) override {
    RecordingUi::ProgressText(text);
    threads.insert(std::this_thread::get_id());
    awaited = text;
  }
  void ProgressStep(int value) override {
    RecordingUi::ProgressStep(value);
    threads.insert(std::this_thread::get_id());
    awaited.clear();
  }
  void FlushEvents() override {
    RecordingUi::FlushEvents();
    threads.insert(std::this_thread::get_id());
    if (!awaited.empty()) ++flushes_while[awaited];
  }
  void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override {
    RecordingUi::ShowMessage(caption, text, icon);
    threads.insert(std::this_thread::get_id());
  }

  std::string awaited;
  std::map<std::string, int> flushes_while;
  std::set<std::thread::id> threads;
};

TEST_F(Generation, WindowsPaintWhileALargeFileIsPackedOnAWorker) {
  // First in list order, so it is awaited at once; some seconds of LZMA.
  std::mt19937 rng(3);
  std::string big;
  while (big.size() < (4u << 20)) big += "token" + std::to_string(rng() % 100000) + " ";
  env.dir.Write("src\\z\\big.bin", big);
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  PaintCountingUi ui;
  ui.SetVersionText("2.0");
  ShowFileList(env.st, ui);
  const GenerationResult r = GenerateUpdate(env.st, ui, 2);
  EXPECT_EQ(r.created, 3);
  EXPECT_GT(ui.flushes_while["big.bin"], 0) << "the window was left unpainted";
  EXPECT_EQ(ui.threads, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(ui.progress,
            (std::vector<std::string>{"begin Erzeuge ..... 3", "text big.bin", "step 1",
                                      "text text.xml", "step 2", "text app.exe", "step 3",
                                      "end"}));
  std::string content;
  ASSERT_EQ(UnpackContent(env.dir.Read("base\\Upload\\Demo\\{z}big[bin].uzf"), &content),
            UnpackStatus::kOk);
  EXPECT_TRUE(content == big);
}

TEST(GenerationWithoutFiles, MissingSourceStopsBeforeAnythingIsWritten) {
  BuilderEnv env;
  env.dir.Write("base\\Quastorell.lng", "<Lang/>");
  ASSERT_TRUE(env.Create("Empty"));
  env.st.project.Source = env.dir / "nowhere\\";
  env.st.file_list.clear();
  ScanSource(env.st.project.Source, &env.st.file_list);
  ShowFileList(env.st, env.ui);
  env.ui.messages.clear();
  const GenerationResult r = GenerateUpdate(env.st, env.ui);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.unlisted, std::vector<std::string>{""});
  EXPECT_EQ(FileExists(env.base() + "Upload\\Empty\\Quasto\\Quastorell.lng"), 0);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].text,
            "Das Quellverzeichnis \"" + fs::NativePath(env.dir / "nowhere\\") +
                "\" kann nicht gelesen werden: Ordner nicht lesbar.\n\n"
                "Es wurden keine Updater-Dateien erstellt.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
}

}  // namespace
}  // namespace quasto
