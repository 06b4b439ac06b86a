#ifndef QEL_DATETIME_DATETIME_H_
#define QEL_DATETIME_DATETIME_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "qel/core/Export.h"

namespace qel {

// A day of the proleptic Gregorian calendar, held as a Julian day number, and
// a time of day in milliseconds, with two flags that only shape the text
// form: the GMT flag (the value is in UTC; times are written with a final Z)
// and the dashes flag (a date-only value is written as YYYY-MM-DD).
//
// Julian day 0 means "no date": the default value is invalid.  setJD and
// setms store any number; the calendar operations are meant for Julian day
// numbers of valid dates and milliseconds within one day, and give defined
// (two's-complement wrapped) results for any other raw value.
//
// Text forms, told apart by their length:
//   8  YYYYMMDD              15 YYYYMMDDThhmmss       19 YYYYMMDDThhmmss.mmm
//   10 YYYY-MM-DD            16 YYYYMMDDThhmmssZ      20 YYYYMMDDThhmmss.mmmZ
// A time of day of 00:00:00 (whatever the milliseconds) is a date-only value
// in both directions.
class QEL_API CDateTime {
 public:
  // Julian day 0, milliseconds 0, both flags clear.
  CDateTime();
  // Midnight of the given day; throws InvalidDateException for an impossible
  // date.
  CDateTime(unsigned short year, unsigned short month, unsigned short day);
  // Checks the date, then the time, and throws InvalidDateException before
  // storing anything if either is impossible.
  CDateTime(unsigned short year, unsigned short month, unsigned short day, unsigned short hour,
            unsigned short minute, unsigned short second, unsigned short millisecond);
  // Reads a text form (the bytes are taken in the ANSI code page).  Throws
  // InvalidDateException, whose message is the text, when it is not a date.
  explicit CDateTime(const std::string& text);

  // The current time in UTC, with the GMT flag set.
  static CDateTime GetSystemTime();
  // The current local time; the GMT flag stays clear.
  static CDateTime GetLocalTime();
  // The narrow-text constructor applied to the ANSI form of text.
  static CDateTime CDateTimeFromString(const std::wstring& text);

  static bool IsLeapYear(unsigned short year);
  // 1 <= year <= 9999, 1 <= month <= 12, 1 <= day <= the month's length.
  static bool IsValidDate(unsigned short year, unsigned short month, unsigned short day);
  // hour < 24, minute < 60, second < 60, millisecond < 1000.
  static bool IsValidTime(unsigned short hour, unsigned short minute, unsigned short second,
                          unsigned short millisecond);

  // Throws InvalidDateException and changes nothing for an impossible date;
  // the time of day is kept.
  void setDate(unsigned short year, unsigned short month, unsigned short day);
  // dayOfWeek: 0 is Sunday, 6 is Saturday.
  void getDate(unsigned short& year, unsigned short& month, unsigned short& day,
               unsigned short& dayOfWeek) const;
  // Throws InvalidDateException and changes nothing for an impossible time;
  // the date is kept.
  void setTime(unsigned short hour, unsigned short minute, unsigned short second,
               unsigned short millisecond);
  void getTime(unsigned short& hour, unsigned short& minute, unsigned short& second,
               unsigned short& millisecond) const;

  // The raw Julian day number and milliseconds of the day, unchecked.
  void setJD(std::uint32_t julianDay) { _nJulianDay = julianDay; }
  std::uint32_t getJD() const { return _nJulianDay; }
  void setms(std::uint32_t milliseconds) { _nMilliseconds = milliseconds; }
  std::uint32_t getms() const { return _nMilliseconds; }

  bool isValid() const { return _nJulianDay != 0; }
  void forceGMT(bool gmt) { _bGMT = gmt; }
  bool isGMTTime() const { return _bGMT; }
  void encodeDateUsingDashes(bool dashes) { _bDashes = dashes; }
  bool isEncodeDateUsingDashes() const { return _bDashes; }

  // Shifts the value by the given days and time, carrying the time of day
  // across midnight in either direction.  Never throws; the flags are kept.
  // The time part is a signed 32-bit count of milliseconds (about +-24.8
  // days); a larger time part wraps, so give long shifts through days.
  void adjust(short days, short hours, short minutes, short seconds, short milliseconds);

  // The text form; empty for an invalid value.  Milliseconds are written
  // only when asked for and not 0.
  std::wstring toString(bool withMilliseconds) const;
  // toString in the ANSI code page.
  std::string toByteString(bool withMilliseconds) const;

  // Order by (Julian day, milliseconds), as unsigned numbers; the flags take
  // no part.
  bool operator==(const CDateTime& other) const {
    return _nJulianDay == other._nJulianDay && _nMilliseconds == other._nMilliseconds;
  }
  bool operator!=(const CDateTime& other) const { return !(*this == other); }
  bool operator<(const CDateTime& other) const {
    return _nJulianDay < other._nJulianDay ||
           (_nJulianDay == other._nJulianDay && _nMilliseconds < other._nMilliseconds);
  }
  bool operator>(const CDateTime& other) const { return other < *this; }
  bool operator<=(const CDateTime& other) const { return !(other < *this); }
  bool operator>=(const CDateTime& other) const { return !(*this < other); }

 protected:
  // Reads a text form into this value; false when it is not one.  A text of
  // a recognised length sets the GMT flag (lengths 16 and 20) or clears it
  // before its fields are looked at, even when the parse then fails.  A text
  // with a time and no date changes only the time of day.  The characters
  // between the fields are not examined; the dashes flag is never changed.
  bool parseDateTime(const std::wstring& text);

 private:
  bool parseChars(const wchar_t* text, std::size_t length);

  bool _bGMT;
  std::uint32_t _nJulianDay;
  std::uint32_t _nMilliseconds;
  bool _bDashes;
};

}  // namespace qel

#endif  // QEL_DATETIME_DATETIME_H_
