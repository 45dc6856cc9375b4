#include "shared/text.h"

#include <gtest/gtest.h>

namespace quasto {
namespace {

TEST(Text, Utf16RoundTripKeepsLoneSurrogates) {
  const std::u16string samples[] = {
      u"plain", u"Gr\u00fc\u00dfe \u20ac", u"\U0001F600 smile",
      std::u16string{u'a', char16_t(0xD800), u'b'},   // lone high surrogate
      std::u16string{char16_t(0xDC00)},               // lone low surrogate
      std::u16string{char16_t(0xDC00), char16_t(0xD800)}};  // reversed pair
  for (const auto& s : samples) EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(s)), s);
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Text, InvalidUtf8BytesAreKept) {
  EXPECT_EQ(Utf8ToUtf16("a\xFFz"), (std::u16string{u'a', char16_t(0xFF), u'z'}));
  EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), (std::u16string{char16_t(0xC0), char16_t(0x80)}));
}

TEST(Text, CesuFormEncodesEachCodeUnitAlone) {
  EXPECT_EQ(Utf8ToCesu8("x\xF0\x9F\x98\x80y"), "x\xED\xA0\xBD\xED\xB8\x80y");
  EXPECT_EQ(Cesu8ToUtf8("x\xED\xA0\xBD\xED\xB8\x80y"), "x\xF0\x9F\x98\x80y");
  // Text without supplementary characters, and stray bytes, pass unchanged.
  for (const char* s : {"", "abc", "\xC3\xA9\xE2\x82\xAC", "\xED\xA0\xBD", "\xFF\xFE"}) {
    EXPECT_EQ(Utf8ToCesu8(s), s);
    EXPECT_EQ(Cesu8ToUtf8(s), s);
  }
}

TEST(Text, Latin1Conversion) {
  EXPECT_EQ(Utf8ToLatin1("Sch\xC3\xB6n \xC3\x9F"), "Sch\xF6n \xDF");
  EXPECT_EQ(Utf8ToLatin1("\xE2\x82\xAC|\xF0\x9F\x98\x80|\xC4\x80"), " | |?");
  EXPECT_EQ(Latin1ToUtf8("\xE4\xFF"), "\xC3\xA4\xC3\xBF");
  EXPECT_EQ(Utf8ToLatin1(Latin1ToUtf8(std::string("\x01\x7F\x80\xFF", 4))),
            std::string("\x01\x7F\x80\xFF", 4));
}

TEST(Text, ControlsAreEscapedNamesStayReadable) {
  // A name that would set a terminal's title, clear its screen and print a
  // line of its own.
  EXPECT_EQ(EscapeControls("a\x1B]0;owned\x07\x1B[2J\rUpdate complete.\n"),
            "a\\x1B]0;owned\\x07\\x1B[2J\\x0DUpdate complete.\\x0A");
  EXPECT_EQ(EscapeControls("del\x7F c1\xC2\x9B" "2J lone\x9B" "2J cut\xE2\x80"),
            "del\\x7F c1\\xC2\\x9B" "2J lone\\x9B" "2J cut\\xE2\\x80");
  const std::string readable =
      "lib\\\xC3\x9C" "bersicht \xD0\x98\xD0\xB2\xF0\x9F\x98\x80 \xC2\xA0.txt";
  EXPECT_EQ(EscapeControls(readable), readable);
}

}  // namespace
}  // namespace quasto
