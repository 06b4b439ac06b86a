#ifndef QEL_PLATFORM_DEVICETOOLS_H_
#define QEL_PLATFORM_DEVICETOOLS_H_

#include <string>

#include "qel/core/Export.h"

namespace qel {

// The strings by which an application identifies the device and itself.
class QEL_API DeviceTools {
 public:
  static std::string getDeviceKey();
  static std::string getXQelKey();
  static std::string getSwV();
};

// Composes the strings from the device facts of DeviceUtils, read afresh for
// every call and converted to the ANSI page.
class QEL_API CWin32DeviceTools {
 public:
  // manufacturer "." device name "." product type: the first two filtered,
  // all three with the letters A to Z lowercased.
  static std::string getDeviceKey();
  // "Brantelle - " product type " - WP_V" OS major OS minor " - " software
  // version " - " device key " - en".
  static std::string getXQelKey();
  // The application's software version.
  static std::string getSwV();
  static void setSDKVersion(std::string version);

  // Empty until setSDKVersion; the library itself never reads it.
  static std::string SDK_VERSION;

 private:
  static std::string getDeviceFirnwareVersion();
  static std::string getDeviceHarwareVersion();
  static std::string getDeviceManufacturer();
  static std::string getDeviceName();
  static std::string getProductType();
  static std::string getDeviceOSMajorVersion();
  static std::string getDeviceOSMinorVersion();
  static std::string getDeviceUniqueId();
  static std::string getApplicationSoftwareVersion();

  // Every '.', ' ' and '-' becomes '_'; the length never changes.
  static std::string filter(std::string text);
};

}  // namespace qel

#endif  // QEL_PLATFORM_DEVICETOOLS_H_
