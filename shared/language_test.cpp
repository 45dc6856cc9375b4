#include "shared/language.h"

#include <gtest/gtest.h>

#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto {
namespace {

using testing::TempDir;

constexpr uint16_t kGerman = 0x0407;
constexpr uint16_t kEnglish = 0x0409;

TEST(LanguageTable, BuiltInTextsAreByteExact) {
  LanguageTable t;
  t.SetDefaultTexts();
  EXPECT_EQ(t.size(), 29u);
  EXPECT_EQ(t.LanguageText("Files2Upd"), "Dateien zur Aktualisierung");
  EXPECT_EQ(t.LanguageText("Close"), "Schlie\xDF" "en");
  EXPECT_EQ(t.LanguageText("NoInternet"),
            "Keine Internetverbindung verf\xFCgbar.\nAktualisierung wird abgebrochen.");
  EXPECT_EQ(t.LanguageText("ErrorURL"),
            "Ung\xFCltige Internetadresse (URL).\n\xDC" "berpr\xFC" "fen Sie 'Quastorel.ucf'!");
  EXPECT_EQ(t.LanguageText("MsgProgram"), "Programm wird ausgef\xFChrt.");
  EXPECT_EQ(t.LanguageText("ErrDownload"), "\xDC" "bertragungsfehler beim Download");
  EXPECT_EQ(t.LanguageText("ShowHistory"), "\xC4nderungen");
  EXPECT_EQ(t.LanguageText("CloseProg"),
            "Sie m\xFCssen das Programm vor dem Update schlie\xDF" "en.");
  EXPECT_EQ(t.LanguageText("MsgLoadUpdInfo"), "Lade Update-Informationen .....");
  EXPECT_EQ(t.LanguageText("errorurl"), "");
  EXPECT_EQ(t.LanguageText("Unknown"), "");
}

TEST(LanguageTable, LanguageChoiceUsesThePrimaryLanguage) {
  const std::string xml =
      "<L><English><Update>Update</Update></English><German><Update>DE</Update></German></L>";
  // de-DE, -CH, -AT, -LU, -LI; only the low 9 bits count, so 0x0207 is German too.
  for (uint16_t id : {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407, 0x0207}) {
    LanguageTable t;
    t.LoadLanguageText(xml, id);
    EXPECT_EQ(t.LanguageText("Update"), "DE") << std::hex << id;
  }
  for (uint16_t id : {0x0409, 0x040C, 0x0000, 0x0C0A}) {
    LanguageTable t;
    t.LoadLanguageText(xml, id);
    EXPECT_EQ(t.LanguageText("Update"), "Update") << std::hex << id;
  }
}

TEST(LanguageTable, EnglishSystemWithOnlyGermanElementKeepsBuiltIns) {
  LanguageTable t;
  t.LoadLanguageText("<R><German><Update>Los</Update></German></R>", kEnglish);
  EXPECT_EQ(t.LanguageText("Update"), "Aktualisieren");
}

TEST(LanguageTable, FileOverridesAndAddsKeys) {
  LanguageTable t;
  t.LoadLanguageText(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<Root>\n"
      "  <English><Update>Update now</Update><Extra>x &amp; y</Extra>"
      "<Update>Second wins</Update><Files2Upd></Files2Upd></English>\n"
      "  <English><Update>Ignored: only the first element counts</Update></English>\n"
      "</Root>",
      kEnglish);
  EXPECT_EQ(t.LanguageText("Update"), "Second wins");
  EXPECT_EQ(t.LanguageText("Extra"), "x & y");
  EXPECT_EQ(t.LanguageText("Files2Upd"), "");  // an empty entry empties the text
  EXPECT_EQ(t.LanguageText("CloseProg"), "Sie m\xFCssen das Programm vor dem Update schlie\xDF" "en.");
}

TEST(LanguageTable, SingleByteConversionAndLineBreaks) {
  LanguageTable t;
  t.LoadLanguageText(
      "<R><English><A>\xC3\xA4\xC3\xBF\xC4\x80</A><B>\xE2\x82\xAC \xF0\x9F\x98\x80!</B>"
      "<C>one\ntwo</C></English></R>",
      kEnglish);
  EXPECT_EQ(t.LanguageText("A"), "\xE4\xFF?");
  EXPECT_EQ(t.LanguageText("B"), "   !");
  EXPECT_EQ(t.LanguageText("C"), "one\ntwo");

  LanguageTable crlf;
  crlf.LoadLanguageText("<R>\r\n<English>\r\n<C>one\r\ntwo</C>\r\n</English>\r\n</R>\r\n",
                        kEnglish);
  EXPECT_EQ(crlf.LanguageText("C"), "one\r\ntwo");
}

TEST(LanguageTable, BadFilesLeaveTheBuiltInTexts) {
  for (const char* xml : {"", "   ", "not xml", "<R><English><Update>X</Update></English>",
                          "<R><English><Update>X</Updat></English></R>",
                          "<R><English><Update>X</Update></English></R><second/>", "<R/>"}) {
    LanguageTable t;
    t.LoadLanguageText(xml, kEnglish);
    EXPECT_EQ(t.LanguageText("Update"), "Aktualisieren") << xml;
    EXPECT_EQ(t.size(), 29u) << xml;
  }
}

TEST(LanguageTable, LoadFromFile) {
  TempDir dir;
  LanguageTable t;
  t.LoadLanguage(dir / "missing.lng", kEnglish);
  EXPECT_EQ(t.LanguageText("Update"), "Aktualisieren");

  dir.Write("Quastorell.lng", "<R><German><Update>Jetzt</Update></German></R>");
  t.LoadLanguage(dir / "Quastorell.lng", kGerman);
  EXPECT_EQ(t.LanguageText("Update"), "Jetzt");
  // Loading again starts from the built-in texts.
  t.Set("Update", "changed");
  t.LoadLanguage(dir / "missing.lng", kGerman);
  EXPECT_EQ(t.LanguageText("Update"), "Aktualisieren");
}

TEST(LanguageTable, ShippedFileHasEveryKeyInBothLanguages) {
  // The build copies the file next to the test programs.
  std::string exe = fs::ExecutablePath();
  std::string path = exe.substr(0, exe.find_last_of("\\/") + 1) + kLanguageFile;
  std::string xml;
  ASSERT_TRUE(fs::ReadFile(path, &xml)) << path;

  LanguageTable defaults;
  defaults.SetDefaultTexts();
  LanguageTable german, english;
  german.LoadLanguageText(xml, kGerman);
  english.LoadLanguageText(xml, kEnglish);
  EXPECT_EQ(german.size(), 29u);
  EXPECT_EQ(english.size(), 29u);
  for (const char* key : {"Files2Upd", "Update", "Close", "Login", "Password", "Save", "OK",
                          "AbortDownload", "ProgRuns", "NoInternet", "ErrorURL", "FrameDownload",
                          "FrameAnalyse", "FrameUpdate", "MsgLoadUpdInfo", "MsgDownload",
                          "MsgReadUpdInfo", "MsgAnalysis", "MsgUpdate", "MsgNoUpdate",
                          "MsgProgram", "ErrUpdate", "ErrDownload", "ShowHistory", "CloseProg",
                          "ErrSignature", "ErrRun", "UpdateRuns", "ErrManifest"}) {
    EXPECT_EQ(german.LanguageText(key), defaults.LanguageText(key)) << key;
    EXPECT_FALSE(english.LanguageText(key).empty()) << key;
  }
  EXPECT_EQ(english.LanguageText("Update"), "Update");
  EXPECT_NE(english.LanguageText("CloseProg"), defaults.LanguageText("CloseProg"));
}

TEST(LanguageTable, LocaleVariables) {
  EXPECT_EQ(LanguageIdFromLocale("de_DE.UTF-8", nullptr, nullptr), kGerman);
  EXPECT_EQ(LanguageIdFromLocale("", "de_AT", "en_US"), kGerman);
  EXPECT_EQ(LanguageIdFromLocale("C", "de_DE", "de_DE"), kEnglish);
  EXPECT_EQ(LanguageIdFromLocale(nullptr, nullptr, "de"), kGerman);
  EXPECT_EQ(LanguageIdFromLocale(nullptr, nullptr, nullptr), kEnglish);
  EXPECT_EQ(LanguageIdFromLocale("fr_FR", nullptr, "de_DE"), kEnglish);
}

}  // namespace
}  // namespace quasto
