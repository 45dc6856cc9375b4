#include "builder/settings_store.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "shared/fs.h"
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

TEST(SettingsStore, EmptyOrMalformedFileStartsANewDocument) {
  TempDir dir;
  for (const char* content : {"", "<Registry><Intern>", "not xml at all"}) {
    dir.Write("Quastorell.reg", content);
    SettingsStore s;
    ASSERT_TRUE(s.Open("Quastorel", dir / "Quastorell.reg", ""));
    EXPECT_EQ(s.Read("Intern", "Last", "Project1", "-"), "-");
    s.Write("Intern", "Last", "Project1", "Demo");
    ASSERT_TRUE(s.Save());
    SettingsStore again;
    ASSERT_TRUE(again.Open("Quastorel", dir / "Quastorell.reg", ""));
    EXPECT_EQ(again.Read("Intern", "Last", "Project1", ""), "Demo") << "content: " << content;
  }
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
