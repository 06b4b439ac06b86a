#include "qel/platform/ConsoleLogger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qel/platform/Orvane.h"

namespace qel {
namespace {

struct Delivered {
  std::wstring name;
  int level;
  std::wstring text;
};

std::wstring widenBytes(const std::string& bytes) {
  std::wstring out;
  for (char c : bytes) {
    out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  return out;
}

class ConsoleLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConsoleLogger::enableLog(false, nullptr);
    DISPLAY_LOGS = false;
    DISPLAY_ERROR_LOGS = true;
    MessageLogger::SetSink([this](const std::wstring& name, int level, const std::wstring& text) {
      _delivered.push_back(Delivered{name, level, text});
    });
  }

  void TearDown() override {
    MessageLogger::SetSink(MessageLogger::Sink());
    ConsoleLogger::enableLog(false, nullptr);
    DISPLAY_LOGS = false;
    DISPLAY_ERROR_LOGS = true;
  }

  // Logs message as finished text through the formatting stage.
  std::wstring roundTrip(const std::string& message) {
    _delivered.clear();
    ConsoleLogger::LogMessage(LOG_ERROR, "%s", message.c_str());
    EXPECT_EQ(_delivered.size(), 1u);
    return _delivered.empty() ? std::wstring() : _delivered.back().text;
  }

