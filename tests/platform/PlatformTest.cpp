// The logger, the device strings and facts, module loading and the current
// directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/platform/ConsoleLogger.h"
#include "qel/platform/DeviceTools.h"
#include "qel/platform/ModuleDLL.h"
#include "qel/platform/Orvane.h"
#include "support/TempDir.h"
#include "support/Text.h"
#include "support/Threads.h"

namespace qel {
namespace {

// Every message that reaches the sink, as "name|level|text".
class ConsoleLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset();
    MessageLogger::SetSink([this](const std::wstring& name, int level, const std::wstring& text) {
      _delivered.push_back(name + L"|" + std::to_wstring(level) + L"|" + text);
    });
  }
  void TearDown() override {
    MessageLogger::SetSink(MessageLogger::Sink());
    reset();
  }
  static void reset() {
    ConsoleLogger::enableLog(false, nullptr);
    DISPLAY_LOGS = false;
    DISPLAY_ERROR_LOGS = true;
  }
  // Logs message as finished text through the formatting stage.
  std::wstring roundTrip(const std::string& message) {
    _delivered.clear();
    ConsoleLogger::LogMessage(LOG_ERROR, "%s", message.c_str());
    EXPECT_EQ(_delivered.size(), 1u);
    return _delivered.empty() ? std::wstring() : _delivered.back().substr(3);
  }
  std::vector<std::wstring> _delivered;
};

TEST_F(ConsoleLoggerTest, PolicyTableForEveryFlagCombination) {
  for (int mask = 0; mask < 8; ++mask) {
    for (logger_message_type type : {LOG_ERROR, LOG_INFO, LOG_DEBUG}) {
      SCOPED_TRACE("mask " + std::to_string(mask) + " type " + std::to_string(type));
      Win32ConsoleLogger::enableLog((mask & 4) != 0, "policy");
      DISPLAY_LOGS = (mask & 1) != 0;
      DISPLAY_ERROR_LOGS = (mask & 2) != 0;
      _delivered.clear();
      ConsoleLogger::LogMessage(type, "message %d", static_cast<int>(type));
      const bool expected =
          type == LOG_ERROR ? (mask & 2) != 0 : type == LOG_INFO && (mask & 5) == 5;
      const std::wstring line = L"policy|" + std::wstring(type == LOG_ERROR ? L"1" : L"2") +
                                L"|message " + std::to_wstring(static_cast<int>(type));
      EXPECT_EQ(_delivered,
                expected ? std::vector<std::wstring>{line} : std::vector<std::wstring>{});
    }
  }
}

// The name is read through the pointer for every message; turning logging
// off leaves error notices alone.
TEST_F(ConsoleLoggerTest, EnableLogSetsBothFlagsButSecondStageAloneDoesNot) {
  Win32ConsoleLogger::enableLog(true, "second");
  ConsoleLogger::LogMessage(LOG_INFO, "held back");
  char name[] = "first";
  ConsoleLogger::enableLog(true, name);
  ConsoleLogger::LogMessage(LOG_INFO, "one");
  ConsoleLogger::LogMessage(LOG_DEBUG, "debug");
  name[0] = 'F';
  ConsoleLogger::LogMessage(LOG_INFO, "two");
  EXPECT_EQ(_delivered, (std::vector<std::wstring>{L"first|2|one", L"First|2|two"}));
  DISPLAY_ERROR_LOGS = false;
  ConsoleLogger::enableLog(false, name);
  EXPECT_FALSE(DISPLAY_ERROR_LOGS || DISPLAY_LOGS);
}

TEST_F(ConsoleLoggerTest, SecondStageFiltersAndNeverFormats) {
  Win32ConsoleLogger::LogMessage(LOG_INFO, "not enabled");
  Win32ConsoleLogger::LogMessage(LOG_ERROR, "50%s and %d%%", 7);
  Win32ConsoleLogger::enableLog(true, "w");
  Win32ConsoleLogger::LogMessage(LOG_INFO, "info %n");
  Win32ConsoleLogger::LogMessage(LOG_DEBUG, "debug");
  Win32ConsoleLogger::LogMessage(static_cast<logger_message_type>(9), "unknown type");
  Win32ConsoleLogger::LogMessage(LOG_ERROR, nullptr);
  EXPECT_EQ(_delivered, (std::vector<std::wstring>{L"|1|50%s and %d%%", L"w|2|info %n"}));
}

