#include <errno.h>
#include <time.h>

#include "os/Clock.h"

namespace qel {
namespace platform {

namespace {

std::int32_t readClock(bool local, CalendarTime& out) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return errno != 0 ? errno : EINVAL;
  }
  struct tm fields;
  if (local) {
    // localtime_r need not look at TZ again by itself; tzset makes a changed
    // time zone take effect.
    tzset();
    if (localtime_r(&now.tv_sec, &fields) == nullptr) {
      return errno != 0 ? errno : EOVERFLOW;
    }
  } else if (gmtime_r(&now.tv_sec, &fields) == nullptr) {
    return errno != 0 ? errno : EOVERFLOW;
  }
  out.year = static_cast<std::int64_t>(fields.tm_year) + 1900;
  out.month = fields.tm_mon + 1;
  out.dayOfWeek = fields.tm_wday;
  out.day = fields.tm_mday;
  out.hour = fields.tm_hour;
  out.minute = fields.tm_min;
  // Time zones that count leap seconds report a 60th second; the calendar
  // value has no room for it.
  out.second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
  out.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return 0;
}

}  // namespace

std::int32_t readSystemTime(CalendarTime& out) {
  return readClock(false, out);
}

std::int32_t readLocalTime(CalendarTime& out) {
  return readClock(true, out);
}

}  // namespace platform
}  // namespace qel
