// The text forms of a date-time value: writing and reading the compact
// ISO 8601 layouts.  Every date field of an archive passes through here, so
// the digits are formatted and parsed directly into the fixed layouts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/CharClass.h"
#include "core/Codecs.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/datetime/DateTime.h"

namespace qel {

namespace {

// The longest text: year, month and day may reach five digits and the hour
// four for raw values set through setJD and setms, plus T, the minutes, the
// seconds, the point, the milliseconds and Z: 29 characters.
constexpr std::size_t kMaxText = 32;

// Writes value in decimal, zero-padded to at least width digits (as %0Nd
// does), and returns the position after it.
wchar_t* putNumber(wchar_t* out, std::uint32_t value, int width) {
  wchar_t digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < width) {
    *out++ = L'0';
    --width;
  }
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

// Writes the text form of value into buffer (kMaxText characters) and returns
// its length, 0 for an invalid value.
std::size_t formatText(const CDateTime& value, bool withMilliseconds, wchar_t* buffer) {
  if (!value.isValid()) {
    return 0;
  }
  unsigned short year, month, day, dayOfWeek;
  value.getDate(year, month, day, dayOfWeek);
  unsigned short hour, minute, second, millisecond;
  value.getTime(hour, minute, second, millisecond);

  wchar_t* out = buffer;
  // A time of 00:00:00 is a date-only value, whatever the milliseconds and
  // the GMT flag say.
  if (hour == 0 && minute == 0 && second == 0) {
    const bool dashes = value.isEncodeDateUsingDashes();
    out = putNumber(out, year, 4);
    if (dashes) {
      *out++ = L'-';
    }
    out = putNumber(out, month, 2);
    if (dashes) {
      *out++ = L'-';
    }
    out = putNumber(out, day, 2);
    return static_cast<std::size_t>(out - buffer);
  }
  out = putNumber(out, year, 4);
  out = putNumber(out, month, 2);
  out = putNumber(out, day, 2);
  *out++ = L'T';
  out = putNumber(out, hour, 2);
  out = putNumber(out, minute, 2);
  out = putNumber(out, second, 2);
  if (withMilliseconds && millisecond != 0) {
    *out++ = L'.';
    out = putNumber(out, millisecond, 3);
  }
  if (value.isGMTTime()) {
    *out++ = L'Z';
  }
  return static_cast<std::size_t>(out - buffer);
}

// The number at text[begin, begin + count) as the C library's wcstol reads a
// decimal number: leading white space, an optional sign, then digits up to
// the first character that is not one (a NUL included); 0 when there are no
// digits.  At most four characters: the value always fits in 16 bits.
short readField(const wchar_t* text, std::size_t begin, std::size_t count) {
  std::size_t i = begin;
  const std::size_t end = begin + count;
  while (i < end && chars::isCSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < end && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  int value = 0;
  while (i < end && text[i] >= L'0' && text[i] <= L'9') {
    value = value * 10 + static_cast<int>(text[i] - L'0');
    ++i;
  }
  return static_cast<short>(negative ? -value : value);
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

}  // namespace

std::wstring CDateTime::toString(bool withMilliseconds) const {
  wchar_t buffer[kMaxText];
  const std::size_t length = formatText(*this, withMilliseconds, buffer);
  return std::wstring(buffer, length);
}

std::string CDateTime::toByteString(bool withMilliseconds) const {
  wchar_t buffer[kMaxText];
  const std::size_t length = formatText(*this, withMilliseconds, buffer);
  // Through the ANSI page, as any wide text leaves the library narrow.
  std::string result;
  codec::encodeAnsi(buffer, length, result);
  return result;
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
  _bGMT = length == 16 || length == 20;

  // The characters between the fields (dashes, T, point, Z) are not
  // examined.
  const bool dashes = length == 10;
  const short year = readField(text, 0, 4);
  const short month = readField(text, dashes ? 5 : 4, 2);
  const short day = readField(text, dashes ? 8 : 6, 2);
  short hour = 0;
  short minute = 0;
  short second = 0;
  short millisecond = 0;
  if (length >= 15) {
    hour = readField(text, 9, 2);
    minute = readField(text, 11, 2);
    second = readField(text, 13, 2);
  }
  if (length >= 19) {
    millisecond = readField(text, 16, 3);
  }

  const bool hasDate = year != 0 && month != 0 && day != 0;
  const bool hasTime = hour != 0 || minute != 0 || second != 0;
  if (!hasDate && !hasTime) {
    return false;
  }
  // A negative field reads as a large unsigned number and so fails the
  // range checks.
  const auto u = [](short v) { return static_cast<unsigned short>(v); };
  if (hasTime && !IsValidTime(u(hour), u(minute), u(second), u(millisecond))) {
    return false;
  }
  if (hasDate && !IsValidDate(u(year), u(month), u(day))) {
    return false;
  }
  if (hasDate) {
    setDate(u(year), u(month), u(day));
    _nMilliseconds = 0;
  }
  // Without a date only the time of day changes.
  if (hasTime) {
    setTime(u(hour), u(minute), u(second), u(millisecond));
  }
  return true;
}

CDateTime::CDateTime(const std::string& text) : CDateTime() {
  bool parsed = false;
  // A single-byte page gives one character per byte, so the length decides
  // before any conversion.  The wide form of a candidate is kept in a
  // buffer of the thread's own that stays allocated between calls.
  if (isTextLength(text.size())) {
    thread_local std::wstring wide;
    wide.clear();
    codec::decodeAnsi(reinterpret_cast<const unsigned char*>(text.data()), text.size(), wide);
    parsed = parseChars(wide.data(), wide.size());
  }
  if (!parsed) {
    throw InvalidDateException(CStringHelper::fromANSI(text));
  }
}

CDateTime CDateTime::CDateTimeFromString(const std::wstring& text) {
  return CDateTime(CStringHelper::toAnsi(text));
}

}  // namespace qel