TEST_F(ConsoleLoggerTest, FormatsCutsAt508AndRemovesOneFinalLineFeed) {
  ConsoleLogger::LogMessage(LOG_ERROR, "read %d of %u bytes from %s", -3, 512u, "a.bin");
  ConsoleLogger::LogMessage(LOG_ERROR, "%s", "100% done %d %s");
  ConsoleLogger::LogMessage(LOG_ERROR, "rate %d%%", 50);
  EXPECT_EQ(_delivered, (std::vector<std::wstring>{L"|1|read -3 of 512 bytes from a.bin",
                                                   L"|1|100% done %d %s", L"|1|rate 50%"}));
  std::string text;
  for (int i = 0; i < 1500; ++i) {
    text.push_back(static_cast<char>('a' + i % 26));
  }
  const std::string cut = text.substr(0, 508) + "...";
  const std::pair<std::string, std::string> kCases[] = {
      {text.substr(0, 510), text.substr(0, 510)},
      {text.substr(0, 511), text.substr(0, 511)},
      {text.substr(0, 512), cut},
      {text, cut},
      // A line feed inside the first 508 stays; 511 characters and a line
      // feed are not cut but lose it; 512 and a line feed are cut before it.
      {text.substr(0, 507) + "\n" + text.substr(0, 100), text.substr(0, 507) + "\n..."},
      {text.substr(0, 510) + "\n", text.substr(0, 510)},
      {text.substr(0, 511) + "\n", cut},
      {"done\n", "done"},
      {"done\n\n", "done\n"},
      {"two\nlines", "two\nlines"},
      {"\n", ""},
      {"\r\n", "\r"},
      {"", ""},
      // Bytes outside ASCII become the character of the same value (in the
      // default C locale of the test).
      {"caf\xe9 \x01\x7f\xff", "caf\xe9 \x01\x7f\xff"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(roundTrip(c.first), qel_test::widen(c.second)) << c.first.size();
  }
  ConsoleLogger::enableLog(true, "n\xe4me");
  ConsoleLogger::LogMessage(LOG_ERROR, "x");
  EXPECT_EQ(_delivered.back(), L"n\u00e4me|1|x");
}

TEST_F(ConsoleLoggerTest, BadFormatsLogNothing) {
  // Called through a pointer so that the compiler's format check does not
  // refuse the deliberately bad calls.
  void (*const log)(logger_message_type, const char*, ...) = &ConsoleLogger::LogMessage;
  log(LOG_ERROR, nullptr);
  log(LOG_ERROR, nullptr, 1);
  // A wide argument that no multibyte encoding can represent.
  const wchar_t unencodable[] = {static_cast<wchar_t>(0x7FFFFFFF), 0};
  char probe[16];
  ASSERT_LT(std::snprintf(probe, sizeof(probe), "%ls", unencodable), 0);
  log(LOG_ERROR, "bad %ls", unencodable);
  ConsoleLogger::LogMessage(LOG_ERROR, "still working");
  EXPECT_EQ(_delivered, std::vector<std::wstring>{L"|1|still working"});
}

class DeviceToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A device with every fact set, one value per fact.
    const wchar_t* const kFacts[] = {L"fw-1", L"hw-2", L"Example Ltd", L"Phone-X 1.0", L"PT-7",
                                     L"8",    L"0",    L"unique",      L"2.4.1"};
    for (int index = 0; index < 9; ++index) {
      DeviceUtils::SetDeviceInfo(index, kFacts[index]);
    }
  }
  void TearDown() override {
    DeviceUtils::ClearDeviceInfo();
    CWin32DeviceTools::setSDKVersion("");
  }
};