  std::vector<Delivered> _delivered;
};

TEST_F(ConsoleLoggerTest, InitialFlagsLetOnlyErrorsThrough) {
  EXPECT_FALSE(DISPLAY_LOGS);
  EXPECT_TRUE(DISPLAY_ERROR_LOGS);
  ConsoleLogger::LogMessage(LOG_ERROR, "CComposite::add ERROR - Already exist!!!");
  ConsoleLogger::LogMessage(LOG_INFO, "cancelled");
  ConsoleLogger::LogMessage(LOG_DEBUG, "destroyed");
  ASSERT_EQ(_delivered.size(), 1u);
  EXPECT_EQ(_delivered[0].level, 1);
  EXPECT_EQ(_delivered[0].text, L"CComposite::add ERROR - Already exist!!!");
  EXPECT_EQ(_delivered[0].name, L"");
}

TEST_F(ConsoleLoggerTest, PolicyTableForEveryFlagCombination) {
  for (int mask = 0; mask < 8; ++mask) {
    const bool displayLogs = (mask & 1) != 0;
    const bool displayErrors = (mask & 2) != 0;
    const bool loggerEnabled = (mask & 4) != 0;
    for (logger_message_type type : {LOG_ERROR, LOG_INFO, LOG_DEBUG}) {
      Win32ConsoleLogger::enableLog(loggerEnabled, "policy");
      DISPLAY_LOGS = displayLogs;
      DISPLAY_ERROR_LOGS = displayErrors;
      _delivered.clear();
      ConsoleLogger::LogMessage(type, "message %d", static_cast<int>(type));

      bool expected = false;
      int level = 0;
      if (type == LOG_ERROR) {
        expected = displayErrors;
        level = 1;
      } else if (type == LOG_INFO) {
        expected = displayLogs && loggerEnabled;
        level = 2;
      }
      SCOPED_TRACE("mask " + std::to_string(mask) + " type " + std::to_string(type));
      ASSERT_EQ(_delivered.size(), expected ? 1u : 0u);
      if (expected) {
        EXPECT_EQ(_delivered[0].level, level);
        EXPECT_EQ(_delivered[0].name, L"policy");
        EXPECT_EQ(_delivered[0].text, L"message " + std::to_wstring(static_cast<int>(type)));
      }
    }
  }
}

TEST_F(ConsoleLoggerTest, EnableLogSetsBothFlagsButSecondStageAloneDoesNot) {
  Win32ConsoleLogger::enableLog(true, "second");
  EXPECT_FALSE(DISPLAY_LOGS);
  ConsoleLogger::LogMessage(LOG_INFO, "held back");
  EXPECT_TRUE(_delivered.empty());

  ConsoleLogger::enableLog(true, "app");
  EXPECT_TRUE(DISPLAY_LOGS);
  EXPECT_TRUE(DISPLAY_ERROR_LOGS);
  ConsoleLogger::LogMessage(LOG_INFO, "info");
  ConsoleLogger::LogMessage(LOG_DEBUG, "debug");
  ASSERT_EQ(_delivered.size(), 1u);
  EXPECT_EQ(_delivered[0].name, L"app");
  EXPECT_EQ(_delivered[0].level, 2);

  // Turning logging off leaves error notices alone.
  DISPLAY_ERROR_LOGS = false;
  ConsoleLogger::enableLog(false, "app");
  EXPECT_FALSE(DISPLAY_ERROR_LOGS);
}

TEST_F(ConsoleLoggerTest, SecondStageFiltersAndNeverFormats) {
  Win32ConsoleLogger::LogMessage(LOG_INFO, "not enabled");
  EXPECT_TRUE(_delivered.empty());
  Win32ConsoleLogger::LogMessage(LOG_ERROR, "50%s and %d%%", 7);
  Win32ConsoleLogger::enableLog(true, "w");
  Win32ConsoleLogger::LogMessage(LOG_INFO, "info %n");
  Win32ConsoleLogger::LogMessage(LOG_DEBUG, "debug");
  Win32ConsoleLogger::LogMessage(static_cast<logger_message_type>(9), "unknown type");
  Win32ConsoleLogger::LogMessage(LOG_ERROR, nullptr);
  ASSERT_EQ(_delivered.size(), 2u);
  EXPECT_EQ(_delivered[0].text, L"50%s and %d%%");
  EXPECT_EQ(_delivered[0].level, 1);
  EXPECT_EQ(_delivered[1].text, L"info %n");
  EXPECT_EQ(_delivered[1].level, 2);
  EXPECT_EQ(_delivered[1].name, L"w");
}

TEST_F(ConsoleLoggerTest, ExpandsArgumentsAndKeepsPerCentSignsOfTheResult) {
  ConsoleLogger::LogMessage(LOG_ERROR, "read %d of %u bytes from %s", -3, 512u, "a.bin");
  ConsoleLogger::LogMessage(LOG_ERROR, "%s", "100% done %d %s");
  ConsoleLogger::LogMessage(LOG_ERROR, "rate %d%%", 50);
  ASSERT_EQ(_delivered.size(), 3u);
  EXPECT_EQ(_delivered[0].text, L"read -3 of 512 bytes from a.bin");
  EXPECT_EQ(_delivered[1].text, L"100% done %d %s");
  EXPECT_EQ(_delivered[2].text, L"rate 50%");
}

TEST_F(ConsoleLoggerTest, LongExpansionsAreCutAt508PlusEllipsis) {
  std::string text;
  for (int i = 0; i < 1500; ++i) {
    text.push_back(static_cast<char>('a' + i % 26));
  }
  EXPECT_EQ(roundTrip(text.substr(0, 510)), widenBytes(text.substr(0, 510)));
  EXPECT_EQ(roundTrip(text.substr(0, 511)), widenBytes(text.substr(0, 511)));
  const std::wstring cut = widenBytes(text.substr(0, 508) + "...");
  ASSERT_EQ(cut.size(), 511u);
  EXPECT_EQ(roundTrip(text.substr(0, 512)), cut);
  EXPECT_EQ(roundTrip(text.substr(0, 513)), cut);
  EXPECT_EQ(roundTrip(text), cut);
  // A cut message keeps a line feed that falls inside its first 508.
  EXPECT_EQ(roundTrip(text.substr(0, 507) + "\n" + text.substr(0, 100)),
            widenBytes(text.substr(0, 507) + "\n..."));
  // 511 characters ending in a line feed are not cut; the line feed goes.
  EXPECT_EQ(roundTrip(text.substr(0, 510) + "\n"), widenBytes(text.substr(0, 510)));
  // 512 characters ending in a line feed are cut before it.
  EXPECT_EQ(roundTrip(text.substr(0, 511) + "\n"), cut);
}

TEST_F(ConsoleLoggerTest, RemovesOnlyOneFinalLineFeed) {
  EXPECT_EQ(roundTrip("done\n"), L"done");
  EXPECT_EQ(roundTrip("done\n\n"), L"done\n");
  EXPECT_EQ(roundTrip("two\nlines"), L"two\nlines");
  EXPECT_EQ(roundTrip("\n"), L"");
  EXPECT_EQ(roundTrip("\r\n"), L"\r");
  EXPECT_EQ(roundTrip(""), L"");
}

TEST_F(ConsoleLoggerTest, NameIsReadThroughThePointerForEveryMessage) {
  char name[] = "first";
  ConsoleLogger::enableLog(true, name);
  ConsoleLogger::LogMessage(LOG_INFO, "one");
  ConsoleLogger::LogMessage(LOG_ERROR, "two");
  name[0] = 'F';
  ConsoleLogger::LogMessage(LOG_INFO, "three");
  ASSERT_EQ(_delivered.size(), 3u);
  EXPECT_EQ(_delivered[0].name, L"first");
  EXPECT_EQ(_delivered[1].name, L"first");
  EXPECT_EQ(_delivered[2].name, L"First");
}

TEST_F(ConsoleLoggerTest, BytesOutsideAsciiBecomeTheCharacterOfTheSameValue) {
  // The test runs in the default C locale.
  ConsoleLogger::enableLog(true, "n\xe4me");
  ConsoleLogger::LogMessage(LOG_ERROR, "caf\xe9 \x01\x7f\xff");
  ASSERT_EQ(_delivered.size(), 1u);
  EXPECT_EQ(_delivered[0].text, std::wstring(L"caf\u00e9 \u0001\u007f\u00ff"));
  EXPECT_EQ(_delivered[0].name, std::wstring(L"n\u00e4me"));
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
  EXPECT_TRUE(_delivered.empty());

  ConsoleLogger::LogMessage(LOG_ERROR, "still working");
  EXPECT_EQ(_delivered.size(), 1u);
}

}  // namespace
}  // namespace qel
