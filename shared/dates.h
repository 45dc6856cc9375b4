// Date values: seconds since 1970-01-01 00:00:00 of local wall-clock time,
// signed 32-bit. They carry no time zone, so converting them to calendar
// fields is plain arithmetic.
#ifndef QUASTO_SHARED_DATES_H_
#define QUASTO_SHARED_DATES_H_

#include <cstdint>
#include <string>

namespace quasto {

struct CivilTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

int32_t DateValueFromCivil(const CivilTime& t);
CivilTime CivilFromDateValue(int32_t value);

// "dd.mm.yyyy", or "dd.mm.yy" when two_digit_year.
std::string FormatDate(int32_t value, bool two_digit_year = false);

// Parses "d.m.yyyy" (one or two digits for day and month); false when the
// text is not a valid calendar date.
bool ParseDate(const std::string& text, int32_t* value);

}  // namespace quasto

#endif  // QUASTO_SHARED_DATES_H_