TEST_F(DeviceToolsTest, KeysComposeTheFactsFilteredAndCased) {
  EXPECT_EQ(DeviceTools::getSwV(), "2.4.1");
  // The SDK version is kept and shows in no string.
  CWin32DeviceTools::setSDKVersion("9.9 SDK-1");
  EXPECT_EQ(CWin32DeviceTools::SDK_VERSION, "9.9 SDK-1");
  // Only the letters A to Z are lowercased; the product type is lowercased,
  // never filtered, in the device key and kept as reported in the X-key.
  // Windows-1252: U+00E9 is 0xE9, U+00C9 is 0xC9, U+20AC is 0x80; control
  // characters and NULs stay.
  const struct {
    int index;
    std::wstring value;
    std::string key;
    std::string xkey;
  } kCases[] = {
      {5, L"8", "example_ltd.phone_x_1_0.pt-7", "PT-7 - WP_V80 - 2.4.1"},
      {2, L"ACME.Corp Intl-EU", "acme_corp_intl_eu.phone_x_1_0.pt-7", "PT-7 - WP_V80 - 2.4.1"},
      {3, L"Model_Z..  --9", "acme_corp_intl_eu.model_z______9.pt-7", "PT-7 - WP_V80 - 2.4.1"},
      {4, L"Ab-CD.9 X", "acme_corp_intl_eu.model_z______9.ab-cd.9 x", "Ab-CD.9 X - WP_V80 - 2.4.1"},
      {5, L"10", "acme_corp_intl_eu.model_z______9.ab-cd.9 x", "Ab-CD.9 X - WP_V100 - 2.4.1"},
      {6, L"1", "acme_corp_intl_eu.model_z______9.ab-cd.9 x", "Ab-CD.9 X - WP_V101 - 2.4.1"},
      {2, L"Caf\u00e9\tS.A.\u00c9", "caf\xe9\ts_a_\xc9.model_z______9.ab-cd.9 x",
       "Ab-CD.9 X - WP_V101 - 2.4.1"},
      {3, std::wstring(L"N\x01\x1f") + L'\0' + L"Z\u20ac",
       "caf\xe9\ts_a_\xc9.n\x01\x1f" + std::string(1, '\0') + "z\x80.ab-cd.9 x",
       "Ab-CD.9 X - WP_V101 - 2.4.1"},
      {4, L"\u00c9X\x7f", "caf\xe9\ts_a_\xc9.n\x01\x1f" + std::string(1, '\0') + "z\x80.\xc9x\x7f",
       "\xc9X\x7f - WP_V101 - 2.4.1"},
      {4, L"", "caf\xe9\ts_a_\xc9.n\x01\x1f" + std::string(1, '\0') + "z\x80.",
       " - WP_V101 - 2.4.1"}};
  for (const auto& c : kCases) {
    DeviceUtils::SetDeviceInfo(c.index, c.value);
    EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), c.key);
    EXPECT_EQ(DeviceTools::getDeviceKey(), c.key);
    const std::string xkey = "Brantelle - " + c.xkey + " - " + c.key + " - en";
    EXPECT_EQ(CWin32DeviceTools::getXQelKey(), xkey);
    EXPECT_EQ(DeviceTools::getXQelKey(), xkey);
  }
  // Empty facts keep the separators.
  for (int index = 0; index < 9; ++index) {
    DeviceUtils::SetDeviceInfo(index, L"");
  }
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), "..");
  EXPECT_EQ(CWin32DeviceTools::getXQelKey(), "Brantelle -  - WP_V -  - .. - en");
  EXPECT_EQ(CWin32DeviceTools::getSwV(), "");
}

using AddFunction = int (*)(int, int);

const std::wstring kModulePath = qel_test::widen(QEL_TEST_MODULE_PATH);
const std::wstring kAdd = L"qel_test_module_add";

// The message and error code of the OSException that call throws.
std::pair<std::wstring, int> failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const OSException& e) {
    return {e.getMessage(), e.getErrorCode()};
  }
  return {L"<nothing thrown>", 0};
}

