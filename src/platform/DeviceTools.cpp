#include "qel/platform/DeviceTools.h"

#include <string>
#include <utility>

#include "qel/core/StringHelper.h"
#include "qel/platform/Orvane.h"

namespace qel {

std::string CWin32DeviceTools::SDK_VERSION;

namespace {

// The ANSI form of a fact.  Every character is converted, including any
// after an embedded NUL, so no part of the fact is silently dropped.
std::string narrowFact(const std::wstring& fact) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t nul = fact.find(L'\0', start);
    out += CWin32Helper::ws2s(fact.substr(start, nul - start));
    if (nul == std::wstring::npos) {
      return out;
    }
    out += '\0';
    start = nul + 1;
  }
}

std::string queryFact(int index) {
  return narrowFact(DeviceUtils().GetDeviceInfo(index));
}

// Lowercases the letters A to Z only, as the C library does in its default
// locale, whatever locale the application has chosen: the keys must not
// depend on it.
std::string lowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

}  // namespace

std::string DeviceTools::getDeviceKey() {
  return CWin32DeviceTools::getDeviceKey();
}
std::string DeviceTools::getXQelKey() {
  return CWin32DeviceTools::getXQelKey();
}
std::string DeviceTools::getSwV() {
  return CWin32DeviceTools::getSwV();
}

std::string CWin32DeviceTools::getDeviceKey() {
  std::string key = lowercase(filter(getDeviceManufacturer()));
  key += '.';
  key += lowercase(filter(getDeviceName()));
  key += '.';
  key += lowercase(getProductType());
  return key;
}

std::string CWin32DeviceTools::getXQelKey() {
  std::string key = "Brantelle - ";
  key += getProductType();
  key += " - ";
  key += "WP_V";
  key += getDeviceOSMajorVersion();
  key += getDeviceOSMinorVersion();
  key += " - ";
  key += getApplicationSoftwareVersion();
  key += " - ";
  key += getDeviceKey();
  key += " - ";
  key += "en";
  return key;
}

std::string CWin32DeviceTools::getSwV() {
  return getApplicationSoftwareVersion();
}

void CWin32DeviceTools::setSDKVersion(std::string version) {
  SDK_VERSION = std::move(version);
}

std::string CWin32DeviceTools::getDeviceFirnwareVersion() {
  return queryFact(0);
}
std::string CWin32DeviceTools::getDeviceHarwareVersion() {
  return queryFact(1);
}
std::string CWin32DeviceTools::getDeviceManufacturer() {
  return queryFact(2);
}
std::string CWin32DeviceTools::getDeviceName() {
  return queryFact(3);
}
std::string CWin32DeviceTools::getProductType() {
  return queryFact(4);
}
std::string CWin32DeviceTools::getDeviceOSMajorVersion() {
  return queryFact(5);
}
std::string CWin32DeviceTools::getDeviceOSMinorVersion() {
  return queryFact(6);
}
std::string CWin32DeviceTools::getDeviceUniqueId() {
  return queryFact(7);
}
std::string CWin32DeviceTools::getApplicationSoftwareVersion() {
  return queryFact(8);
}

std::string CWin32DeviceTools::filter(std::string text) {
  for (char& c : text) {
    if (c == '.' || c == ' ' || c == '-') {
      c = '_';
    }
  }
  return text;
}

}  // namespace qel
