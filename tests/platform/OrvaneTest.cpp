#include "qel/platform/Orvane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/Exception.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

// The content of a small text file without trailing white space, widened;
// empty when the file cannot be read.
std::wstring readTrimmed(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text.erase(text.find_last_not_of(" \t\r\n") + 1);
  return std::wstring(text.begin(), text.end());
}

TEST(DeviceUtilsTest, ReadsTheHostUnlessOverridden) {
  const DeviceUtils device;
  // DMI facts: non-empty exactly where the host has them.
  const char* const kDmi[] = {"bios_version", "product_version", "sys_vendor", "product_name"};
  for (int index = 0; index < 4; ++index) {
    const std::string file = std::string("/sys/class/dmi/id/") + kDmi[index];
    EXPECT_EQ(device.GetDeviceInfo(index).empty(), readTrimmed(file).empty()) << file;
  }
  EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::DEVICE_UNIQUE_ID), readTrimmed("/etc/machine-id"));
  // The kernel release, "6.8.0-45-generic" for example, gives 6 and 8.
  const std::wstring release = readTrimmed("/proc/sys/kernel/osrelease");
  const std::size_t dot = release.find(L'.');
  EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::OS_MAJOR_VERSION), release.substr(0, dot));
  EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::OS_MINOR_VERSION),
            release.substr(dot + 1, release.find_first_not_of(L"0123456789", dot + 1) - dot - 1));
  const std::wstring arch = readTrimmed("/proc/sys/kernel/arch");
  const std::wstring hostType = device.GetDeviceInfo(DeviceUtils::PRODUCT_TYPE);
  EXPECT_TRUE(arch.empty() ? !hostType.empty() : hostType == arch);
  const std::string version = QEL_TEST_VERSION_STRING;
  const std::wstring hostVersion = device.GetDeviceInfo(DeviceUtils::APPLICATION_VERSION);
  EXPECT_EQ(hostVersion, std::wstring(version.begin(), version.end()));

  // Overrides replace one fact until cleared; an empty one hides the host's.
  EXPECT_TRUE(DeviceUtils::SetDeviceInfo(DeviceUtils::PRODUCT_TYPE, L"PT-\u00e9 \x01"));
  EXPECT_TRUE(DeviceUtils::SetDeviceInfo(DeviceUtils::APPLICATION_VERSION, L""));
  EXPECT_EQ(device.GetDeviceInfo(4), L"PT-\u00e9 \x01");
  EXPECT_EQ(device.GetDeviceInfo(8), L"");
  EXPECT_TRUE(DeviceUtils::SetDeviceInfo(4, L"second"));
  EXPECT_EQ(device.GetDeviceInfo(4), L"second");
  // Indices outside the table give empty texts and take no override.
  for (int index : {-1, 9, 10, INT_MIN, INT_MAX}) {
    EXPECT_FALSE(DeviceUtils::SetDeviceInfo(index, L"value")) << index;
    EXPECT_EQ(device.GetDeviceInfo(index), L"") << index;
  }
  DeviceUtils::ClearDeviceInfo();
  EXPECT_EQ(device.GetDeviceInfo(4), hostType);
  EXPECT_EQ(device.GetDeviceInfo(8), hostVersion);
}

// "C:" and the path with '\\' for '/'; for the ASCII paths of the test host.
std::wstring windowsForm(const fs::path& path) {
  std::wstring text = L"C:" + path.wstring();
  std::replace(text.begin(), text.end(), L'/', L'\\');
  return text;
}

class OrvaneTest : public ::testing::Test {
 protected:
  void TearDown() override {
    COrvane::SetCurrentDirectory(L"");
    fs::current_path(_original);
  }
  const fs::path _original = fs::current_path();
};

TEST_F(OrvaneTest, ProcessDirectoryInWindowsFormUntilOverridden) {
  EXPECT_EQ(COrvane::GetCurrentDirectory(), windowsForm(fs::current_path()));
  EXPECT_EQ(COrvane::GetCurrentDirectoryOverride(), L"");
  fs::current_path("/");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"C:\\");
  // The host names the directory in UTF-8: "\xc3\xa9" is U+00E9.
  const fs::path parent = fs::canonical(fs::temp_directory_path());
  const fs::path dir = parent / std::string("qel orvane \xc3\xa9");
  fs::create_directories(dir);
  fs::current_path(dir);
  EXPECT_EQ(COrvane::GetCurrentDirectory(), windowsForm(parent) + L"\\qel orvane \u00e9");
  fs::current_path("/");
  fs::remove(dir);
  COrvane::SetCurrentDirectory(L"D:\\apps\\data");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"D:\\apps\\data");
  EXPECT_EQ(COrvane::GetCurrentDirectoryOverride(), L"D:\\apps\\data");
  COrvane::SetCurrentDirectory(L"");
  EXPECT_EQ(COrvane::GetCurrentDirectoryOverride(), L"");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"C:\\");
}

TEST_F(OrvaneTest, RemovedWorkingDirectoryThrowsUnlessOverridden) {
  const fs::path dir = fs::temp_directory_path() / "qel-orvane-gone";
  fs::create_directories(dir);
  fs::current_path(dir);
  fs::remove(dir);
  try {
    COrvane::GetCurrentDirectory();
    ADD_FAILURE() << "a removed directory was reported";
  } catch (const OSException& e) {
    EXPECT_EQ(e.getErrorCode(), ENOENT);
  }
  COrvane::SetCurrentDirectory(L"C:\\kept");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"C:\\kept");
}

TEST(OrvaneConcurrency, OverrideIsNeverSeenTorn) {
  const std::wstring first(200, L'a');
  const std::wstring second(300, L'b');
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        COrvane::SetCurrentDirectory((i + t) % 2 == 0 ? first : second);
        const std::wstring seen = COrvane::GetCurrentDirectoryOverride();
        bad[static_cast<std::size_t>(t)] += seen != first && seen != second ? 1 : 0;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(bad, std::vector<int>(4, 0));
  COrvane::SetCurrentDirectory(L"");
}

TEST(MessageLoggerTest, WritesOneUtf8LinePerMessageToStandardErrorOrToTheSink) {
  ::testing::internal::CaptureStderr();
  MessageLogger(L"app", 1).LogMessage(L"50% %s d\u00f6ne");
  MessageLogger(nullptr, 2).LogMessage(L"");
  MessageLogger(L"app", 2).LogMessage(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "app[1]: 50% %s d\xc3\xb6ne\n[2]: \n");
  std::vector<std::wstring> seen;
  MessageLogger::SetSink([&seen](const std::wstring& name, int level, const std::wstring& text) {
    seen.push_back(name + L"|" + std::to_wstring(level) + L"|" + text);
  });
  ::testing::internal::CaptureStderr();
  MessageLogger(L"n", 1).LogMessage(L"%d%%", 5);
  MessageLogger(L"m", 2).LogMessage(L"x\ny");
  MessageLogger::SetSink(MessageLogger::Sink());
  MessageLogger(L"n", 1).LogMessage(L"back");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "n[1]: back\n");
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"n|1|%d%%", L"m|2|x\ny"}));
}

}  // namespace
}  // namespace qel