TEST(ModuleDLLTest, FindsExportsByNameAndCopiesShareTheModule) {
  void* expected = nullptr;
  CModuleDLL second(kModulePath);
  {
    CModuleDLL first(kModulePath);
    const auto add = reinterpret_cast<AddFunction>(first.symbol(kAdd));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    EXPECT_EQ(*static_cast<int*>(first.symbol(std::wstring(L"qel_test_module_counter"))), 41);
    CModuleDLL copy(first);
    CModuleDLL assigned(second);
    assigned = first;
    expected = first.symbol(kAdd);
    EXPECT_EQ(copy.symbol(kAdd), expected);
    EXPECT_EQ(assigned.symbol(kAdd), expected);
  }
  // The others are gone; the module is still loaded and callable.
  EXPECT_EQ(second.symbol(kAdd), expected);
  EXPECT_EQ(reinterpret_cast<AddFunction>(second.symbol(kAdd))(20, 22), 42);
}

TEST(ModuleDLLTest, APathThatIsNotUtf8LoadsTheFileOfItsBytes) {
  qel_test::TempDir dir;
  std::filesystem::copy_file(QEL_TEST_MODULE_PATH, dir.path() / "m\xff.so");
  CModuleDLL module(qel_test::widen(dir.str()) + L"/m\xDCFF.so");
  EXPECT_EQ(reinterpret_cast<AddFunction>(module.symbol(kAdd))(2, 3), 5);
  EXPECT_EQ(EINVAL, failureOf([&] {
                      CModuleDLL other(qel_test::widen(dir.str()) + L"/m\xD800.so");
                    }).second);
}

TEST(ModuleDLLTest, FailuresCarryTheNameAndAnErrorCode) {
  // Without the checks an empty path would hand back the main program, and a
  // NUL would load a shorter path, or find a shorter name, than the one given.
  const std::wstring nulPath = kModulePath + std::wstring(1, L'\0') + L"x";
  for (const std::wstring& path :
       {std::wstring(L"/nonexistent-qel-dir/libmissing.so"),
        std::wstring(L"libqel-no-such-module.so"), qel_test::widen(QEL_TEST_NOT_A_MODULE),
        std::wstring(), nulPath}) {
    const auto failure = failureOf([&] { CModuleDLL module(path); });
    EXPECT_EQ(failure.first, path);
    EXPECT_TRUE(path.empty() || path == nulPath ? failure.second == EINVAL : failure.second != 0);
  }
  CModuleDLL module(kModulePath);
  for (const std::wstring& name :
       {std::wstring(L"qel_test_module_subtract"), kAdd + L'\0' + L"x"}) {
    const auto failure = failureOf([&] { module.symbol(name); });
    EXPECT_EQ(failure.first, name);
    EXPECT_NE(failure.second, 0);
  }
  for (int ordinal : {0, 1, 2, -1}) {
    const auto failure = failureOf([&] { module.symbol(ordinal); });
    EXPECT_EQ(failure.first, L"ordinal call");
    EXPECT_NE(failure.second, 0);
  }
}

namespace fs = std::filesystem;

TEST(DeviceUtilsTest, ReadsTheHostUnlessOverridden) {
  const DeviceUtils device;
  // The kernel's version ("6.8.0-45-generic" gives 6 and 8), the machine
  // type and the machine id, where the host has one.
  const std::wstring id = device.GetDeviceInfo(DeviceUtils::DEVICE_UNIQUE_ID);
  EXPECT_EQ(fs::exists("/etc/machine-id"), std::regex_match(id, std::wregex(L"[0-9a-f]{32}")))
      << id;
  EXPECT_TRUE(std::regex_match(device.GetDeviceInfo(DeviceUtils::OS_MAJOR_VERSION) + L"." +
                                   device.GetDeviceInfo(DeviceUtils::OS_MINOR_VERSION),
                               std::wregex(L"[0-9]+\\.[0-9]+")));
  const std::wstring hostType = device.GetDeviceInfo(DeviceUtils::PRODUCT_TYPE);
  EXPECT_FALSE(hostType.empty());
  const std::wstring hostVersion = device.GetDeviceInfo(DeviceUtils::APPLICATION_VERSION);
  EXPECT_EQ(hostVersion, qel_test::widen(QEL_TEST_VERSION_STRING));
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
    fs::current_path(_startDirectory);
  }
  const fs::path _startDirectory = fs::current_path();
};

