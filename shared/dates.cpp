#include "shared/dates.h"

#include <cstdio>

namespace quasto {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return kDays[m - 1];
}

}  // namespace

int32_t DateValueFromCivil(const CivilTime& t) {
  int64_t days = DaysFromCivil(t.year, t.month, t.day);
  return static_cast<int32_t>(days * 86400 + t.hour * 3600 + t.minute * 60 + t.second);
}

CivilTime CivilFromDateValue(int32_t value) {
  int64_t v = value;
  int64_t days = v >= 0 ? v / 86400 : (v - 86399) / 86400;
  int64_t secs = v - days * 86400;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  CivilTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2));
  t.hour = static_cast<int>(secs / 3600);
  t.minute = static_cast<int>(secs / 60 % 60);
  t.second = static_cast<int>(secs % 60);
  return t;
}

std::string FormatDate(int32_t value, bool two_digit_year) {
  CivilTime t = CivilFromDateValue(value);
  char buf[32];
  if (two_digit_year) {
    std::snprintf(buf, sizeof(buf), "%02d.%02d.%02d", t.day, t.month, t.year % 100);
  } else {
    std::snprintf(buf, sizeof(buf), "%02d.%02d.%04d", t.day, t.month, t.year);
  }
  return buf;
}

bool ParseDate(const std::string& text, int32_t* value) {
  int d, m, y;
  char tail;
  if (std::sscanf(text.c_str(), "%2d.%2d.%4d%c", &d, &m, &y, &tail) != 3) return false;
  if (y < 1902 || y > 2037 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  *value = DateValueFromCivil({y, m, d, 0, 0, 0});
  return true;
}

}  // namespace quasto
