#include "client/client_text.h"

#include <gtest/gtest.h>

namespace quasto::client {
namespace {

TEST(SizeText, Examples) {
  EXPECT_EQ(SizeText(512), "0.50 KB");
  EXPECT_EQ(SizeText(1536), "1.50 KB");
  EXPECT_EQ(SizeText(10240), "10 KB");
  EXPECT_EQ(SizeText(15872), "15.5 KB");
  EXPECT_EQ(SizeText(1048576), "1 MB");
  EXPECT_EQ(SizeText(0), "0 KB");
  EXPECT_EQ(SizeText(1023.0f * 1024), "1023 KB");
  EXPECT_EQ(SizeText(1024.0f * 1024), "1 MB");
  EXPECT_EQ(SizeText(3048), "2.98 KB");
  // A first decimal of 0 drops all decimals, even when a later one is not 0.
  EXPECT_EQ(SizeText(1.05f * 1024), "1 KB");
  EXPECT_EQ(SizeText(2.5f * 1024 * 1024 * 1024), "2.50 GB");
  EXPECT_EQ(SizeText(150.0f * 1024 * 1024), "150 MB");
}

TEST(FormatByteSize, Examples) {
  EXPECT_EQ(FormatByteSize(0, 2), "0 Byte");
  EXPECT_EQ(FormatByteSize(1023, 2), "1023 Byte");
  EXPECT_EQ(FormatByteSize(1024, 2), "1.00 KB");
  EXPECT_EQ(FormatByteSize(1536, 2), "1.50 KB");
  EXPECT_EQ(FormatByteSize(5242880, 2), "5.00 MB");
  EXPECT_EQ(FormatByteSize(1099511627776.0, 2), "1.00 TB");
  EXPECT_EQ(FormatByteSize(3.0 * 1024 * 1024 * 1024, 1), "3.0 GB");
  EXPECT_EQ(FormatByteSize(-1, 2), "0 Byte");
}

TEST(ProgressTemplate, PlaceholdersInOrder) {
  EXPECT_EQ(FillProgressTemplate("{F} ( {P}% )", "50", "1.00 KB", "Tool.exe"), "Tool.exe ( 50% )");
  // {F} is replaced last, so a name holding "{P}" shows literally.
  EXPECT_EQ(FillProgressTemplate("{F} ( {P}% ) {S}", "7", "0 Byte", "a{P}{S}.txt"),
            "a{P}{S}.txt ( 7% ) 0 Byte");
  EXPECT_EQ(FillProgressTemplate("{P}{P}", "1", "", ""), "11");
}

TEST(PercentEncode, PackedNames) {
  EXPECT_EQ(PercentEncode("setup[exe].uzf"), "setup%5Bexe%5D.uzf");
  EXPECT_EQ(PercentEncode("{langde}text[xml].uzf"), "%7Blangde%7Dtext%5Bxml%5D.uzf");
  EXPECT_EQ(PercentEncode("\xC3\x9C" "bersicht r\xC3\xA4ume[txt].uzf"),
            "%C3%9Cbersicht%20r%C3%A4ume%5Btxt%5D.uzf");
  EXPECT_EQ(PercentEncode("a-b_c.d~e"), "a-b_c.d~e");
  EXPECT_EQ(PercentEncode("%/?#&+"), "%25%2F%3F%23%26%2B");
}

}  // namespace
}  // namespace quasto::client
