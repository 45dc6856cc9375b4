#include "shared/documents.h"

#include <gtest/gtest.h>

#include "shared/fs.h"
#include "shared/limits.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

// U+1F600 in UTF-8, and as the two three-byte surrogate sequences.
const std::string kEmoji = "\xF0\x9F\x98\x80";
const std::string kEmojiCesu = "\xED\xA0\xBD\xED\xB8\x80";

TEST(JsonWriter, ProjectNeedingEveryEscapeIsByteExact) {
  ProjectStructure p;
  p.Titel = std::string("q\"b\\s/") + "\b\t\n\f\r" + std::string("\x00\x01\x1f", 3) + "\x7f" +
            "\xC3\xA9" + kEmoji;
  p.Version = "1.0";
  p.Date = -5;
  p.Source = "C:\\Rel\\";
  p.FTPUpload = 1;
  EXPECT_EQ(ToJson(p),
            "{\"Titel\": \"q\\\"b\\\\s/\\b\\t\\n\\f\\r\\u0000\\u0001\\u001f\x7f\xC3\xA9" +
                kEmojiCesu +
                "\", \"Version\": \"1.0\", \"Date\": -5, \"Source\": \"C:\\\\Rel\\\\\", "
                "\"Target\": \"\", \"FTPUpload\": 1, \"FTPDir\": \"\"}");
}

TEST(JsonWriter, EmptyRecordsAndManifest) {
  EXPECT_EQ(ToJson(Manifest{}), "{}");
  EXPECT_EQ(ToJson(FTPStructure{}),
            "{\"Server\": \"\", \"Port\": 0, \"StartDir\": \"\", \"Login\": \"\", "
            "\"Password\": \"\"}");
  EXPECT_EQ(ToJson(UpdaterStructure{}),
            "{\"ProgInfo\": \"\", \"ProgExe\": \"\", \"Restart\": 0, \"Mutex\": \"\", "
            "\"URL\": \"\"}");
}

TEST(JsonWriter, ManifestEntriesWithUnsignedQuantities) {
  Manifest m;
  UpdFileStructure e;
  e.Path = "lang\\de\\";
  e.Name = "text.xml";
  e.Pack = "{langde}text[xml].uzf";
  e.CRC = static_cast<int32_t>(0xFFFFFFFFu);
  e.Size = static_cast<int32_t>(0x80000000u);
  e.Type = "F";
  m[e.Path + e.Name] = e;
  EXPECT_EQ(ToJson(m),
            "{\"lang\\\\de\\\\text.xml\": {\"Version\": \"\", \"VDate\": 0, \"Path\": "
            "\"lang\\\\de\\\\\", \"Name\": \"text.xml\", \"Pack\": \"{langde}text[xml].uzf\", "
            "\"CRC\": -1, \"Date\": 0, \"Size\": -2147483648, \"Type\": \"F\", \"Attrib\": 0, "
            "\"Flags\": 0, \"Update\": 0}}");

  Manifest back;
  ASSERT_EQ(ManifestFromJson(ToJson(m), &back), ManifestRead::kOk);
  EXPECT_EQ(back, m);
  EXPECT_EQ(static_cast<uint32_t>(back.begin()->second.CRC), 0xFFFFFFFFu);
}

TEST(JsonWriter, ContentHashFollowsTheOriginalMembersOnlyWhenSet) {
  UpdFileStructure e;
  e.Name = "a.dll";
  e.Type = "F";
  const std::string without = ToJson(e);
  EXPECT_EQ(without.find("SHA256"), std::string::npos) << "older documents stay byte for byte";
  e.SHA256 = std::string(64, 'f');
  EXPECT_EQ(ToJson(e), without.substr(0, without.size() - 1) + ", \"SHA256\": \"" +
                           std::string(64, 'f') + "\"}");
  UpdFileStructure back;
  ASSERT_TRUE(FromJson(ToJson(e), &back));
  EXPECT_EQ(back, e);
  // Readers that know nothing of it, such as older clients, skip the member.
  ASSERT_TRUE(FromJson(R"({"Name": "x", "SHA256": 12})", &back));
  EXPECT_EQ(back.SHA256, "") << "not a string";
}

