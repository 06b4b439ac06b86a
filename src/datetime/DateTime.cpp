// The calendar value: validation, the Fliegel and Van Flandern conversions
// between calendar dates and Julian day numbers, shifting and the clock.
#include "qel/datetime/DateTime.h"

#include "datetime/Arithmetic.h"
#include "datetime/Calendar.h"
#include "os/Clock.h"
#include "qel/core/Exception.h"

namespace qel {

namespace {

constexpr std::int32_t kMsPerDay = 86400000;

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
  return calendar::isLeapYear(year);
}

bool CDateTime::IsValidDate(unsigned short year, unsigned short month, unsigned short day) {
  return calendar::isValidDate(year, month, day);
}

bool CDateTime::IsValidTime(unsigned short hour, unsigned short minute, unsigned short second,
                            unsigned short millisecond) {
  return calendar::isValidTime(hour, minute, second, millisecond);
}

void CDateTime::setDate(unsigned short year, unsigned short month, unsigned short day) {
  if (!IsValidDate(year, month, day)) {
    throw InvalidDateException();
  }
  _nJulianDay = calendar::julianDay(year, month, day);
}

void CDateTime::getDate(unsigned short& year, unsigned short& month, unsigned short& day,
                        unsigned short& dayOfWeek) const {
  calendar::dateOf(_nJulianDay, year, month, day, dayOfWeek);
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
