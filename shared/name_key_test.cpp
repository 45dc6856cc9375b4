#include "shared/name_key.h"

#include <gtest/gtest.h>

namespace quasto {
namespace {

TEST(WindowsNameKey, OneFileWhateverTheSpelling) {
  const std::string key = WindowsNameKey("docs\\ReadMe.txt");
  for (const char* same : {"docs\\readme.txt", "DOCS\\README.TXT", "docs/ReadMe.txt",
                           "docs\\readme.txt.", "docs\\readme.txt ", "docs\\readme.txt. .",
                           "Docs. \\README.txt"}) {
    EXPECT_EQ(WindowsNameKey(same), key) << same;
  }
  for (const char* other : {"docs\\readme.txt.bak", "docs\\readme_txt", "doc\\readme.txt",
                            "docs\\.readme.txt", "docs\\read me.txt", "docsreadme.txt"}) {
    EXPECT_NE(WindowsNameKey(other), key) << other;
  }
}

TEST(WindowsNameKey, ComponentsOfDotsAndBlanksStayAsTheyAre) {
  EXPECT_EQ(WindowsNameKey(".."), "..");
  EXPECT_EQ(WindowsNameKey("a\\...\\b"), "A\\...\\B");
  EXPECT_EQ(WindowsNameKey(" "), " ");
  EXPECT_EQ(WindowsNameKey(""), "");
  EXPECT_EQ(WindowsNameKey("a\\"), "A\\");  // a folder keeps its separator
  EXPECT_NE(WindowsNameKey(".x"), WindowsNameKey("x"));  // leading dots count
}

TEST(WindowsNameKey, LettersBeyondAsciiFoldAsWindowsFoldsThem) {
  EXPECT_EQ(WindowsNameKey("\xc3\xbc" "bersicht R\xc3\xa4ume.txt"),  // Übersicht Räume
            WindowsNameKey("\xc3\x9c" "BERSICHT R\xc3\x84UME.TXT"));
  EXPECT_EQ(WindowsNameKey("\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80"),  // пример
            WindowsNameKey("\xd0\x9f\xd0\xa0\xd0\x98\xd0\x9c\xd0\x95\xd0\xa0"));
  EXPECT_EQ(WindowsNameKey("\xce\xb1\xce\xb2"), WindowsNameKey("\xce\x91\xce\x92"));  // αβ
  // Windows keeps these apart: ß has no single uppercase letter, and the
  // dotless i, the micro sign and the final sigma do not map back.
  EXPECT_NE(WindowsNameKey("stra\xc3\x9f" "e"), WindowsNameKey("STRASSE"));
  EXPECT_NE(WindowsNameKey("\xc4\xb1"), WindowsNameKey("I"));
  EXPECT_NE(WindowsNameKey("\xc2\xb5"), WindowsNameKey("\xce\x9c"));
  EXPECT_NE(WindowsNameKey("\xcf\x82"), WindowsNameKey("\xce\xa3"));
  EXPECT_EQ(UpcaseForNames(u'\u01C6'), u'\u01C4');  // dž -> DŽ, but the title form stays
  EXPECT_EQ(UpcaseForNames(u'\u01C5'), u'\u01C5');
  EXPECT_EQ(UpcaseForNames(u'\u1F80'), u'\u1F88');
  // Beyond the Basic Multilingual Plane nothing is folded: Deseret stays.
  EXPECT_NE(WindowsNameKey("\xf0\x90\x90\xa8"), WindowsNameKey("\xf0\x90\x90\x80"));
  EXPECT_EQ(WindowsNameKey("\xf0\x90\x90\xa8"), "\xf0\x90\x90\xa8");
}

TEST(WindowsNameKey, BytesThatAreNotUtf8SurviveAndStillFold) {
  EXPECT_EQ(WindowsNameKey("a\xff"), WindowsNameKey("A\xff"));
  EXPECT_NE(WindowsNameKey("a\xff"), WindowsNameKey("a"));
}

}  // namespace
}  // namespace quasto