TEST(JsonWriter, PatchesComeLastOnlyWhenThereAreAnyAndOldReadersPassThemOver) {
  Manifest m;
  UpdFileStructure& e = m["app.exe"];
  e.Name = "app.exe";
  e.Type = "F";
  e.SHA256 = std::string(64, 'c');
  const std::string without = ToJson(m);
  EXPECT_EQ(without.find("Patches"), std::string::npos);
  e.Patches.push_back({std::string(64, 'a'), "app[exe].aaaaaaaaaaaaaaaa.uzp", 1234,
                       std::string(64, 'b')});
  e.Patches.push_back({std::string(64, 'd'), "p\"2", -1, ""});
  const std::string with = ToJson(m);
  EXPECT_EQ(with, without.substr(0, without.size() - 2) +
                      ", \"Patches\": [{\"Base\": \"" + std::string(64, 'a') +
                      "\", \"Pack\": \"app[exe].aaaaaaaaaaaaaaaa.uzp\", \"Size\": 1234, "
                      "\"SHA256\": \"" + std::string(64, 'b') +
                      "\"}, {\"Base\": \"" + std::string(64, 'd') +
                      "\", \"Pack\": \"p\\\"2\", \"Size\": -1, \"SHA256\": \"\"}]}}");
  Manifest back;
  ASSERT_EQ(ManifestFromJson(with, &back), ManifestRead::kOk);
  EXPECT_EQ(back, m);
  // A reader that knows only the record's scalars, as older clients do.
  UpdFileStructure old;
  ASSERT_TRUE(FromJson(with.substr(with.find(": ") + 2, with.size() - with.find(": ") - 3), &old));
  EXPECT_EQ(old.SHA256, e.SHA256);
  // Members of other shapes are passed over, never mistaken for patches.
  ASSERT_EQ(ManifestFromJson(R"({"a": {"Patches": {"Base": "x"}, "Other": [{"Base": "y"}]},)"
                             R"( "b": {"Patches": [1, [{"Base": "z"}], {"Size": 7, "Q": {}}]}})",
                             &back),
            ManifestRead::kOk);
  EXPECT_TRUE(back["a"].Patches.empty());
  ASSERT_EQ(back["b"].Patches.size(), 1u);
  EXPECT_EQ(back["b"].Patches[0].Size, 7);
  EXPECT_EQ(back["b"].Patches[0].Base, "");
}

TEST(JsonWriter, KeptGenerationsIsWrittenOnlyWhenSet) {
  ProjectStructure p;
  p.Titel = "t";
  const std::string without = ToJson(p);
  EXPECT_EQ(without.find("Kept"), std::string::npos);
  p.KeptGenerations = 5;
  EXPECT_EQ(ToJson(p), without.substr(0, without.size() - 1) + ", \"KeptGenerations\": 5}");
  ProjectStructure back;
  ASSERT_TRUE(FromJson(ToJson(p), &back));
  EXPECT_EQ(back, p);
}

TEST(JsonReader, ReadsBackEverythingTheWriterWrites) {
  UpdFileStructure e;
  e.Version = std::string("\x01\x1f\"\\/", 5) + kEmoji + "\xE2\x82\xAC";
  e.VDate = INT32_MIN;
  e.Path = "a b\\\xC3\xBC\\";
  e.Name = kEmoji + ".txt";
  e.CRC = INT32_MAX;
  e.Date = 1700000000;
  e.Size = 12;
  e.Type = "D";
  e.Attrib = 0x21;
  e.Flags = 16;
  e.Update = 1;
  e.SHA256 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  UpdFileStructure back;
  ASSERT_TRUE(FromJson(ToJson(e), &back));
  EXPECT_EQ(back, e);
}

