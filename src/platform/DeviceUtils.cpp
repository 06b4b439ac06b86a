#include <array>
#include <cctype>
#include <fstream>
#include <mutex>
#include <string>

#include "os/Host.h"
#include "platform/DeviceQueryHook.h"
#include "qel/core/StringHelper.h"
#include "qel/platform/Orvane.h"

namespace {

struct OverrideState {
  std::mutex mutex;
  std::array<bool, DeviceUtils::DEVICE_INFO_COUNT> present{};
  std::array<std::wstring, DeviceUtils::DEVICE_INFO_COUNT> values;
  std::function<void(int)> observer;
};

// Never destroyed, so that queries made while the process exits stay safe.
OverrideState& state() {
  static OverrideState* const instance = new OverrideState();
  return *instance;
}

bool isValidIndex(int index) {
  return index >= 0 && index < DeviceUtils::DEVICE_INFO_COUNT;
}

std::string trimTrailingSpace(std::string text) {
  std::size_t end = text.size();
  while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) {
    --end;
  }
  text.resize(end);
  return text;
}

// The first line-worth of a small system file, without its trailing white
// space; empty when the file is missing or unreadable.
std::wstring readFact(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::wstring();
  }
  constexpr std::size_t kMaxFactBytes = 4096;
  std::string bytes(kMaxFactBytes, '\0');
  in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return qel::CWin32Helper::fromUTF8(trimTrailingSpace(bytes));
}

// The decimal number starting at text[pos], or empty when there is none.
std::string digitsAt(const std::string& text, std::size_t pos) {
  std::size_t end = pos;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) {
    ++end;
  }
  return text.substr(pos, end - pos);
}

std::wstring readHost(int index) {
  switch (index) {
    case DeviceUtils::FIRMWARE_VERSION:
      return readFact("/sys/class/dmi/id/bios_version");
    case DeviceUtils::HARDWARE_VERSION:
      return readFact("/sys/class/dmi/id/product_version");
    case DeviceUtils::MANUFACTURER:
      return readFact("/sys/class/dmi/id/sys_vendor");
    case DeviceUtils::DEVICE_NAME:
      return readFact("/sys/class/dmi/id/product_name");
    case DeviceUtils::DEVICE_UNIQUE_ID:
      return readFact("/etc/machine-id");
    case DeviceUtils::APPLICATION_VERSION:
      return qel::CWin32Helper::fromUTF8(QEL_VERSION_STRING);
    default:
      break;
  }
  std::string machine;
  std::string release;
  if (!qel::platform::readKernelNames(machine, release)) {
    return std::wstring();
  }
  if (index == DeviceUtils::PRODUCT_TYPE) {
    return qel::CWin32Helper::fromUTF8(machine);
  }
  // The kernel release, "6.8.0-45-generic": major 6, minor 8.
  const std::string major = digitsAt(release, 0);
  if (index == DeviceUtils::OS_MAJOR_VERSION) {
    return qel::CWin32Helper::fromUTF8(major);
  }
  if (major.empty() || major.size() >= release.size() || release[major.size()] != '.') {
    return std::wstring();
  }
  return qel::CWin32Helper::fromUTF8(digitsAt(release, major.size() + 1));
}

}  // namespace

DeviceUtils::DeviceUtils() = default;
std::wstring DeviceUtils::GetDeviceInfo(int index) const {
  std::function<void(int)> observer;
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    observer = state().observer;
  }
  if (observer) {
    observer(index);
  }
  if (!isValidIndex(index)) {
    return std::wstring();
  }
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    const auto slot = static_cast<std::size_t>(index);
    if (state().present[slot]) {
      return state().values[slot];
    }
  }
  return readHost(index);
}

bool DeviceUtils::SetDeviceInfo(int index, const std::wstring& value) {
  if (!isValidIndex(index)) {
    return false;
  }
  std::lock_guard<std::mutex> guard(state().mutex);
  const auto slot = static_cast<std::size_t>(index);
  state().values[slot] = value;
  state().present[slot] = true;
  return true;
}

void DeviceUtils::ClearDeviceInfo() {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().present.fill(false);
  for (std::wstring& value : state().values) {
    value.clear();
  }
}

namespace qel {
namespace platform {

void setDeviceQueryObserver(std::function<void(int index)> observer) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().observer = std::move(observer);
}

}  // namespace platform
}  // namespace qel
