#include "qel/platform/Orvane.h"

#include <gtest/gtest.h>

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

// The content of a small text file without trailing white space; empty when
// the file cannot be read.
std::string readTrimmed(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

std::wstring ascii(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

class DeviceUtilsTest : public ::testing::Test {
 protected:
  void TearDown() override { DeviceUtils::ClearDeviceInfo(); }
};

TEST_F(DeviceUtilsTest, IndicesOutsideTheTableGiveEmptyTexts) {
  const DeviceUtils device;
  for (int index : {-1, 9, 10, INT_MIN, INT_MAX}) {
    EXPECT_EQ(device.GetDeviceInfo(index), L"") << index;
    EXPECT_FALSE(DeviceUtils::SetDeviceInfo(index, L"value")) << index;
    EXPECT_EQ(device.GetDeviceInfo(index), L"") << index;
  }
}

TEST_F(DeviceUtilsTest, OverridesReplaceOneFactUntilCleared) {
  const std::wstring hostName = DeviceUtils().GetDeviceInfo(DeviceUtils::PRODUCT_TYPE);
  const std::wstring hostVersion = DeviceUtils().GetDeviceInfo(DeviceUtils::APPLICATION_VERSION);

  EXPECT_TRUE(DeviceUtils::SetDeviceInfo(DeviceUtils::PRODUCT_TYPE, L"PT-\u00e9 \x01"));
  EXPECT_TRUE(DeviceUtils::SetDeviceInfo(DeviceUtils::APPLICATION_VERSION, L""));
  EXPECT_EQ(DeviceUtils().GetDeviceInfo(4), L"PT-\u00e9 \x01");
  EXPECT_EQ(DeviceUtils().GetDeviceInfo(8), L"");  // an empty override hides the host's
  EXPECT_TRUE(DeviceUtils::SetDeviceInfo(4, L"second"));
  EXPECT_EQ(DeviceUtils().GetDeviceInfo(4), L"second");

  DeviceUtils::ClearDeviceInfo();
  EXPECT_EQ(DeviceUtils().GetDeviceInfo(4), hostName);
  EXPECT_EQ(DeviceUtils().GetDeviceInfo(8), hostVersion);
}

TEST_F(DeviceUtilsTest, ReadsTheHost) {
  const DeviceUtils device;
  for (int index = 0; index < DeviceUtils::DEVICE_INFO_COUNT; ++index) {
    EXPECT_NO_THROW(device.GetDeviceInfo(index));
  }

  // DMI facts: non-empty exactly where the host has them.
  const std::pair<int, const char*> dmi[] = {{0, "/sys/class/dmi/id/bios_version"},
                                             {1, "/sys/class/dmi/id/product_version"},
                                             {2, "/sys/class/dmi/id/sys_vendor"},
                                             {3, "/sys/class/dmi/id/product_name"}};
  for (const auto& fact : dmi) {
    EXPECT_EQ(device.GetDeviceInfo(fact.first).empty(), readTrimmed(fact.second).empty())
        << fact.second;
  }

  const std::string machineId = readTrimmed("/etc/machine-id");
  EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::DEVICE_UNIQUE_ID), ascii(machineId));

  // The kernel release, "6.8.0-45-generic" for example, gives 6 and 8.
  const std::string release = readTrimmed("/proc/sys/kernel/osrelease");
  if (!release.empty()) {
    const std::size_t dot = release.find('.');
    ASSERT_NE(dot, std::string::npos);
    std::size_t end = dot + 1;
    while (end < release.size() && release[end] >= '0' && release[end] <= '9') {
      ++end;
    }
    EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::OS_MAJOR_VERSION), ascii(release.substr(0, dot)));
    EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::OS_MINOR_VERSION),
              ascii(release.substr(dot + 1, end - dot - 1)));
  }
  const std::string arch = readTrimmed("/proc/sys/kernel/arch");
  if (!arch.empty()) {
    EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::PRODUCT_TYPE), ascii(arch));
  } else {
    EXPECT_FALSE(device.GetDeviceInfo(DeviceUtils::PRODUCT_TYPE).empty());
  }
  EXPECT_EQ(device.GetDeviceInfo(DeviceUtils::APPLICATION_VERSION), ascii(QEL_TEST_VERSION_STRING));
}