TEST(JsonReader, EscapedSurrogatePairFromOtherWriters) {
  UpdaterStructure u;
  ASSERT_TRUE(FromJson(R"({"URL": "x\ud83d\ude00y\u00e9"})", &u));
  EXPECT_EQ(u.URL, "x" + kEmoji + "y\xC3\xA9");
}

TEST(JsonReader, ClearsFirstAndMatchesNamesExactly) {
  ProjectStructure p;
  p.Titel = "old";
  p.Version = "old";
  p.Date = 7;
  ASSERT_TRUE(FromJson(R"({"titel": "lower", "Version": "2", "Extra": [1, {"a": 2}]})", &p));
  EXPECT_EQ(p.Titel, "");  // "titel" is not "Titel"
  EXPECT_EQ(p.Version, "2");
  EXPECT_EQ(p.Date, 0);

  UpdaterStructure u;
  u.Mutex = "held before";
  ASSERT_TRUE(FromJson(R"({"ProgInfo": "P"})", &u));
  EXPECT_EQ(u.Mutex, "");
}

TEST(JsonReader, NumbersKeepTheirLow32Bits) {
  UpdFileStructure e;
  ASSERT_TRUE(FromJson(R"({"CRC": 4294967295, "Size": 2147483648, "Date": 4294967296,
                           "Attrib": 32.0, "Flags": 1.5, "VDate": "12", "Update": true})",
                       &e));
  EXPECT_EQ(e.CRC, -1);
  EXPECT_EQ(e.Size, INT32_MIN);
  EXPECT_EQ(e.Date, 0);
  EXPECT_EQ(e.Attrib, 32);
  EXPECT_EQ(e.Flags, 0);   // a fraction is no field value
  EXPECT_EQ(e.VDate, 0);   // a string is no number
  EXPECT_EQ(e.Update, 0);
}

TEST(JsonReader, FailureLeavesTheRecordUnchanged) {
  FTPStructure f;
  f.Server = "keep";
  f.Port = 21;
  const FTPStructure before = f;
  for (const char* bad : {"", "   ", "[1, 2]", "\"text\"", "{\"Server\": \"x\"", "{} {}",
                          "{\"Server\": \"x\",}", "nul", "{\"Port\": 0x10}"}) {
    EXPECT_FALSE(FromJson(bad, &f)) << bad;
    EXPECT_EQ(f, before) << bad;
  }
}

TEST(JsonReader, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  // Nested values of members nobody knows are passed over, up to the bound.
  auto nested = [](int levels) {
    return "{\"Server\": \"s\", \"Extra\": " + std::string(static_cast<size_t>(levels - 1), '[') +
           std::string(static_cast<size_t>(levels - 1), ']') + "}";
  };
  FTPStructure f;
  EXPECT_TRUE(FromJson(nested(kMaxDocumentDepth), &f));
  EXPECT_EQ(f.Server, "s");
  EXPECT_FALSE(FromJson(nested(kMaxDocumentDepth + 1), &f));
  const std::string deep = "{\"Server\": " + std::string(200000, '[') + std::string(200000, ']') + "}";
  EXPECT_FALSE(FromJson(deep, &f));
  Manifest m;
  std::string why;
  EXPECT_EQ(ManifestFromJson("{\"a\": " + deep.substr(12) , &m, &why), ManifestRead::kNotJson);
  EXPECT_NE(why.find("nested deeper than 32 levels"), std::string::npos) << why;
}

