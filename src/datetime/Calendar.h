#ifndef QEL_SRC_DATETIME_CALENDAR_H_
#define QEL_SRC_DATETIME_CALENDAR_H_

#include <cstdint>

#include "datetime/Arithmetic.h"

namespace qel {
namespace calendar {

// The calendar rules behind CDateTime, inline so that the text forms, which
// every date field of an archive passes through, need no call for them.

inline bool isLeapYear(unsigned int year) {
  return year % 4 == 0 && (year % 400 == 0 || year % 100 != 0);
}

// 1 <= year <= 9999, 1 <= month <= 12, 1 <= day <= the month's length.
inline bool isValidDate(unsigned int year, unsigned int month, unsigned int day) {
  constexpr unsigned char kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) {
    return false;
  }
  const unsigned int length = kMonthDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
  return day <= length;
}

inline bool isValidTime(unsigned int hour, unsigned int minute, unsigned int second,
                        unsigned int millisecond) {
  return hour < 24 && minute < 60 && second < 60 && millisecond < 1000;
}

// The Julian day number of a valid date: the days since 0000-03-01 (the
// leap day then ends each year, and the months from March on have the
// lengths 31 30 31 30 31 31 30 31 30 31 31 28/29, which (153 m + 2) / 5
// adds up) plus the Julian day number of that day, 1721120.
inline std::uint32_t julianDay(unsigned int year, unsigned int month, unsigned int day) {
  // 1 for January and February, which end the year before (arithmetic
  // rather than a branch, as in validDateOf).
  const auto early = static_cast<std::uint32_t>(month <= 2);
  const std::uint32_t y = year - early;
  const std::uint32_t m = month + 12 * early - 3;
  return 365 * y + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + day - 1 + 1721120u;
}

// Julian day numbers of 0001-01-01 and 9999-12-31, the valid dates.
constexpr std::uint32_t kFirstValidDay = 1721426;
constexpr std::uint32_t kLastValidDay = 5373484;

// The year that begins on March 1 before a Julian day number of a valid
// date, and the day's place in it (0 for March 1).  Days are counted from
// 0000-03-01, so that the leap day ends each year; the count is carried over
// to the Julian calendar (every fourth year a leap year) by adding back the
// leap days that the Gregorian rule drops, three in four centuries, and the
// year and the day then come out of fixed-point products in the manner of
// Neri and Schneider: every step is an unsigned multiplication, shift or
// division by a constant.
inline void yearFromMarchOf(std::uint32_t julianDay, std::uint32_t& yearFromMarch,
                            std::uint32_t& dayOfYear) {
  const std::uint32_t n = julianDay - 1721120u;  // days since 0000-03-01
  const std::uint32_t centuries = (4 * n + 3) / 146097;
  const std::uint32_t julian = n + centuries - centuries / 4;
  const std::uint64_t p = std::uint64_t{2939745} * (4 * julian + 3);
  yearFromMarch = static_cast<std::uint32_t>(p >> 32);
  dayOfYear = static_cast<std::uint32_t>(p) / 2939745 / 4;
}

// The date of a Julian day number of a valid date; month and day also come
// out of fixed-point products.
inline void validDateOf(std::uint32_t julianDay, unsigned int& year, unsigned int& month,
                        unsigned int& day) {
  std::uint32_t yearFromMarch;
  std::uint32_t dayOfYear;
  yearFromMarchOf(julianDay, yearFromMarch, dayOfYear);
  const std::uint32_t n3 = 2141 * dayOfYear + 197913;
  const std::uint32_t monthFromMarch = n3 >> 16;  // 3 (March) to 14 (February)
  // 1 for January and February, in arithmetic rather than a branch, which
  // dates in no particular order would often mispredict.
  const auto nextYear = static_cast<std::uint32_t>(dayOfYear >= 306);
  year = yearFromMarch + nextYear;
  month = monthFromMarch - 12 * nextYear;
  day = (n3 & 0xFFFFu) / 2141 + 1;
}

// For each day of a year counted from March 1 (0 to 365), the month and
// the day as four digits, "0301" to "0229".
struct MonthDayDigits {
  char digits[366][4];
};

constexpr MonthDayDigits makeMonthDayDigits() {
  MonthDayDigits table{};
  constexpr unsigned char kLengths[12] = {31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 31, 29};
  unsigned int dayOfYear = 0;
  for (unsigned int i = 0; i < 12; ++i) {
    const unsigned int month = i < 10 ? i + 3 : i - 9;
    for (unsigned int day = 1; day <= kLengths[i]; ++day, ++dayOfYear) {
      table.digits[dayOfYear][0] = static_cast<char>('0' + month / 10);
      table.digits[dayOfYear][1] = static_cast<char>('0' + month % 10);
      table.digits[dayOfYear][2] = static_cast<char>('0' + day / 10);
      table.digits[dayOfYear][3] = static_cast<char>('0' + day % 10);
    }
  }
  return table;
}

inline constexpr MonthDayDigits kMonthDayDigits = makeMonthDayDigits();

// The year of a Julian day number of a valid date, and its month and day as
// the four digits of the text forms: the day of the year, then the table,
// which spares the two dependent multiplications that give month and day.
inline void validDateDigits(std::uint32_t julianDay, unsigned int& year, char monthDay[4]) {
  std::uint32_t yearFromMarch;
  std::uint32_t dayOfYear;
  yearFromMarchOf(julianDay, yearFromMarch, dayOfYear);
  year = yearFromMarch + static_cast<std::uint32_t>(dayOfYear >= 306);
  for (int i = 0; i < 4; ++i) {
    monthDay[i] = kMonthDayDigits.digits[dayOfYear][i];
  }
}

// The inverse of julianDay for any number: valid dates by validDateOf, any
// other number by the Fliegel and Van Flandern conversion in signed 32-bit
// arithmetic, where the products and sums wrap as two's-complement numbers
// do and the divisions (all by positive constants) truncate toward zero.
// The results go into the 16-bit outputs as they come (Julian day 0 gives
// year -4713 as 60823, month 11, day 24).
inline void dateOf(std::uint32_t julianDay, unsigned short& year, unsigned short& month,
                   unsigned short& day, unsigned short& dayOfWeek) {
  using namespace arith;
  const std::int32_t jd = toSigned(julianDay);
  dayOfWeek = toUShort(add(jd, 1) % 7);
  if (julianDay - kFirstValidDay <= kLastValidDay - kFirstValidDay) {
    unsigned int y, m, d;
    validDateOf(julianDay, y, m, d);
    year = static_cast<unsigned short>(y);
    month = static_cast<unsigned short>(m);
    day = static_cast<unsigned short>(d);
    return;
  }
  std::int32_t l = add(jd, 68569);
  const std::int32_t n = mul(4, l) / 146097;
  l = sub(l, add(mul(146097, n), 3) / 4);
  const std::int32_t i = mul(4000, add(l, 1)) / 1461001;
  l = add(sub(l, mul(1461, i) / 4), 31);
  const std::int32_t j = mul(80, l) / 2447;
  const std::int32_t d = sub(l, mul(2447, j) / 80);
  l = j / 11;
  const std::int32_t m = sub(add(j, 2), mul(12, l));
  const std::int32_t y = add(add(mul(100, sub(n, 49)), i), l);
  year = toUShort(y);
  month = toUShort(m);
  day = toUShort(d);
}

}  // namespace calendar
}  // namespace qel

#endif  // QEL_SRC_DATETIME_CALENDAR_H_
