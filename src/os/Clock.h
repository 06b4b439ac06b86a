#ifndef QEL_SRC_OS_CLOCK_H_
#define QEL_SRC_OS_CLOCK_H_

#include <cstdint>

namespace qel {
namespace platform {

// The calendar fields of a moment, as the system clock reports them.
struct CalendarTime {
  std::int64_t year;  // e.g. 2013
  int month;          // 1 to 12
  int dayOfWeek;      // 0 is Sunday
  int day;            // 1 to 31
  int hour;           // 0 to 23
  int minute;         // 0 to 59
  int second;         // 0 to 59 (a leap second reads as 59)
  int millisecond;    // 0 to 999
};

// The current time in UTC and in the process's local time zone.  Return 0 and
// fill out, or the system's error number when the clock cannot be read or the
// moment has no calendar form.
std::int32_t readSystemTime(CalendarTime& out);
std::int32_t readLocalTime(CalendarTime& out);

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_CLOCK_H_
