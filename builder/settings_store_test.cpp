#include "builder/settings_store.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/limits.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

TEST(SettingPath, JoinsTheNonEmptyParts) {
  EXPECT_EQ(SettingPath("Intern", "Last", "Project1"), "Intern/Last/Project1");
  EXPECT_EQ(SettingPath("Intern", "", "Key"), "Intern/Key");
  EXPECT_EQ(SettingPath("Intern", "Last", ""), "Intern/Last");
  EXPECT_EQ(SettingPath("", "A\\B", "K"), "A/B/K");
  EXPECT_EQ(SettingPath("", "", ""), "");
}

TEST(EscapeSetting, FixedReplacementOrder) {
  EXPECT_EQ(EscapeSetting("C:\\A & B"), "C:\\A &amp; B");
  EXPECT_EQ(EscapeSetting("<'\">\xC2\x80"), "&lt;&apos;&quot;&gt;&#128");
  EXPECT_EQ(UnescapeSetting(EscapeSetting("a<b>&'c\"\xC2\x80")), "a<b>&'c\"\xC2\x80");
  // Unescaping starts with "&amp;", so an entity text in a value does not
  // survive: a known property of the stored form.
  EXPECT_EQ(UnescapeSetting(EscapeSetting("&lt;")), "<");
}

TEST(SettingsStore, AmpersandValueIsDoubleEscapedInTheFileAndReadBack) {
  TempDir dir;
  SettingsStore s;
  ASSERT_TRUE(s.Open("Quastorel", dir / "Quastorell.reg", ""));
  s.Write("Intern", "Last", "Source", "C:\\A & B");
  EXPECT_EQ(s.Read("Intern", "Last", "Source", "C:\\"), "C:\\A & B");
  ASSERT_TRUE(s.Save());
  EXPECT_EQ(dir.Read("Quastorell.reg"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<Registry>\n"
            "  <Intern>\n"
            "    <Last>\n"
            "      <Source>C:\\A &amp;amp; B</Source>\n"
            "    </Last>\n"
            "  </Intern>\n"
            "</Registry>\n");
  SettingsStore again;
  ASSERT_TRUE(again.Open("Quastorel", dir / "Quastorell.reg", ""));
  EXPECT_EQ(again.Read("Intern", "Last", "Source", ""), "C:\\A & B");
}

TEST(SettingsStore, ReadDefaultsAndAddressing) {
  TempDir dir;
  SettingsStore s;
  EXPECT_EQ(s.Read("Intern", "Last", "Project1", "dflt"), "dflt") << "store not open";
  s.Write("Intern", "Last", "Project1", "x");  // ignored while closed
  ASSERT_TRUE(s.Open("Quastorel", dir / "r.reg", ""));
  EXPECT_EQ(s.Read("Intern", "Last", "Project1", "dflt"), "dflt");
  s.Write("Intern", "Last", "Project1", "");
  EXPECT_EQ(s.Read("Intern", "Last", "Project1", "dflt"), "dflt") << "empty value";
  s.Write("Intern", "Last", "", "section text");
  EXPECT_EQ(s.Read("Intern", "Last", "", ""), "section text") << "empty key addresses Last";
  EXPECT_EQ(s.Read("Intern", "Last", "Project1", "dflt"), "dflt");
  s.Write("", "", "", "nothing");
  s.Write("Intern", "Last", "bad name", "v");  // no valid element name
  s.Write("Intern", "Ä\\Sub", "Key", "ü");
  EXPECT_EQ(s.Read("Intern", "Ä/Sub", "Key", ""), "ü");
  std::string deep_section;
  for (int i = 0; i < kMaxXmlDepth; ++i) deep_section += "S\\";
  s.Write("Intern", deep_section, "Key", "too deep to read back");
  EXPECT_EQ(s.Read("Intern", deep_section, "Key", "none"), "none");
  ASSERT_TRUE(s.Save());
  SettingsStore again;
  ASSERT_TRUE(again.Open("Quastorel", dir / "r.reg", ""));
  EXPECT_EQ(again.Read("Intern", "Last", "", ""), "section text");
  EXPECT_EQ(again.Read("Intern", "Ä\\Sub", "Key", ""), "ü");
  EXPECT_EQ(again.Read("Intern", "Last", "bad name", "none"), "none");
}

TEST(SettingsStore, ValuesXmlCannotHoldNeverSpoilTheFile) {
  TempDir dir;
  SettingsStore s;
  ASSERT_TRUE(s.Open("Q", dir / "r.reg", ""));
  s.Write("Intern", "Last", "Source", std::string("a\x01" "b\xFF\xED\xA0\x80" "c\td", 10));
  s.Write("Intern", "Last", "Target", "C:\\Zielordner\\Ä\xF0\x9F\x98\x80\\");
  ASSERT_TRUE(s.Save());
  SettingsStore again;
  ASSERT_TRUE(again.Open("Q", dir / "r.reg", ""));
  EXPECT_EQ(again.Read("Intern", "Last", "Source", ""),
            "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "c\td");
  EXPECT_EQ(again.Read("Intern", "Last", "Target", ""), "C:\\Zielordner\\Ä\xF0\x9F\x98\x80\\");
}

TEST(SettingsStore, EmptyFileStartsANewDocument) {
  TempDir dir;
  dir.Write("Quastorell.reg", "");
  SettingsStore s;
  ASSERT_TRUE(s.Open("Quastorel", dir / "Quastorell.reg", ""));
  EXPECT_EQ(s.damaged_text(), "") << "nothing in it to lose";
  EXPECT_EQ(s.Read("Intern", "Last", "Project1", "-"), "-");
  s.Write("Intern", "Last", "Project1", "Demo");
  ASSERT_TRUE(s.Save());
  SettingsStore again;
  ASSERT_TRUE(again.Open("Quastorel", dir / "Quastorell.reg", ""));
  EXPECT_EQ(again.Read("Intern", "Last", "Project1", ""), "Demo");
  EXPECT_EQ(FileExists(dir / "Quastorell.reg.bad"), 0);
}

// A file that cannot be read is kept as "name.bad" (then "name.1.bad", ...)
// before the new document is written: what it held is never lost.
TEST(SettingsStore, DamagedFileIsSetAsideBeforeANewOneIsWritten) {
  TempDir dir;
  const std::string good =
      "<?xml version=\"1.0\"?>\n<Registry><Intern><Last><Project1>Demo</Project1>"
      "<Source>C:\\Rel\\</Source></Last></Intern></Registry>\n";
  std::string nested;
  for (int i = 0; i < kMaxXmlDepth + 1; ++i) nested += "<a>";
  for (int i = 0; i < kMaxXmlDepth + 1; ++i) nested += "</a>";
  const std::vector<std::string> damaged = {
      good.substr(0, good.size() - 20),                        // truncated
      good.substr(0, 40) + good.substr(41),                     // a byte removed
      "not xml at all",
      nested,                                                   // too deep
      "<!DOCTYPE r [<!ENTITY a \"aaaaaaaa\">]><Registry>&a;</Registry>",
      "<Registry>" + std::string(static_cast<size_t>(kMaxSettingsBytes), 'x') + "</Registry>",
  };
  for (size_t i = 0; i < damaged.size(); ++i) {
    dir.Write("Quastorell.reg", damaged[i]);
    SettingsStore s;
    ASSERT_TRUE(s.Open("Quastorel", dir / "Quastorell.reg", ""));
    const std::string aside = i == 0 ? "Quastorell.reg.bad"
                                     : "Quastorell.reg." + std::to_string(i) + ".bad";
    EXPECT_EQ(dir.Read(aside), damaged[i]) << i;
    EXPECT_EQ(FileExists(dir / "Quastorell.reg"), 0) << i;
    EXPECT_EQ(s.damaged_text(), "Die Datei \"" + fs::NativePath(dir / "Quastorell.reg") +
                                    "\" ist beschädigt und wurde nicht gelesen.\nSie bleibt als \"" +
                                    aside + "\" erhalten; an ihrer Stelle wird eine neue angelegt.")
        << i;
    s.Write("Intern", "Last", "Project1", "Neu");
    ASSERT_TRUE(s.Save()) << i;
    SettingsStore again;
    ASSERT_TRUE(again.Open("Quastorel", dir / "Quastorell.reg", ""));
    EXPECT_EQ(again.Read("Intern", "Last", "Project1", ""), "Neu") << i;
    EXPECT_EQ(again.damaged_text(), "");
  }
}

// A file nested far deeper than any the builder writes is refused without
// recursing into it, and a tree of that depth built in memory is written
// and destroyed without recursion too (ASan's stack would catch it).
TEST(XmlDoc, DepthAndSizeBounds) {
  std::string nested;
  for (int i = 0; i < 200000; ++i) nested += "<a>";
  for (int i = 0; i < 200000; ++i) nested += "</a>";
  XmlElement root;
  EXPECT_FALSE(ParseXml(nested, &root));
  EXPECT_TRUE(root.name.empty()) << "the element is left as it was";

  std::string fits;
  for (int i = 0; i < kMaxXmlDepth; ++i) fits += "<a>";
  fits += "x";
  for (int i = 0; i < kMaxXmlDepth; ++i) fits += "</a>";
  ASSERT_TRUE(ParseXml(fits, &root));
  XmlElement reread;
  ASSERT_TRUE(ParseXml(WriteXml(root), &reread));
  EXPECT_EQ(WriteXml(reread), WriteXml(root));

  {
    // Written without recursion (indented, so its text grows with the
    // square of the depth: a few thousand levels show it)...
    XmlElement deep;
    deep.name = "r";
    XmlElement* e = &deep;
    for (int i = 0; i < 3000; ++i) e = e->AddChild("a");
    e->text = "end";
    const std::string text = WriteXml(deep);
    EXPECT_NE(text.find(std::string(3000 * 2, ' ') + "<a>end</a>\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 5), "</r>\n");
    // ...and destroyed without recursion, however deep.
    for (int i = 0; i < 200000; ++i) e = e->AddChild("a");
    XmlElement moved;
    moved = std::move(deep);
    moved = XmlElement();
  }

  EXPECT_FALSE(ParseXml("<!DOCTYPE r><r/>", &root)) << "no document type declarations";
  EXPECT_TRUE(ParseXml("<r>" + std::string(static_cast<size_t>(kMaxSettingsBytes) - 7, 'x') + "</r>",
                       &root));
  EXPECT_FALSE(ParseXml("<r>" + std::string(static_cast<size_t>(kMaxSettingsBytes) - 6, 'x') + "</r>",
                        &root));
}

TEST(SettingsStore, KeepsForeignElementsAndAttributes) {
  TempDir dir;
  dir.Write("r.reg",
            "<?xml version=\"1.0\"?>\n<Registry><Other a=\"1 &amp; 2\">text<X/></Other>"
            "<Intern><Last><Project1>Old</Project1></Last></Intern></Registry>");
  SettingsStore s;
  ASSERT_TRUE(s.Open("Quastorel", dir / "r.reg", ""));
  EXPECT_EQ(s.Read("Intern", "Last", "Project1", ""), "Old");
  s.Write("Intern", "Last", "Project1", "New");
  ASSERT_TRUE(s.Save());
  EXPECT_EQ(dir.Read("r.reg"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Registry>\n"
            "  <Other a=\"1 &amp; 2\">text\n    <X/>\n  </Other>\n"
            "  <Intern>\n    <Last>\n      <Project1>New</Project1>\n    </Last>\n  </Intern>\n"
            "</Registry>\n");
}

TEST(SettingsStore, FileWithoutFolderLandsInThePerUserFolder) {
  TempDir dir;
  const std::string old = fs::GetEnv("APPDATA");
  std::string appdata = dir.path();
  appdata.pop_back();
#ifdef _WIN32
  _putenv_s("APPDATA", appdata.c_str());
#else
  setenv("APPDATA", appdata.c_str(), 1);
#endif
  EXPECT_EQ(AppDataFolder("Quastorel", "Firma"), appdata + "\\Firma\\Quastorel\\");
  SettingsStore s;
  ASSERT_TRUE(s.Open("Quastorel", "Quastorell.reg", ""));
  EXPECT_EQ(s.path(), appdata + "\\Quastorel\\Quastorell.reg");
  s.Write("A", "", "B", "c");
  EXPECT_TRUE(s.Save());
  EXPECT_GT(fs::FileSize(dir / "Quastorel\\Quastorell.reg"), 0);
#ifdef _WIN32
  _putenv_s("APPDATA", old.c_str());
#else
  setenv("APPDATA", old.c_str(), 1);
#endif
}

TEST(SettingsStore, SaveWithoutDocumentFails) {
  SettingsStore s;
  EXPECT_FALSE(s.Save());
  TempDir dir;
  ASSERT_TRUE(s.Open("Q", dir / "no\\such\\folder\\r.reg", ""));
  EXPECT_FALSE(s.Save()) << "folder missing";
  EXPECT_FALSE(s.Save()) << "document released by the first save";
}

}  // namespace
}  // namespace quasto
