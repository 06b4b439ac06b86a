// Bytes as hexadecimal and base64 text and back.

#include "qel/core/BinaryText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string base64(const std::string& bytes) {
  return qel::toBase64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

TEST(Base64, MatchesTheStandardVectorsRoundTripsAndRejectsWhatIsNotPaddedBase64) {
  // RFC 4648, section 10.
  const char* const vectors[][2] = {{"", ""},
                                    {"f", "Zg=="},
                                    {"fo", "Zm8="},
                                    {"foo", "Zm9v"},
                                    {"foob", "Zm9vYg=="},
                                    {"fooba", "Zm9vYmE="},
                                    {"foobar", "Zm9vYmFy"}};
  std::string decoded;
  for (const auto& vector : vectors) {
    EXPECT_EQ(base64(vector[0]), vector[1]);
    decoded = "junk";
    ASSERT_TRUE(qel::fromBase64(vector[1], decoded)) << vector[1];
    EXPECT_EQ(decoded, vector[0]);
  }
  std::string bytes;  // every byte value at every length
  for (int i = 0; i < 300; ++i) {
    bytes += static_cast<char>((i * 7 + 3) & 0xff);
    ASSERT_TRUE(qel::fromBase64(base64(bytes), decoded));
    ASSERT_EQ(decoded, bytes) << "length " << bytes.size();
  }
  for (const std::string& bad :
       std::initializer_list<std::string>{"Zg=", "Zg", "Z===", "====", "Zm9v=Zm9", "Zm9 ", "Zm9\n",
                                          "Zm-v", "=Zm9", "Zg==Zg==", std::string("Zm9\0", 4)}) {
    decoded = "kept";
    EXPECT_FALSE(qel::fromBase64(bad, decoded)) << bad;
    EXPECT_EQ(decoded, "kept") << bad;
  }
}

TEST(Hex, WritesLowerCaseReadsEitherCaseAndRejectsAnythingButPairsOfDigits) {
  std::string out;
  ASSERT_TRUE(qel::fromHex("00ff7Fa0", out));
  EXPECT_EQ(out, std::string("\x00\xff\x7f\xa0", 4));
  EXPECT_EQ(qel::toHex(reinterpret_cast<const unsigned char*>(out.data()), out.size()), "00ff7fa0");
  for (const char* bad : {"0", "0g", " 0", "+1", "0x", "g0"}) {
    out = "kept";
    EXPECT_FALSE(qel::fromHex(bad, out)) << bad;
    EXPECT_EQ(out, "kept") << bad;
  }
  ASSERT_TRUE(qel::fromHex("", out));
  EXPECT_EQ(out, "");
}

}  // namespace