TEST(JsonReader, ARepeatedKeyAtAnyLevelIsADamagedDocument) {
  // Read two ways: one reader takes the first member, another the last.
  UpdaterStructure u;
  u.URL = "before";
  for (const char* doc : {R"({"URL": "a", "URL": "b"})",
                          R"({"URL": "a", "\u0055RL": "b"})",  // one key, escaped
                          R"({"URL": "a", "X": {"k": 1, "k": 2}})",
                          R"({"URL": "a", "X": [{"k": 1}, {"k": 1, "k": 1}]})"}) {
    EXPECT_FALSE(FromJson(doc, &u)) << doc;
    EXPECT_EQ(u.URL, "before");
  }
  // The same member name in different objects is no repetition.
  EXPECT_TRUE(FromJson(R"({"URL": "a", "X": {"URL": 1}, "Y": [{"k": 1}, {"k": 1}]})", &u));

  Manifest m;
  std::string why;
  const std::string sha(64, 'a'), other(64, 'b');
  for (const std::string& doc :
       {"{\"a\": {\"Name\": \"a\", \"SHA256\": \"" + sha + "\", \"SHA256\": \"" + other + "\"}}",
        std::string(R"({"a": {"Name": "a"}, "b": 5, "a": {"Name": "A2"}})"),
        std::string("{\"\xF0\x9F\x98\x80\": {}, \"\\ud83d\\ude00\": {}}")}) {
    EXPECT_EQ(ManifestFromJson(doc, &m, &why), ManifestRead::kNotJson) << doc;
    EXPECT_NE(why.find("repeated"), std::string::npos) << why;
  }
}

TEST(JsonReader, NothingButBlanksMayFollowTheObject) {
  Manifest m;
  std::string why;
  for (const std::string& doc :
       {std::string("{} x"), std::string("{}{}"), std::string("{}\0", 3), std::string("{}\0{}", 5),
        std::string("{} ,"), std::string("{\"a\": {}}<html>")}) {
    EXPECT_EQ(ManifestFromJson(doc, &m, &why), ManifestRead::kNotJson) << doc;
  }
  EXPECT_EQ(ManifestFromJson(std::string("{} \0", 4), &m, &why), ManifestRead::kNotJson);
  EXPECT_NE(why.find("bytes after the JSON value (at byte 3)"), std::string::npos) << why;
  // Cut anywhere, the writer's manifest is damaged, never a shorter one.
  Manifest full;
  full["a.txt"].Name = "a.txt";
  full["b.txt"].Name = "b.txt";
  const std::string text = ToJson(full);
  for (size_t n = 0; n < text.size(); ++n) {
    EXPECT_NE(ManifestFromJson(text.substr(0, n), &m), ManifestRead::kOk) << n;
  }
  ASSERT_EQ(ManifestFromJson(" \r\n\t" + text + " \r\n\t", &m), ManifestRead::kOk);
  EXPECT_EQ(m, full);
  FTPStructure f;
  EXPECT_FALSE(FromJson("{\"Server\": \"s\"} trailing", &f));
}

TEST(JsonReader, SizesAreBounded) {
  UpdaterStructure u;
  const std::string pad(static_cast<size_t>(kMaxRecordBytes), ' ');
  EXPECT_TRUE(FromJson("{\"URL\": \"x\"}" + pad.substr(14), &u));
  EXPECT_FALSE(FromJson("{\"URL\": \"x\"}" + pad, &u));
  Manifest m;
  std::string why;
  EXPECT_EQ(ManifestFromJson("{}" + std::string(static_cast<size_t>(kMaxManifestBytes) - 1, ' '),
                             &m, &why),
            ManifestRead::kNotJson);
  EXPECT_NE(why.find("larger than"), std::string::npos) << why;

  TempDir dir;
  dir.Write("big.ucf", "{\"URL\": \"x\"}" + pad);
  EXPECT_FALSE(LoadDocument(dir / "big.ucf", &u));
}

