#include "shared/dates.h"

#include <gtest/gtest.h>

namespace quasto {
namespace {

TEST(Dates, CivilConversionBothWays) {
  EXPECT_EQ(DateValueFromCivil({1970, 1, 1, 0, 0, 0}), 0);
  EXPECT_EQ(DateValueFromCivil({2026, 12, 6, 0, 0, 0}), 1796515200);
  EXPECT_EQ(DateValueFromCivil({1969, 12, 31, 23, 59, 59}), -1);
  EXPECT_EQ(DateValueFromCivil({2038, 1, 19, 3, 14, 7}), INT32_MAX);
  for (int32_t v : {0, -1, 86399, 86400, 951782400 /* 2000-02-29 */, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(DateValueFromCivil(CivilFromDateValue(v)), v) << v;
  }
  CivilTime t = CivilFromDateValue(951782400 + 3723);
  EXPECT_EQ(t.year, 2000);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 1);
  EXPECT_EQ(t.minute, 2);
  EXPECT_EQ(t.second, 3);
}

TEST(Dates, FormatAndParse) {
  const int32_t v = DateValueFromCivil({2026, 12, 6, 15, 0, 0});
  EXPECT_EQ(FormatDate(v), "06.12.2026");
  EXPECT_EQ(FormatDate(v, true), "06.12.26");
  int32_t parsed = 0;
  ASSERT_TRUE(ParseDate("6.12.2026", &parsed));
  EXPECT_EQ(parsed, DateValueFromCivil({2026, 12, 6, 0, 0, 0}));
  ASSERT_TRUE(ParseDate("29.02.2024", &parsed));
  for (const char* bad : {"", "29.02.2023", "31.04.2026", "1.13.2026", "0.1.2026", "01.01.2026x",
                          "01-01-2026", "1.1.2040"}) {
    EXPECT_FALSE(ParseDate(bad, &parsed)) << bad;
  }
}

}  // namespace
}  // namespace quasto