// "C:" and the path with '\\' for '/'; for the ASCII paths of the test host.
std::wstring windowsForm(const std::filesystem::path& path) {
  std::wstring text = L"C:" + ascii(path.string());
  for (wchar_t& c : text) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return text;
}

class OrvaneTest : public ::testing::Test {
 protected:
  void SetUp() override { _original = std::filesystem::current_path(); }
  void TearDown() override {
    COrvane::SetCurrentDirectory(L"");
    std::filesystem::current_path(_original);
  }
  std::filesystem::path _original;
};

TEST_F(OrvaneTest, ProcessDirectoryInWindowsForm) {
  const std::wstring directory = COrvane::GetCurrentDirectory();
  EXPECT_EQ(directory, windowsForm(std::filesystem::current_path()));
  ASSERT_GE(directory.size(), 3u);
  EXPECT_EQ(directory.substr(0, 3), L"C:\\");
  EXPECT_EQ(directory.find(L'/'), std::wstring::npos);
  EXPECT_EQ(COrvane::GetCurrentDirectoryOverride(), L"");

  std::filesystem::current_path("/");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"C:\\");
}

TEST_F(OrvaneTest, FollowsTheProcessWhenItChangesDirectory) {
  // The host names the directory in UTF-8: "\xc3\xa9" is U+00E9.
  const std::filesystem::path parent =
      std::filesystem::canonical(std::filesystem::temp_directory_path());
  const std::filesystem::path dir = parent / std::string("qel orvane \xc3\xa9");
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  EXPECT_EQ(COrvane::GetCurrentDirectory(), windowsForm(parent) + L"\\qel orvane \u00e9");
  std::filesystem::current_path(_original);
  std::filesystem::remove(dir);
}

TEST_F(OrvaneTest, SetDirectoryOverridesUntilEmptied) {
  COrvane::SetCurrentDirectory(L"D:\\apps\\data");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"D:\\apps\\data");
  EXPECT_EQ(COrvane::GetCurrentDirectoryOverride(), L"D:\\apps\\data");
  COrvane::SetCurrentDirectory(L"");
  EXPECT_EQ(COrvane::GetCurrentDirectoryOverride(), L"");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), windowsForm(std::filesystem::current_path()));
}

TEST_F(OrvaneTest, RemovedWorkingDirectoryThrowsUnlessOverridden) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "qel-orvane-gone";
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  std::filesystem::remove(dir);
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
        if (seen != first && seen != second) {
          ++bad[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(bad, std::vector<int>(4, 0));
  COrvane::SetCurrentDirectory(L"");
}

class MessageLoggerTest : public ::testing::Test {
 protected:
  void TearDown() override { MessageLogger::SetSink(MessageLogger::Sink()); }
};

TEST_F(MessageLoggerTest, WritesOneUtf8LinePerMessageToStandardError) {
  ::testing::internal::CaptureStderr();
  MessageLogger(L"app", 1).LogMessage(L"50% %s d\u00f6ne");
  MessageLogger(nullptr, 2).LogMessage(L"");
  MessageLogger(L"app", 2).LogMessage(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "app[1]: 50% %s d\xc3\xb6ne\n[2]: \n");
}

TEST_F(MessageLoggerTest, SinkReplacesStandardErrorUntilReset) {
  std::vector<std::wstring> seen;
  MessageLogger::SetSink([&seen](const std::wstring& name, int level, const std::wstring& text) {
    seen.push_back(name + L"|" + std::to_wstring(level) + L"|" + text);
  });
  ::testing::internal::CaptureStderr();
  MessageLogger(L"n", 1).LogMessage(L"%d%%", 5);
  MessageLogger(L"m", 2).LogMessage(L"x\ny");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"n|1|%d%%", L"m|2|x\ny"}));

  MessageLogger::SetSink(MessageLogger::Sink());
  ::testing::internal::CaptureStderr();
  MessageLogger(L"n", 1).LogMessage(L"back");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "n[1]: back\n");
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace qel
