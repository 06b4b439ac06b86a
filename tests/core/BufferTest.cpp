#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qel/core/Buffer.h"

using qel::Buffer;

namespace {

// Appends count bytes first, first + 1, ... (mod 256).
template <typename B>
void appendSequence(B& buffer, std::uint32_t count, std::uint32_t first) {
  std::vector<unsigned char> data(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    data[i] = static_cast<unsigned char>(first + i);
  }
  buffer.append(data.data(), count);
}

// Whether the buffer holds 0, 1, 2, ... (mod 256) up to count.
template <typename B>
bool holdsSequence(const B& buffer, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (buffer[i] != static_cast<unsigned char>(i)) {
      return false;
    }
  }
  return buffer.size() == count;
}

}  // namespace

// The storage stays inline while the elements fit; growth makes it one and a
// half times the need, at least 32, and keeps the elements.
TEST(Buffer, GrowthIsOneAndAHalfTimesTheNeedAtLeast32) {
  Buffer<unsigned char, 64> buffer;
  EXPECT_TRUE(buffer.isInline());
  EXPECT_EQ(64u, buffer.capacity());
  EXPECT_EQ(0, buffer.data()[63]);
  const struct {
    std::uint32_t count, capacity;
    bool isInline;
  } steps[] = {{40, 64, true},   {24, 64, true},  {0, 64, true},        {6, 105, false},
               {35, 105, false}, {1, 159, false}, {10000, 15159, false}};
  std::uint32_t size = 0;
  for (const auto& step : steps) {
    appendSequence(buffer, step.count, size);
    size += step.count;
    EXPECT_EQ(step.capacity, buffer.capacity()) << size;
    EXPECT_EQ(step.isInline, buffer.isInline()) << size;
    EXPECT_TRUE(holdsSequence(buffer, size)) << size;
  }
  Buffer<unsigned char, 4> small;
  appendSequence(small, 5, 0);  // need 5: 7, raised to 32
  EXPECT_EQ(32u, small.capacity());
  Buffer<wchar_t, 1> wide;
  const std::wstring text = L"\u20AC\U0001F600xyz0123456789ABCDEF0123456789AB";
  wide.append(text.data(), 21);  // 21 + 10 = 31, raised to 32
  EXPECT_EQ(32u, wide.capacity());
  wide.append(text.data() + 21, 12);  // need 33: 33 + 16
  EXPECT_EQ(49u, wide.capacity());
  EXPECT_EQ(text, std::wstring(wide.data(), wide.size()));
  buffer.append(nullptr, 0);
  EXPECT_EQ(15159u, buffer.capacity());
}

TEST(Buffer, ReserveAllocatesExactlyZeroFillsWhenEmptyAndKeepsElements) {
  Buffer<char, 16> buffer;
  buffer.reserve(16);
  EXPECT_TRUE(buffer.isInline());
  buffer.reserve(1000);
  EXPECT_TRUE(!buffer.isInline() && buffer.capacity() == 1000u);
  buffer.data()[5] = 'x';
  buffer.reserve(3000);  // still empty: a zero-filled array of the new size
  buffer.reserve(2000);
  EXPECT_EQ(std::string(3000, '\0'), std::string(buffer.data(), buffer.capacity()));
  Buffer<unsigned char, 8> used;
  appendSequence(used, 6, 0);
  used.reserve(100);
  appendSequence(used, 94, 6);
  EXPECT_EQ(100u, used.capacity());
  EXPECT_TRUE(holdsSequence(used, 100));
}

TEST(Buffer, ClearAndConsumeKeepStorage) {
  Buffer<unsigned char, 4> buffer;
  appendSequence(buffer, 10, 0);
  const std::uint32_t capacity = buffer.capacity();
  buffer.consume(3);
  EXPECT_EQ((std::vector<int>{7, 3, 9}),
            (std::vector<int>{static_cast<int>(buffer.size()), buffer[0], buffer[6]}));
  buffer.consume(100);
  EXPECT_EQ(0u, buffer.size());
  appendSequence(buffer, 5, 0);
  buffer.clear();
  EXPECT_EQ(0u, buffer.size());
  EXPECT_EQ(capacity, buffer.capacity());
}
