// The text forms the qel tool prints and parses.

#include "TextForms.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qeltool::base64Decode;
using qeltool::base64Encode;

std::string encode(const std::string& bytes) {
  return base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

TEST(Base64, MatchesTheStandardVectors) {
  // RFC 4648, section 10.
  const char* const vectors[][2] = {{"", ""},
                                    {"f", "Zg=="},
                                    {"fo", "Zm8="},
                                    {"foo", "Zm9v"},
                                    {"foob", "Zm9vYg=="},
                                    {"fooba", "Zm9vYmE="},
                                    {"foobar", "Zm9vYmFy"}};
  for (const auto& vector : vectors) {
    EXPECT_EQ(encode(vector[0]), vector[1]);
    std::string decoded = "junk";
    ASSERT_TRUE(base64Decode(vector[1], decoded)) << vector[1];
    EXPECT_EQ(decoded, vector[0]);
  }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLength) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) {
    bytes += static_cast<char>((i * 7 + 3) & 0xff);
    std::string decoded;
    ASSERT_TRUE(base64Decode(encode(bytes), decoded));
    ASSERT_EQ(decoded, bytes) << "length " << bytes.size();
  }
}

TEST(Base64, RejectsWhatIsNotPaddedBase64) {
  std::string out;
  for (const char* bad :
       {"Zg=", "Zg", "Z===", "Zm9v=Zm9", "Zm9 ", "Zm9\n", "Zm-v", "=Zm9", "Zg==Zg=="}) {
    EXPECT_FALSE(base64Decode(bad, out)) << bad;
  }
  EXPECT_FALSE(base64Decode(std::string("Zm9\0", 4), out));
}

TEST(TextForms, EscapeKeepsEveryValueOnOneLine) {
  EXPECT_EQ(qeltool::escapeText("a\nb\rc\td\\e"), "a\\nb\\rc\\td\\\\e");
  EXPECT_EQ(qeltool::escapeText(std::string("\0\x1f\x7f", 3)), "\\x00\\x1f\\x7f");
  // Bytes above 0x7f are text in some code page and stay as they are.
  EXPECT_EQ(qeltool::escapeText("Zo\xc3\xab"), "Zo\xc3\xab");
}

TEST(TextForms, HexPairsParseInEitherCaseAndRefuseAnythingElse) {
  std::string out;
  ASSERT_TRUE(qeltool::parseHex("00ff7Fa0", out));
  EXPECT_EQ(out, std::string("\x00\xff\x7f\xa0", 4));
  EXPECT_EQ(qeltool::toHex(reinterpret_cast<const unsigned char*>(out.data()), out.size(), ":"),
            "00:ff:7f:a0");
  for (const char* bad : {"0", "0g", " 0", "+1", "0x"}) {
    EXPECT_FALSE(qeltool::parseHex(bad, out)) << bad;
  }
  const std::string bytes(20, '\x5a');
  EXPECT_EQ(qeltool::hexPreview(reinterpret_cast<const unsigned char*>(bytes.data()), 16),
            "5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a");
  EXPECT_EQ(
      qeltool::hexPreview(reinterpret_cast<const unsigned char*>(bytes.data()), 17).substr(47),
      " ...");
}

}  // namespace
