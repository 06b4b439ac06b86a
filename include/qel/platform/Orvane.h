#ifndef QEL_PLATFORM_ORVANE_H_
#define QEL_PLATFORM_ORVANE_H_

#include <functional>
#include <string>

#include "qel/core/Export.h"

// The platform utilities that the library builds on: device facts, the log
// sink and the application's current directory.  On Linux these are the
// library's own small implementations over the host.

// Facts about the device and the application, one text per index.  A caller
// may build a DeviceUtils for every query; the object holds no state.
class QEL_API DeviceUtils {
 public:
  enum Index {
    FIRMWARE_VERSION = 0,     // /sys/class/dmi/id/bios_version
    HARDWARE_VERSION = 1,     // /sys/class/dmi/id/product_version
    MANUFACTURER = 2,         // /sys/class/dmi/id/sys_vendor
    DEVICE_NAME = 3,          // /sys/class/dmi/id/product_name
    PRODUCT_TYPE = 4,         // uname: machine
    OS_MAJOR_VERSION = 5,     // uname: release, the number before the first '.'
    OS_MINOR_VERSION = 6,     // uname: release, the number after the first '.'
    DEVICE_UNIQUE_ID = 7,     // /etc/machine-id
    APPLICATION_VERSION = 8,  // the library's version
    DEVICE_INFO_COUNT = 9
  };

  DeviceUtils();
  ~DeviceUtils() = default;

  // The fact selected by index: the override set for it if any, else what the
  // host reports.  A fact the host does not have, and an index outside 0 to
  // 8, give an empty text; nothing is thrown for a missing fact.
  std::wstring GetDeviceInfo(int index) const;

  // Replaces one fact for the whole process (an empty value is a valid
  // override).  Returns false, storing nothing, for an index outside 0 to 8.
  static bool SetDeviceInfo(int index, const std::wstring& value);
  // Drops every override; the host's facts are read again.
  static void ClearDeviceInfo();
};

// Delivers one message under a name and a level (1 error, 2 information).
// By default each message is one line on standard error, "name: text"
// ("qelcore: text" for an empty name), written as UTF-8; the text is never
// expanded as a format.
class QEL_API MessageLogger {
 public:
  using Sink = std::function<void(const std::wstring& name, int level, const std::wstring& text)>;

  // A null name counts as an empty one.
  MessageLogger(const wchar_t* name, int level);
  ~MessageLogger();

  // Delivers message unchanged; further arguments are ignored.  A null
  // message delivers nothing.
  void LogMessage(const wchar_t* message, ...) const;

  // Replaces the output for every logger of the process; an empty function
  // restores standard error.  The sink is called outside any lock of the
  // logger and may itself log.
  static void SetSink(Sink sink);

 private:
  std::wstring _sName;
  int _nLevel;
};

namespace qel {

// The application's current directory in Windows form.  Thread-safe.
class QEL_API COrvane {
 public:
  // The text last given to SetCurrentDirectory if any, else the process's
  // working directory as "C:" followed by the path with every '/' turned into
  // '\' ("/home/me" gives "C:\home\me", "/" gives "C:\").  The host path is
  // read as UTF-8.  Throws OSException (errno, "getcwd") when the process has
  // no working directory, for example after it was removed.
  static std::wstring GetCurrentDirectory();
  // Stores directory unchanged; an empty text restores the process's own.
  static void SetCurrentDirectory(const std::wstring& directory);
  // The text last set, empty when none is.
  static std::wstring GetCurrentDirectoryOverride();
};

}  // namespace qel

#endif  // QEL_PLATFORM_ORVANE_H_
