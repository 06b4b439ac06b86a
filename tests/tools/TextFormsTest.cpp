// The text forms the qel tool prints.

#include "TextForms.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextForms, EscapesControlCharactersAndPreviewsSixteenBytes) {
  EXPECT_EQ(qeltool::escapeText("a\nb\rc\td\\e"), "a\\nb\\rc\\td\\\\e");
  EXPECT_EQ(qeltool::escapeText(std::string("\0\x1f\x7f", 3)), "\\x00\\x1f\\x7f");
  // Bytes above 0x7f are text in some code page and stay as they are.
  EXPECT_EQ(qeltool::escapeText("Zo\xc3\xab"), "Zo\xc3\xab");
  const auto* bytes = reinterpret_cast<const unsigned char*>("ZZZZZZZZZZZZZZZZZZZZ");
  EXPECT_EQ(qeltool::hexPreview(bytes, 16), "5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a");
  EXPECT_EQ(qeltool::hexPreview(bytes, 17).substr(47), " ...");
}

}  // namespace
