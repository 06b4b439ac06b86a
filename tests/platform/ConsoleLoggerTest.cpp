#include "qel/platform/ConsoleLogger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qel/platform/Orvane.h"

namespace qel {
namespace {

std::wstring widenBytes(const std::string& bytes) {
  std::wstring out;
  for (char c : bytes) {
    out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  return out;
}

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
  // Initially only errors pass.
  ConsoleLogger::LogMessage(LOG_ERROR, "CComposite::add ERROR - Already exist!!!");
  ConsoleLogger::LogMessage(LOG_INFO, "cancelled");
  ConsoleLogger::LogMessage(LOG_DEBUG, "destroyed");
  EXPECT_EQ(_delivered, std::vector<std::wstring>{L"|1|CComposite::add ERROR - Already exist!!!"});
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

TEST_F(ConsoleLoggerTest, EnableLogSetsBothFlagsButSecondStageAloneDoesNot) {
  Win32ConsoleLogger::enableLog(true, "second");
  EXPECT_FALSE(DISPLAY_LOGS);
  ConsoleLogger::LogMessage(LOG_INFO, "held back");
  ConsoleLogger::enableLog(true, "app");
  EXPECT_TRUE(DISPLAY_LOGS && DISPLAY_ERROR_LOGS);
  ConsoleLogger::LogMessage(LOG_INFO, "info");
  ConsoleLogger::LogMessage(LOG_DEBUG, "debug");
  EXPECT_EQ(_delivered, std::vector<std::wstring>{L"app|2|info"});
  // Turning logging off leaves error notices alone.
  DISPLAY_ERROR_LOGS = false;
  ConsoleLogger::enableLog(false, "app");
  EXPECT_FALSE(DISPLAY_ERROR_LOGS);
  // The name is read through the pointer for every message.
  char name[] = "first";
  ConsoleLogger::enableLog(true, name);
  ConsoleLogger::LogMessage(LOG_INFO, "one");
  name[0] = 'F';
  ConsoleLogger::LogMessage(LOG_INFO, "two");
  EXPECT_EQ(_delivered, (std::vector<std::wstring>{L"app|2|info", L"first|2|one", L"First|2|two"}));
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
      {text.substr(0, 513), cut},
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
    EXPECT_EQ(roundTrip(c.first), widenBytes(c.second)) << c.first.size();
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

}  // namespace
}  // namespace qel
