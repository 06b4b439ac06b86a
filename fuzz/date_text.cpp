// Date text parsing from narrow and wide text.  InvalidDateException is the
// only accepted failure; every text form of a date that parses must read
// back to the same value.
//
// Input: one mode byte, then the text (mode 0 narrow bytes, mode 1 one
// character per byte, modes 2 and 3 one character per four bytes, any
// value), or for mode 4 a raw day number, milliseconds, flags and shifts.

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include "FuzzSupport.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/datetime/DateTime.h"

using qel::CDateTime;

namespace {

class ProbeDate : public CDateTime {
 public:
  using CDateTime::parseDateTime;
};

bool isTextLength(std::size_t length) {
  return length == 8 || length == 10 || length == 15 || length == 16 || length == 19 ||
         length == 20;
}

void checkFields(const CDateTime& date) {
  unsigned short year = 0, month = 0, day = 0, dayOfWeek = 0;
  date.getDate(year, month, day, dayOfWeek);
  QEL_FUZZ_CHECK(CDateTime::IsValidDate(year, month, day));
  QEL_FUZZ_CHECK(dayOfWeek <= 6);
  unsigned short hour = 0, minute = 0, second = 0, millisecond = 0;
  date.getTime(hour, minute, second, millisecond);
  QEL_FUZZ_CHECK(CDateTime::IsValidTime(hour, minute, second, millisecond));
  QEL_FUZZ_CHECK(CDateTime(year, month, day, hour, minute, second, millisecond) == date);
}

// Writes every text form of date and reads each back.
void checkTextForms(const CDateTime& parsed) {
  checkFields(parsed);
  unsigned short hour = 0, minute = 0, second = 0, millisecond = 0;
  parsed.getTime(hour, minute, second, millisecond);
  const bool dateOnly = hour == 0 && minute == 0 && second == 0;
  for (int form = 0; form < 8; ++form) {
    CDateTime date = parsed;
    const bool withMilliseconds = (form & 1) != 0;
    date.encodeDateUsingDashes((form & 2) != 0);
    date.forceGMT((form & 4) != 0);

    const std::wstring wide = date.toString(withMilliseconds);
    const std::string narrow = date.toByteString(withMilliseconds);
    QEL_FUZZ_CHECK(isTextLength(wide.size()));
    QEL_FUZZ_CHECK(qel::CStringHelper::fromANSI(narrow) == wide);

    CDateTime expected = date;
    if (dateOnly) {
      expected.setms(0);
    } else if (!withMilliseconds) {
      expected.setms(date.getms() - date.getms() % 1000);
    }
    const CDateTime fromNarrow(narrow);
    const CDateTime fromWide = CDateTime::CDateTimeFromString(wide);
    QEL_FUZZ_CHECK(fromNarrow == expected);
    QEL_FUZZ_CHECK(fromWide == expected);
    QEL_FUZZ_CHECK(fromNarrow.isGMTTime() == (!dateOnly && date.isGMTTime()));
    QEL_FUZZ_CHECK(fromNarrow.toString(withMilliseconds) ==
                   (dateOnly && date.isEncodeDateUsingDashes()
                        ? wide.substr(0, 4) + wide.substr(5, 2) + wide.substr(8, 2)
                        : wide));
  }
}

// The value a text of a date form must give when read into start, each
// field taken as wcstol reads its characters; false when it must fail.
bool expectedParse(const std::wstring& text, const CDateTime& start, CDateTime& expected) {
  const std::size_t n = text.size();
  const auto field = [&text](std::size_t at, std::size_t count) {
    return static_cast<unsigned short>(std::wcstol(text.substr(at, count).c_str(), nullptr, 10));
  };
  const bool dashes = n == 10;
  const unsigned short y = field(0, 4), mo = field(dashes ? 5 : 4, 2), d = field(dashes ? 8 : 6, 2);
  const unsigned short h = n >= 15 ? field(9, 2) : 0, mi = n >= 15 ? field(11, 2) : 0;
  const unsigned short s = n >= 15 ? field(13, 2) : 0, ms = n >= 19 ? field(16, 3) : 0;
  const bool hasDate = y != 0 && mo != 0 && d != 0;
  const bool hasTime = h != 0 || mi != 0 || s != 0;
  if ((!hasDate && !hasTime) || (hasTime && (h >= 24 || mi >= 60 || s >= 60 || ms >= 1000)) ||
      (hasDate && !CDateTime::IsValidDate(y, mo, d))) {
    return false;
  }
  expected = hasDate ? CDateTime(y, mo, d) : start;
  if (hasTime) {
    expected.setms(((static_cast<std::uint32_t>(h) * 60 + mi) * 60 + s) * 1000 + ms);
  }
  return true;
}

// Raw day numbers and milliseconds set directly, written as text, split
// into fields and shifted: defined results for any value.
void rawValue(const std::uint8_t* data, std::size_t size) {
  qel_fuzz::ByteReader in(data, size);
  CDateTime date;
  date.setJD(in.u32());
  date.setms(in.u32());
  const std::uint8_t flags = in.byte();
  date.forceGMT((flags & 1) != 0);
  date.encodeDateUsingDashes((flags & 2) != 0);
  for (int round = 0; round < 2; ++round) {
    for (bool withMilliseconds : {false, true}) {
      const std::wstring wide = date.toString(withMilliseconds);
      QEL_FUZZ_CHECK(wide.empty() == !date.isValid());
      QEL_FUZZ_CHECK(wide.size() <= 29);
      QEL_FUZZ_CHECK(qel::CStringHelper::fromANSI(date.toByteString(withMilliseconds)) == wide);
    }
    unsigned short year, month, day, dayOfWeek, hour, minute, second, millisecond;
    date.getDate(year, month, day, dayOfWeek);
    date.getTime(hour, minute, second, millisecond);
    QEL_FUZZ_CHECK(minute < 60 && second < 60 && millisecond < 1000);
    const auto s16 = [&in]() { return static_cast<short>(in.u16()); };
    const short days = s16(), hours = s16(), minutes = s16(), seconds = s16(), ms = s16();
    const bool gmt = date.isGMTTime();
    date.adjust(days, hours, minutes, seconds, ms);
    QEL_FUZZ_CHECK(date.isGMTTime() == gmt);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t mode = data[0] % 5;
  if (mode == 4) {
    rawValue(data + 1, size - 1);
    return 0;
  }
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::wstring wide;
  if (mode == 1) {
    for (unsigned char c : bytes) {
      wide.push_back(static_cast<wchar_t>(c));
    }
  } else if (mode >= 2) {
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
      const std::uint32_t unit =
          static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
          static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
          static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 2])) << 16 |
          static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 24;
      wide.push_back(static_cast<wchar_t>(unit));
    }
  }

  if (mode == 3) {
    // Parsing into a value that already holds a date and time.
    ProbeDate date;
    date.setDate(2001, 2, 3);
    date.setTime(4, 5, 6, 7);
    const CDateTime before = date;
    CDateTime expected;
    const bool valid = isTextLength(wide.size()) && expectedParse(wide, before, expected);
    const bool parsed = date.parseDateTime(wide);
    QEL_FUZZ_CHECK(parsed == valid);
    QEL_FUZZ_CHECK(!parsed || (date == expected &&
                               date.isGMTTime() == (wide.size() == 16 || wide.size() == 20)));
    if (parsed) {
      QEL_FUZZ_CHECK(date.isValid());
      checkTextForms(date);
    } else {
      QEL_FUZZ_CHECK(date == before);
    }
    return 0;
  }

  if (mode == 0) {
    // Narrow text reads as its characters in the ANSI page read wide.
    ProbeDate fromWide;
    const bool wideParsed = fromWide.parseDateTime(qel::CStringHelper::fromANSI(bytes));
    try {
      const CDateTime narrow(bytes);
      QEL_FUZZ_CHECK(wideParsed && narrow == fromWide &&
                     narrow.isGMTTime() == fromWide.isGMTTime());
    } catch (const qel::InvalidDateException&) {
      QEL_FUZZ_CHECK(!wideParsed);
    }
  }

  try {
    const CDateTime date = mode == 0 ? CDateTime(bytes) : CDateTime::CDateTimeFromString(wide);
    QEL_FUZZ_CHECK(
        isTextLength(mode == 0 ? bytes.size() : qel::CStringHelper::toAnsi(wide).size()));
    if (date.isValid()) {
      checkTextForms(date);
    }
  } catch (const qel::InvalidDateException&) {
    // Not a date text.
  }
  return 0;
}