TEST(JsonWriter, NeverWritesARepeatedKey) {
  // A character above U+FFFF and the surrogate sequences standing for it are
  // written alike; the reader would refuse both.
  Manifest m;
  m["\xF0\x9F\x98\x80.txt"].Name = "four bytes";
  m["\xED\xA0\xBD\xED\xB8\x80.txt"].Name = "surrogates";
  m["\xE9.txt"].Name = "not UTF-8";
  m["\xC3\xA9.txt"].Name = "e acute";
  Manifest back;
  std::string why;
  ASSERT_EQ(ManifestFromJson(ToJson(m), &back, &why), ManifestRead::kOk) << why;
  EXPECT_EQ(back.size(), 3u);
  EXPECT_EQ(back["\xF0\x9F\x98\x80.txt"].Name, "surrogates");  // the first in the map's order
  // Records have a fixed set of members.
  for (const std::string& doc : {ToJson(FTPStructure{}), ToJson(ProjectStructure{}),
                                 ToJson(UpdaterStructure{}), ToJson(UpdFileStructure{})}) {
    UpdFileStructure e;
    EXPECT_TRUE(FromJson(doc, &e)) << doc;
  }
}

TEST(ManifestReader, TopLevelKinds) {
  Manifest m;
  m["old"] = UpdFileStructure{};
  EXPECT_EQ(ManifestFromJson("not json", &m), ManifestRead::kNotJson);
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(ManifestFromJson("[{\"Name\": \"a\"}]", &m), ManifestRead::kNotObject);
  EXPECT_TRUE(m.empty());

  ASSERT_EQ(ManifestFromJson(R"({"a": {"Name": "a", "Type": "F"}, "b": 5, "c": [1]})", &m),
            ManifestRead::kOk);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m["a"].Name, "a");
  EXPECT_EQ(m["b"], UpdFileStructure{});
  EXPECT_EQ(m["c"], UpdFileStructure{});
}

TEST(Documents, SaveAndLoadOnDisk) {
  TempDir dir;
  UpdaterStructure u;
  u.ProgInfo = "Tool 1.0 (01.02.2026)";
  u.ProgExe = "bin\\tool.exe";
  u.Restart = 1;
  u.URL = "http://127.0.0.1/upd/";
  const std::string path = dir / "Quastorell.ucf";
  ASSERT_TRUE(SaveDocument(path, u));
  std::string raw = dir.Read("Quastorell.ucf");
  EXPECT_EQ(raw, ToJson(u));
  EXPECT_NE(raw.back(), '\n');

  UpdaterStructure back;
  ASSERT_TRUE(LoadDocument(path, &back));
  EXPECT_EQ(back, u);

  // Missing and broken documents fail and change nothing.
  EXPECT_FALSE(LoadDocument(dir / "missing.ucf", &back));
  dir.Write("broken.ucf", "{\"ProgInfo\": ");
  EXPECT_FALSE(LoadDocument(dir / "broken.ucf", &back));
  EXPECT_EQ(back, u);

  Manifest m;
  m["x.txt"].Name = "x.txt";
  ASSERT_TRUE(SaveDocument(dir / "Quastorell.uif", m));
  Manifest mb;
  ASSERT_TRUE(LoadDocument(dir / "Quastorell.uif", &mb));
  EXPECT_EQ(mb, m);
}

TEST(Documents, FailedSaveKeepsThePreviousDocument) {
  TempDir dir;
  ProjectStructure p;
  p.Titel = "First";
  const std::string path = dir / "First.upf";
  ASSERT_TRUE(SaveDocument(path, p));
  // A folder standing where the document goes cannot be replaced.
  ASSERT_TRUE(fs::MakeDirectory(dir / "Blocked.upf"));
  EXPECT_FALSE(SaveDocument(dir / "Blocked.upf", p));
  // Saving into a missing folder fails without leaving anything behind.
  EXPECT_FALSE(SaveDocument(dir / "nofolder\\x.upf", p));
  p.Titel = "Second";
  ASSERT_TRUE(SaveDocument(path, p));
  ProjectStructure back;
  ASSERT_TRUE(LoadDocument(path, &back));
  EXPECT_EQ(back.Titel, "Second");

  std::vector<fs::DirEntry> entries;
  ASSERT_TRUE(fs::ListDirectory(dir.path(), &entries));
  EXPECT_EQ(entries.size(), 2u);  // First.upf and Blocked.upf: no temporaries
}

}  // namespace
}  // namespace quasto
