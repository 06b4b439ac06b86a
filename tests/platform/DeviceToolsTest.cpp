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
    const wchar_t* const kFacts[] = {L"fw-1", L"hw-2", L"Example Ltd", L"Phone-X 1.0", L"PT-7",
                                     L"8",    L"0",    L"unique",      L"2.4.1"};
    for (int index = 0; index < 9; ++index) {
      DeviceUtils::SetDeviceInfo(index, kFacts[index]);
    }
  }
  void TearDown() override {
    platform::setDeviceQueryObserver(nullptr);
    DeviceUtils::ClearDeviceInfo();
  }
};

TEST_F(DeviceToolsTest, KeysComposeTheFactsFilteredAndCased) {
  EXPECT_EQ(DeviceTools::getSwV(), "2.4.1");
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

TEST_F(DeviceToolsTest, SdkVersionIsStoredAndChangesNoString) {
  const std::string key = CWin32DeviceTools::getDeviceKey();
  const std::string xkey = CWin32DeviceTools::getXQelKey();
  EXPECT_EQ(CWin32DeviceTools::SDK_VERSION, "");
  CWin32DeviceTools::setSDKVersion("9.9 SDK-1");
  EXPECT_EQ(CWin32DeviceTools::SDK_VERSION, "9.9 SDK-1");
  EXPECT_EQ(CWin32DeviceTools::getDeviceKey() + CWin32DeviceTools::getXQelKey(), key + xkey);
  EXPECT_EQ(CWin32DeviceTools::getSwV(), "2.4.1");
  CWin32DeviceTools::setSDKVersion("");
}

TEST_F(DeviceToolsTest, QueriesEveryFactAfreshForEachString) {
  std::array<int, 10> queries{};
  platform::setDeviceQueryObserver([&queries](int index) {
    ++queries[static_cast<std::size_t>(index >= 0 && index < 9 ? index : 9)];
  });
  // Product type twice (itself and through the device key), manufacturer,
  // name, both OS versions and the software version once each.
  CWin32DeviceTools::getXQelKey();
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
