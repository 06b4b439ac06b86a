// The text forms the qel tool prints and parses.

#include "TextForms.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string encode(const std::string& bytes) {
  return qeltool::base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
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
    EXPECT_EQ(encode(vector[0]), vector[1]);
    decoded = "junk";
    ASSERT_TRUE(qeltool::base64Decode(vector[1], decoded)) << vector[1];
    EXPECT_EQ(decoded, vector[0]);
  }
  std::string bytes;  // every byte value at every length
  for (int i = 0; i < 300; ++i) {
    bytes += static_cast<char>((i * 7 + 3) & 0xff);
    ASSERT_TRUE(qeltool::base64Decode(encode(bytes), decoded));
    ASSERT_EQ(decoded, bytes) << "length " << bytes.size();
  }
  for (const std::string& bad :
       std::initializer_list<std::string>{"Zg=", "Zg", "Z===", "Zm9v=Zm9", "Zm9 ", "Zm9\n", "Zm-v",
                                          "=Zm9", "Zg==Zg==", std::string("Zm9\0", 4)}) {
    EXPECT_FALSE(qeltool::base64Decode(bad, decoded)) << bad;
  }
}

TEST(TextForms, EscapesAndHexPairs) {
  EXPECT_EQ(qeltool::escapeText("a\nb\rc\td\\e"), "a\\nb\\rc\\td\\\\e");
  EXPECT_EQ(qeltool::escapeText(std::string("\0\x1f\x7f", 3)), "\\x00\\x1f\\x7f");
  // Bytes above 0x7f are text in some code page and stay as they are.
  EXPECT_EQ(qeltool::escapeText("Zo\xc3\xab"), "Zo\xc3\xab");
  std::string out;
  ASSERT_TRUE(qeltool::parseHex("00ff7Fa0", out));
  EXPECT_EQ(out, std::string("\x00\xff\x7f\xa0", 4));
  EXPECT_EQ(qeltool::toHex(reinterpret_cast<const unsigned char*>(out.data()), out.size(), ":"),
            "00:ff:7f:a0");
  for (const char* bad : {"0", "0g", " 0", "+1", "0x"}) {
    EXPECT_FALSE(qeltool::parseHex(bad, out)) << bad;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>("ZZZZZZZZZZZZZZZZZZZZ");
  EXPECT_EQ(qeltool::hexPreview(bytes, 16), "5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a");
  EXPECT_EQ(qeltool::hexPreview(bytes, 17).substr(47), " ...");
}

}  // namespace
