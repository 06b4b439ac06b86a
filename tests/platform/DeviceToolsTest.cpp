#include "qel/platform/DeviceTools.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/DeviceQueryHook.h"
#include "qel/platform/Orvane.h"

namespace qel {
namespace {

class DeviceToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A device with every fact set, one value per fact.
    DeviceUtils::SetDeviceInfo(0, L"fw-1");
    DeviceUtils::SetDeviceInfo(1, L"hw-2");
    DeviceUtils::SetDeviceInfo(2, L"Example Ltd");
    DeviceUtils::SetDeviceInfo(3, L"Phone-X 1.0");
    DeviceUtils::SetDeviceInfo(4, L"PT-7");
    DeviceUtils::SetDeviceInfo(5, L"8");
    DeviceUtils::SetDeviceInfo(6, L"0");
    DeviceUtils::SetDeviceInfo(7, L"unique");
    DeviceUtils::SetDeviceInfo(8, L"2.4.1");
  }
  void TearDown() override {
    platform::setDeviceQueryObserver(nullptr);
    DeviceUtils::ClearDeviceInfo();
  }
};

TEST_F(DeviceToolsTest, WorkedExample) {
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), "example_ltd.phone_x_1_0.pt-7");
  EXPECT_EQ(CWin32DeviceTools::getXQelKey(),
            "Brantelle - PT-7 - WP_V80 - 2.4.1 - example_ltd.phone_x_1_0.pt-7 - en");
  EXPECT_EQ(CWin32DeviceTools::getSwV(), "2.4.1");
  EXPECT_EQ(DeviceTools::getDeviceKey(), "example_ltd.phone_x_1_0.pt-7");
  EXPECT_EQ(DeviceTools::getXQelKey(),
            "Brantelle - PT-7 - WP_V80 - 2.4.1 - example_ltd.phone_x_1_0.pt-7 - en");
  EXPECT_EQ(DeviceTools::getSwV(), "2.4.1");
}

TEST_F(DeviceToolsTest, FilterAndCaseRules) {
  DeviceUtils::SetDeviceInfo(2, L"ACME.Corp Intl-EU");
  DeviceUtils::SetDeviceInfo(3, L"Model_Z..  --9");
  DeviceUtils::SetDeviceInfo(4, L"Ab-CD.9 X");
  // The product type is lowercased, never filtered, in the device key, and
  // kept as reported in the X-key.
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), "acme_corp_intl_eu.model_z______9.ab-cd.9 x");
  EXPECT_EQ(
      CWin32DeviceTools::getXQelKey(),
      "Brantelle - Ab-CD.9 X - WP_V80 - 2.4.1 - acme_corp_intl_eu.model_z______9.ab-cd.9 x - en");
}

TEST_F(DeviceToolsTest, VersionsFollowEachOtherWithoutSeparator) {
  DeviceUtils::SetDeviceInfo(5, L"10");
  DeviceUtils::SetDeviceInfo(6, L"1");
  EXPECT_EQ(CWin32DeviceTools::getXQelKey(),
            "Brantelle - PT-7 - WP_V101 - 2.4.1 - example_ltd.phone_x_1_0.pt-7 - en");
}

TEST_F(DeviceToolsTest, EmptyFactsKeepTheSeparators) {
  DeviceUtils::SetDeviceInfo(4, L"");
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), "example_ltd.phone_x_1_0.");
  for (int index = 0; index < 9; ++index) {
    DeviceUtils::SetDeviceInfo(index, L"");
  }
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), "..");
  EXPECT_EQ(CWin32DeviceTools::getXQelKey(), "Brantelle -  - WP_V -  - .. - en");
  EXPECT_EQ(CWin32DeviceTools::getSwV(), "");
}

TEST_F(DeviceToolsTest, AnyCharactersComposeWithoutLoss) {
  // Windows-1252: U+00E9 is 0xE9, U+00C9 is 0xC9, U+20AC is 0x80.  Only the
  // letters A to Z are lowercased; control characters and NULs stay.
  DeviceUtils::SetDeviceInfo(2, std::wstring(L"Caf\u00e9\tS.A.\u00c9"));
  DeviceUtils::SetDeviceInfo(3, std::wstring(L"N\x01\x1f") + L'\0' + L"Z\u20ac");
  DeviceUtils::SetDeviceInfo(4, std::wstring(L"\u00c9X\x7f"));
  const std::string expected = std::string("caf\xe9\ts_a_\xc9") + "." +
                               std::string("n\x01\x1f", 3) + std::string(1, '\0') + "z\x80" + "." +
                               "\xc9x\x7f";
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), expected);
  EXPECT_EQ(CWin32DeviceTools::getXQelKey(),
            "Brantelle - \xc9X\x7f - WP_V80 - 2.4.1 - " + expected + " - en");
}

TEST_F(DeviceToolsTest, SdkVersionIsStoredAndChangesNoString) {
  EXPECT_EQ(CWin32DeviceTools::SDK_VERSION, "");
  const std::string key = CWin32DeviceTools::getDeviceKey();
  const std::string xkey = CWin32DeviceTools::getXQelKey();
  const std::string swv = CWin32DeviceTools::getSwV();
  CWin32DeviceTools::setSDKVersion("9.9 SDK-1");
  EXPECT_EQ(CWin32DeviceTools::SDK_VERSION, "9.9 SDK-1");
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey(), key);
  EXPECT_EQ(CWin32DeviceTools::getXQelKey(), xkey);
  EXPECT_EQ(CWin32DeviceTools::getSwV(), swv);
  CWin32DeviceTools::setSDKVersion("");
  EXPECT_EQ(CWin32DeviceTools::SDK_VERSION, "");
}

TEST_F(DeviceToolsTest, QueriesEveryFactAfreshForEachString) {
  std::array<int, 10> queries{};
  platform::setDeviceQueryObserver([&queries](int index) {
    ++queries[static_cast<std::size_t>(index >= 0 && index < 9 ? index : 9)];
  });

  CWin32DeviceTools::getXQelKey();
  // Product type twice (itself and through the device key), manufacturer,
  // name, both OS versions and the software version once each.
  EXPECT_EQ(queries, (std::array<int, 10>{0, 0, 1, 1, 2, 1, 1, 0, 1, 0}));

  queries.fill(0);
  CWin32DeviceTools::getDeviceKey();
  EXPECT_EQ(queries, (std::array<int, 10>{0, 0, 1, 1, 1, 0, 0, 0, 0, 0}));

  queries.fill(0);
  DeviceTools::getSwV();
  EXPECT_EQ(queries, (std::array<int, 10>{0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));

  // No caching: a fact changed between calls shows at once.
  DeviceUtils::SetDeviceInfo(8, L"3.0");
  EXPECT_EQ(DeviceTools::getSwV(), "3.0");
}

}  // namespace
}  // namespace qel
