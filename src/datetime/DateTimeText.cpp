// The text forms of a date-time value: writing and reading the compact
// ISO 8601 layouts.  Every date field of an archive passes through here, so
// the digits are formatted and parsed directly into the fixed layouts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/Codecs.h"
#include "core/Compiler.h"
#include "core/Text.h"
#include "datetime/Calendar.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/datetime/DateTime.h"

namespace qel {

namespace {

// The longest text: year, month and day may reach five digits and the hour
// four for raw values set through setJD and setms, plus T, the minutes, the
// seconds, the point, the milliseconds and Z: 29 characters.
constexpr std::size_t kMaxText = 32;

// "00" to "99", two characters each.
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char* putPair(char* out, unsigned int value) {
  out[0] = kPairs[2 * value];
  out[1] = kPairs[2 * value + 1];
  return out + 2;
}

// Writes value in decimal, zero-padded to at least width digits (as %0Nd
// does), and returns the position after it.
char* putLongNumber(char* out, std::uint32_t value, int width) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < width) {
    *out++ = '0';
    --width;
  }
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

// The same for the field widths of the text forms, with the usual values
// (those of valid dates and times) written a pair of digits at a time.
inline char* putNumber(char* out, std::uint32_t value, int width) {
  if (width == 2 && value < 100) {
    return putPair(out, value);
  }
  if (width == 4 && value < 10000) {
    return putPair(putPair(out, value / 100), value % 100);
  }
  if (width == 3 && value < 1000) {
    *out++ = static_cast<char>('0' + value / 100);
    return putPair(out, value % 100);
  }
  return putLongNumber(out, value, width);
}

// Writes the text form of value into buffer (kMaxText characters, all of
// them ASCII) and returns its length, 0 for an invalid value.
std::size_t formatText(const CDateTime& value, bool withMilliseconds, char* buffer) {
  if (!value.isValid()) {
    return 0;
  }
  // Unsigned division: even the largest raw value gives hour 1193.
  const std::uint32_t ms = value.getms();
  const std::uint32_t seconds = ms / 1000u;
  const std::uint32_t millisecond = ms - seconds * 1000u;
  const std::uint32_t hour = seconds / 3600u;
  const std::uint32_t secondOfHour = seconds - hour * 3600u;
  const std::uint32_t minute = secondOfHour / 60u;
  const std::uint32_t second = secondOfHour - minute * 60u;

  char* out = buffer;
  // A time of 00:00:00 is a date-only value, whatever the milliseconds and
  // the GMT flag say; only such a value takes the dashes.
  const bool timeOfDay = hour != 0 || minute != 0 || second != 0;
  const bool dashes = !timeOfDay && value.isEncodeDateUsingDashes();
  const std::uint32_t julianDay = value.getJD();
  if (julianDay - calendar::kFirstValidDay <= calendar::kLastValidDay - calendar::kFirstValidDay) {
    // A valid date: month and day come as their four digits from the day
    // of the year.
    unsigned int year;
    char monthDay[4];
    calendar::validDateDigits(julianDay, year, monthDay);
    out = putPair(putPair(out, year / 100), year % 100);
    if (dashes) {
      out[0] = '-';
      out[1] = monthDay[0];
      out[2] = monthDay[1];
      out[3] = '-';
      out[4] = monthDay[2];
      out[5] = monthDay[3];
      out += 6;
    } else {
      std::memcpy(out, monthDay, 4);
      out += 4;
    }
  } else {
    // A raw day number: the fields may reach five digits.
    unsigned short year, month, day, dayOfWeek;
    calendar::dateOf(julianDay, year, month, day, dayOfWeek);
    out = putNumber(out, year, 4);
    if (dashes) {
      *out++ = '-';
    }
    out = putNumber(out, month, 2);
    if (dashes) {
      *out++ = '-';
    }
    out = putNumber(out, day, 2);
  }
  if (!timeOfDay) {
    return static_cast<std::size_t>(out - buffer);
  }
  *out++ = 'T';
  out = putNumber(out, hour, 2);
  out = putPair(out, minute);
  out = putPair(out, second);
  if (withMilliseconds && millisecond != 0) {
    *out++ = '.';
    out = putNumber(out, millisecond, 3);
  }
  if (value.isGMTTime()) {
    *out++ = 'Z';
  }
  return static_cast<std::size_t>(out - buffer);
}

// The number at text[begin, begin + count) as the C library's wcstol reads a
// decimal number: leading white space, an optional sign, then digits up to
// the first character that is not one (a NUL included); 0 when there are no
// digits.  At most four characters: the value always fits in 16 bits.
// C is wchar_t, or unsigned char for bytes of a page that keeps ASCII.
template <typename C>
QEL_ALWAYS_INLINE short readField(const C* text, std::size_t begin, std::size_t count) {
  const C* p = text + begin;
  // The usual field: digits only.
  unsigned int digits = 0;
  std::size_t k = 0;
  for (; k < count; ++k) {
    const auto digit = static_cast<std::uint32_t>(p[k]) - static_cast<std::uint32_t>('0');
    if (digit > 9) {
      break;
    }
    digits = digits * 10 + digit;
  }
  if (k == count) {
    return static_cast<short>(digits);
  }
  // Anything else as atoi reads it; a field has at most five characters.
  const chars::CNumber number = chars::readCNumber(p, count, 10);
  const auto value = static_cast<int>(number.nMagnitude);
  return static_cast<short>(number.bNegative ? -value : value);
}

bool isTextLength(std::size_t length) {
  switch (length) {
    case 8:
    case 10:
    case 15:
    case 16:
    case 19:
    case 20:
      return true;
    default:
      return false;
  }
}

// The date and time fields of a compact text (every length but 10) whose
// field characters are all digits, read eight bytes at a time; false, with
// nothing read, for any other text, which the general field reader takes.
// Only bytes of a page that keeps ASCII are read this way.
template <typename C>
bool readCompactFields(const C*, std::size_t, short&, short&, short&, short&, short&, short&) {
  return false;
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// The eight bytes at p, the first in the low byte, as four numbers of two
// digits each in the even bytes (the first two digits in byte 0); false
// unless the bytes whose bits are set in mask are all '0' to '9'.  The
// other bytes are taken as '0'.
inline bool digitPairs(const unsigned char* p, std::uint64_t mask, std::uint64_t& pairs) {
  constexpr std::uint64_t kZeros = 0x3030303030303030u;
  constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0u;
  std::uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  v = (v & mask) | (kZeros & ~mask);
  // '0' to '9' are 0x30 to 0x39: high nibble 3, and still 3 after adding 6.
  if ((v & kHighNibbles) != kZeros || ((v + 0x0606060606060606u) & kHighNibbles) != kZeros) {
    return false;
  }
  v -= kZeros;
  // Byte k becomes 10 * digit k + digit k + 1; no byte overflows.
  pairs = v * 10 + (v >> 8);
  return true;
}

inline unsigned int pairAt(std::uint64_t pairs, int byte) {
  return static_cast<unsigned int>(pairs >> (8 * byte)) & 0xFFu;
}

template <>
bool readCompactFields(const unsigned char* text, std::size_t length, short& year, short& month,
                       short& day, short& hour, short& minute, short& second) {
  if (length == 10) {
    return false;
  }
  std::uint64_t date;
  if (!digitPairs(text, ~std::uint64_t{0}, date)) {
    return false;
  }
  if (length >= 15) {
    // The bytes "DThhmmss" from position 7: the digits are bytes 2 to 7.
    std::uint64_t time;
    if (!digitPairs(text + 7, 0xFFFFFFFFFFFF0000u, time)) {
      return false;
    }
    hour = static_cast<short>(pairAt(time, 2));
    minute = static_cast<short>(pairAt(time, 4));
    second = static_cast<short>(pairAt(time, 6));
  }
  year = static_cast<short>(pairAt(date, 0) * 100 + pairAt(date, 2));
  month = static_cast<short>(pairAt(date, 4));
  day = static_cast<short>(pairAt(date, 6));
  return true;
}
#endif

// What a text of a recognised length says.
struct TextValue {
  bool gmt = false;
  bool hasDate = false;
  bool hasTime = false;
  std::uint32_t julianDay = 0;
  std::uint32_t milliseconds = 0;
};

// Reads a text of a recognised length; false when it is not a date, with
// only value.gmt then meaningful.  The characters between the fields
// (dashes, T, point, Z) are not examined.
template <typename C>
bool readText(const C* text, std::size_t length, TextValue& value) {
  value.gmt = length == 16 || length == 20;
  const bool dashes = length == 10;
  short year;
  short month;
  short day;
  short hour = 0;
  short minute = 0;
  short second = 0;
  short millisecond = 0;
  if (!readCompactFields(text, length, year, month, day, hour, minute, second)) {
    year = readField(text, 0, 4);
    month = readField(text, dashes ? 5 : 4, 2);
    day = readField(text, dashes ? 8 : 6, 2);
    if (length >= 15) {
      hour = readField(text, 9, 2);
      minute = readField(text, 11, 2);
      second = readField(text, 13, 2);
    }
  }
  if (length >= 19) {
    millisecond = readField(text, 16, 3);
  }

  value.hasDate = year != 0 && month != 0 && day != 0;
  value.hasTime = hour != 0 || minute != 0 || second != 0;
  if (!value.hasDate && !value.hasTime) {
    return false;
  }
  // A negative field reads as a large unsigned number and so fails the
  // range checks.
  const auto u = [](short v) { return static_cast<unsigned int>(static_cast<unsigned short>(v)); };
  if (value.hasTime && !calendar::isValidTime(u(hour), u(minute), u(second), u(millisecond))) {
    return false;
  }
  if (value.hasDate && !calendar::isValidDate(u(year), u(month), u(day))) {
    return false;
  }
  if (value.hasDate) {
    value.julianDay = calendar::julianDay(u(year), u(month), u(day));
  }
  value.milliseconds = ((u(hour) * 60 + u(minute)) * 60 + u(second)) * 1000 + u(millisecond);
  return true;
}

}  // namespace

std::wstring CDateTime::toString(bool withMilliseconds) const {
  char buffer[kMaxText];
  const std::size_t length = formatText(*this, withMilliseconds, buffer);
  return std::wstring(buffer, buffer + length);
}

std::string CDateTime::toByteString(bool withMilliseconds) const {
  char buffer[kMaxText];
  const std::size_t length = formatText(*this, withMilliseconds, buffer);
  // Through the ANSI page, as any text leaves the library narrow.
  if (codec::ansiAsciiCompatible()) {
    return std::string(buffer, length);
  }
  return codec::asciiToAnsi(buffer, length);
}

bool CDateTime::parseDateTime(const std::wstring& text) {
  return parseChars(text.data(), text.size());
}

bool CDateTime::parseChars(const wchar_t* text, std::size_t length) {
  if (!isTextLength(length)) {
    return false;
  }
  // The GMT flag follows the form before any field is read, so a text of a
  // recognised length that then fails still leaves it changed.
  TextValue value;
  const bool parsed = readText(text, length, value);
  _bGMT = value.gmt;
  if (!parsed) {
    return false;
  }
  if (value.hasDate) {
    _nJulianDay = value.julianDay;
    _nMilliseconds = 0;
  }
  // Without a date only the time of day changes.
  if (value.hasTime) {
    _nMilliseconds = value.milliseconds;
  }
  return true;
}

CDateTime::CDateTime(const std::string& text)
    : _bGMT(false), _nJulianDay(0), _nMilliseconds(0), _bDashes(false) {
  // A date text is ASCII, one byte per character in every ANSI page, so the
  // length decides before any conversion.  Where the page keeps ASCII the
  // bytes are read as they are; otherwise their characters are, and fewer
  // characters than bytes mean a character of two bytes, never part of a
  // date.
  const std::size_t length = text.size();
  bool parsed = false;
  TextValue value;
  if (isTextLength(length)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    if (codec::ansiKeepsAscii()) {
      parsed = readText(bytes, length, value);
    } else {
      wchar_t wide[kMaxText];
      parsed = codec::decodeAnsi(bytes, length, wide) == length && readText(wide, length, value);
    }
  }
  if (!parsed) {
    throw InvalidDateException(CStringHelper::fromANSI(text));
  }
  _bGMT = value.gmt;
  if (value.hasDate) {
    _nJulianDay = value.julianDay;
  }
  if (value.hasTime) {
    _nMilliseconds = value.milliseconds;
  }
}

CDateTime CDateTime::CDateTimeFromString(const std::wstring& text) {
  return CDateTime(CStringHelper::toAnsi(text));
}

}  // namespace qel
