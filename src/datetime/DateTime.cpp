// The calendar value: validation, the Fliegel and Van Flandern conversions
// between calendar dates and Julian day numbers, shifting and the clock.
#include "qel/datetime/DateTime.h"

#include "datetime/Arithmetic.h"
#include "platform/Clock.h"
#include "qel/core/Exception.h"

namespace qel {

namespace {

constexpr std::int32_t kMsPerDay = 86400000;

constexpr unsigned short kLeapMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr unsigned short kCommonMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Builds the value for GetSystemTime and GetLocalTime from the clock's
// fields.  The year is checked before it is narrowed, so that a clock set
// beyond year 65535 cannot wrap into a plausible date.
CDateTime fromClock(std::int32_t error, const platform::CalendarTime& now) {
  if (error != 0) {
    throw OSException(error, L"The system clock cannot be read");
  }
  if (now.year < 1 || now.year > 9999) {
    throw InvalidDateException();
  }
  return CDateTime(static_cast<unsigned short>(now.year), static_cast<unsigned short>(now.month),
                   static_cast<unsigned short>(now.day), static_cast<unsigned short>(now.hour),
                   static_cast<unsigned short>(now.minute), static_cast<unsigned short>(now.second),
                   static_cast<unsigned short>(now.millisecond));
}

}  // namespace

CDateTime::CDateTime() : _bGMT(false), _nJulianDay(0), _nMilliseconds(0), _bDashes(false) {}

CDateTime::CDateTime(unsigned short year, unsigned short month, unsigned short day) : CDateTime() {
  setDate(year, month, day);
}

CDateTime::CDateTime(unsigned short year, unsigned short month, unsigned short day,
                     unsigned short hour, unsigned short minute, unsigned short second,
                     unsigned short millisecond)
    : CDateTime() {
  if (!IsValidDate(year, month, day) || !IsValidTime(hour, minute, second, millisecond)) {
    throw InvalidDateException();
  }
  setDate(year, month, day);
  setTime(hour, minute, second, millisecond);
}

CDateTime CDateTime::GetSystemTime() {
  platform::CalendarTime now{};
  const std::int32_t error = platform::readSystemTime(now);
  CDateTime result = fromClock(error, now);
  result.forceGMT(true);
  return result;
}

CDateTime CDateTime::GetLocalTime() {
  platform::CalendarTime now{};
  const std::int32_t error = platform::readLocalTime(now);
  return fromClock(error, now);
}

bool CDateTime::IsLeapYear(unsigned short year) {
  return year % 4 == 0 && (year % 400 == 0 || year % 100 != 0);
}

bool CDateTime::IsValidDate(unsigned short year, unsigned short month, unsigned short day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) {
    return false;
  }
  const unsigned short* lengths = IsLeapYear(year) ? kLeapMonthDays : kCommonMonthDays;
  return day <= lengths[month - 1];
}

bool CDateTime::IsValidTime(unsigned short hour, unsigned short minute, unsigned short second,
                            unsigned short millisecond) {
  return hour < 24 && minute < 60 && second < 60 && millisecond < 1000;
}

void CDateTime::setDate(unsigned short year, unsigned short month, unsigned short day) {
  if (!IsValidDate(year, month, day)) {
    throw InvalidDateException();
  }
  // For a valid date every intermediate stays far inside 32 bits; only
  // (month - 14) is negative, and its quotient by 12 is -1 for January and
  // February, 0 otherwise.
  const std::int32_t y = year;
  const std::int32_t m = month;
  const std::int32_t d = day;
  const std::int32_t a = (m - 14) / 12;
  const std::int32_t jd = (1461 * (y + 4800 + a)) / 4 + (367 * (m - 2 - 12 * a)) / 12 -
                          (3 * ((y + 4900 + a) / 100)) / 4 + d - 32075;
  _nJulianDay = static_cast<std::uint32_t>(jd);
}

void CDateTime::getDate(unsigned short& year, unsigned short& month, unsigned short& day,
                        unsigned short& dayOfWeek) const {
  using namespace arith;
  // The inverse conversion in signed 32-bit arithmetic.  Julian day numbers
  // of valid dates never come near the limits; for raw numbers set through
  // setJD the products and sums wrap as two's-complement numbers do, and the
  // divisions (all by positive constants) truncate toward zero.
  const std::int32_t jd = toSigned(_nJulianDay);
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
  // The results go into the 16-bit outputs as they come (the invalid value,
  // Julian day 0, gives year -4713 as 60823, month 11, day 24).
  year = toUShort(y);
  month = toUShort(m);
  day = toUShort(d);
  dayOfWeek = toUShort(add(jd, 1) % 7);
}

void CDateTime::setTime(unsigned short hour, unsigned short minute, unsigned short second,
                        unsigned short millisecond) {
  if (!IsValidTime(hour, minute, second, millisecond)) {
    throw InvalidDateException();
  }
  _nMilliseconds =
      ((static_cast<std::uint32_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
}

void CDateTime::getTime(unsigned short& hour, unsigned short& minute, unsigned short& second,
                        unsigned short& millisecond) const {
  // Unsigned division: even the largest raw value gives hour 1193, which
  // fits.
  const std::uint32_t ms = _nMilliseconds;
  hour = static_cast<unsigned short>(ms / 3600000u);
  minute = static_cast<unsigned short>((ms % 3600000u) / 60000u);
  second = static_cast<unsigned short>((ms % 60000u) / 1000u);
  millisecond = static_cast<unsigned short>(ms % 1000u);
}

void CDateTime::adjust(short days, short hours, short minutes, short seconds, short milliseconds) {
  using namespace arith;
  // The time part is a signed 32-bit count of milliseconds; shorts as large
  // as 32767 hours overflow it, and it then wraps as two's-complement
  // arithmetic does.
  const std::int32_t delta =
      add(mul(add(mul(add(mul(hours, 60), minutes), 60), seconds), 1000), milliseconds);
  const std::int32_t whole = delta / kMsPerDay;
  // |days| <= 32768 and |whole| <= 24: the day count cannot overflow.
  std::int32_t dayShift = static_cast<std::int32_t>(days) + whole;
  // |delta - whole * kMsPerDay| < kMsPerDay; the stored milliseconds may be
  // any raw number, so this sum wraps too.
  std::int32_t newMs = add(toSigned(_nMilliseconds), delta - whole * kMsPerDay);
  if (newMs < 0) {
    dayShift -= 1;
    newMs += kMsPerDay;
  }
  if (newMs >= kMsPerDay) {
    dayShift += 1;
    newMs -= kMsPerDay;
  }
  _nMilliseconds = static_cast<std::uint32_t>(newMs);
  // Unsigned, so the day number wraps modulo 2^32.
  _nJulianDay += static_cast<std::uint32_t>(dayShift);
}

}  // namespace qel
