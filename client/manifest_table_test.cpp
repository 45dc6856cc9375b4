#include "client/manifest_table.h"

#include <gtest/gtest.h>

namespace quasto::client {
namespace {

UpdFileStructure Full(const std::string& name) {
  UpdFileStructure e;
  // Texts made without assigning literals: g++ 12 warns falsely
  // (-Wrestrict) about those here.
  e.Path = std::string("lib\\");
  e.Name = name;
  e.Pack.append("{lib}").append(name).append(".uzf");
  e.CRC = -1;
  e.Date = 1700000000;
  e.Size = 5;
  e.Type = std::string(1, 'F');
  e.Attrib = 32;
  e.Flags = 16;
  e.SHA256 = std::string(64, 'a');
  return e;
}

// What the client reads of each entry, in the keys' order, whatever the
// document's order; texts of any length, a megabyte and more among them.
TEST(ManifestTable, HoldsWhatTheClientReadsInKeyOrder) {
  Manifest m;
  m["b"] = Full("b.dll");
  m["a"] = Full("a.dll");
  m["c"] = Full(std::string(3u << 20, 'n'));
  m["d"] = UpdFileStructure{};  // every text empty
  m["a"].Patches = {{std::string(64, 'b'), "{lib}a.1.uzp", 12, std::string(64, 'c')},
                    {"", "", -1, ""}};
  m["c"].Patches = {{std::string(64, 'd'), "{lib}c.uzp", 7, std::string(64, 'e')}};
  m["b"].Version = "1.0";       // not kept: the client never reads it
  m["b"].VDate = 7;
  m["b"].Update = 1;
  // The document with its entries in another order than the keys'.
  const std::string doc = "{" + JsonString("d") + ": " + ToJson(m["d"]) + ", " + JsonString("c") +
                          ": " + ToJson(m["c"]) + ", " + JsonString("a") + ": " + ToJson(m["a"]) +
                          ", " + JsonString("b") + ": " + ToJson(m["b"]) + "}";
  ManifestTable t;
  std::string why;
  ASSERT_EQ(t.Load(doc, &why), ManifestRead::kOk) << why;
  ASSERT_EQ(t.size(), 4u);
  m["b"].Version.clear();
  m["b"].VDate = 0;
  m["b"].Update = 0;
  size_t i = 0;
  for (const auto& [key, entry] : m) {
    UpdFileStructure got;
    t.Entry(i, &got);
    EXPECT_EQ(t.Key(i), key);
    EXPECT_EQ(got, entry) << key;
    ++i;
  }
  ManifestTable from_map(m);
  ASSERT_EQ(from_map.size(), 4u);
  UpdFileStructure got;
  from_map.Entry(2, &got);
  EXPECT_EQ(got.Name.size(), 3u << 20);
}

TEST(ManifestTable, ARepeatedKeyOrADamagedDocumentLeavesItEmpty) {
  ManifestTable t;
  std::string why;
  ASSERT_EQ(t.Load(R"({"x": {"Name": "x"}})", &why), ManifestRead::kOk);
  EXPECT_EQ(t.Load(R"({"b": {}, "a": {"Name": "1"}, "c": {}, "a": {"Name": "2"}})", &why),
            ManifestRead::kNotJson);
  EXPECT_EQ(why, "the key \"a\" is repeated");
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.Load(R"({"a": {}} trailing)", &why), ManifestRead::kNotJson);
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.Load("[]", &why), ManifestRead::kNotObject);
  EXPECT_EQ(t.Load("{}", &why), ManifestRead::kOk);
  EXPECT_EQ(t.size(), 0u);
}

}  // namespace
}  // namespace quasto::client