TEST_F(OrvaneTest, ProcessDirectoryInWindowsFormUntilOverridden) {
  EXPECT_EQ(COrvane::GetCurrentDirectory(), windowsForm(fs::current_path()));
  fs::current_path("/");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"C:\\");
  // The host names the directory in UTF-8: "\xc3\xa9" is U+00E9.
  const fs::path parent = fs::canonical(fs::temp_directory_path());
  const fs::path dir = parent / std::string("qel orvane \xc3\xa9");
  fs::create_directories(dir);
  fs::current_path(dir);
  EXPECT_EQ(COrvane::GetCurrentDirectory(), windowsForm(parent) + L"\\qel orvane \u00e9");
  // A byte that is not UTF-8 stands as U+DC00 and the byte.
  fs::create_directory(dir / "\xff");
  fs::current_path(dir / "\xff");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), windowsForm(parent) + L"\\qel orvane \u00e9\\\xDCFF");
  fs::current_path(dir);
  fs::remove(dir / "\xff");
  // Removed, it is an error unless overridden.
  fs::remove(dir);
  try {
    COrvane::GetCurrentDirectory();
    ADD_FAILURE() << "a removed directory was reported";
  } catch (const OSException& e) {
    EXPECT_EQ(e.getErrorCode(), ENOENT);
  }
  COrvane::SetCurrentDirectory(L"D:\\apps\\data");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"D:\\apps\\data");
  EXPECT_EQ(COrvane::GetCurrentDirectoryOverride(), L"D:\\apps\\data");
  fs::current_path("/");
  COrvane::SetCurrentDirectory(L"");
  EXPECT_EQ(COrvane::GetCurrentDirectory(), L"C:\\");
}

TEST(OrvaneConcurrency, OverrideIsNeverSeenTorn) {
  const std::wstring first(200, L'a');
  const std::wstring second(300, L'b');
  std::atomic<int> torn{0};
  qel_test::onThreads(4, [&](int t) {
    for (int i = 0; i < 2000; ++i) {
      COrvane::SetCurrentDirectory((i + t) % 2 == 0 ? first : second);
      const std::wstring seen = COrvane::GetCurrentDirectoryOverride();
      torn += seen != first && seen != second;
    }
  });
  EXPECT_EQ(0, torn.load());
  COrvane::SetCurrentDirectory(L"");
}

TEST_F(ConsoleLoggerTest, MessageLoggerWritesToTheSinkOrOneUtf8LinePerMessageToStandardError) {
  ::testing::internal::CaptureStderr();
  MessageLogger(L"n", 1).LogMessage(L"%d%%", 5);
  MessageLogger(L"m", 2).LogMessage(L"x\ny");
  EXPECT_EQ(_delivered, (std::vector<std::wstring>{L"n|1|%d%%", L"m|2|x\ny"}));
  MessageLogger::SetSink(MessageLogger::Sink());
  MessageLogger(L"app", 1).LogMessage(L"50% %s d\u00f6ne");
  MessageLogger(nullptr, 2).LogMessage(L"");
  MessageLogger(L"app", 2).LogMessage(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "app: 50% %s d\xc3\xb6ne\nqelcore: \n");
}

// Lines on standard error start with the logger's name, "qelcore" without
// one; setName keeps a copy and leaves the flags alone, enableLog's name
// replaces it.
TEST_F(ConsoleLoggerTest, StandardErrorLinesStartWithTheLoggerName) {
  MessageLogger::SetSink(MessageLogger::Sink());
  ::testing::internal::CaptureStderr();
  ConsoleLogger::LogMessage(LOG_ERROR, "no name");
  ConsoleLogger::enableLog(true, nullptr);
  {
    std::string name = "tool";
    ConsoleLogger::setName(name);
    name = "gone";
  }
  ConsoleLogger::LogMessage(LOG_INFO, "named %d", 1);
  ConsoleLogger::setName("");
  ConsoleLogger::LogMessage(LOG_ERROR, "empty");
  ConsoleLogger::enableLog(false, "other");
  ConsoleLogger::LogMessage(LOG_INFO, "held back");
  ConsoleLogger::LogMessage(LOG_ERROR, "error");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "qelcore: no name\ntool: named 1\nqelcore: empty\nother: error\n");
}

}  // namespace
}  // namespace qel
