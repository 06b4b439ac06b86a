#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "qel/core/Buffer.h"

using qel::Buffer;

namespace {

// Appends count bytes 0, 1, 2, ... (mod 256) starting from first.
template <typename B>
void appendSequence(B& buffer, std::uint32_t count, std::uint32_t first = 0) {
  std::vector<unsigned char> data(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    data[i] = static_cast<unsigned char>(first + i);
  }
  buffer.append(data.data(), count);
}

template <typename B>
void expectSequence(const B& buffer, std::uint32_t count) {
  ASSERT_EQ(count, buffer.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(i), buffer[i]) << "element " << i;
  }
}

}  // namespace

TEST(Buffer, StartsEmptyInlineAndZeroFilled) {
  Buffer<unsigned char, 512> buffer;
  EXPECT_EQ(0u, buffer.size());
  EXPECT_EQ(512u, buffer.capacity());
  EXPECT_TRUE(buffer.isInline());
  for (std::uint32_t i = 0; i < 512; ++i) {
    ASSERT_EQ(0, buffer.data()[i]);
  }
  Buffer<wchar_t, 2048> wide;
  EXPECT_EQ(2048u, wide.capacity());
  EXPECT_EQ(0, wide.data()[2047]);
}

TEST(Buffer, AppendWithinCapacityStaysInline) {
  Buffer<unsigned char, 64> buffer;
  appendSequence(buffer, 40);
  appendSequence(buffer, 24, 40);
  EXPECT_TRUE(buffer.isInline());
  EXPECT_EQ(64u, buffer.capacity());
  expectSequence(buffer, 64);
}

TEST(Buffer, GrowthIsOneAndAHalfTimesTheNeed) {
  Buffer<unsigned char, 64> buffer;
  appendSequence(buffer, 60);
  appendSequence(buffer, 10, 60);  // need 70: 70 + 35
  EXPECT_FALSE(buffer.isInline());
  EXPECT_EQ(105u, buffer.capacity());
  expectSequence(buffer, 70);

  appendSequence(buffer, 35, 70);  // exactly fills, no growth
  EXPECT_EQ(105u, buffer.capacity());
  buffer.append(static_cast<unsigned char>(105));  // need 106: 106 + 53
  EXPECT_EQ(159u, buffer.capacity());
  expectSequence(buffer, 106);
}

TEST(Buffer, GrowthIsAtLeast32) {
  Buffer<unsigned char, 4> buffer;
  appendSequence(buffer, 4);
  EXPECT_TRUE(buffer.isInline());
  buffer.append(static_cast<unsigned char>(4));  // need 5: 7, raised to 32
  EXPECT_EQ(32u, buffer.capacity());
  EXPECT_FALSE(buffer.isInline());
  expectSequence(buffer, 5);

  Buffer<char, 1> tiny;
  const char text[] = "abcdefghijklmnopqrstu";  // 21 characters: 21 + 10 = 31 -> 32
  tiny.append(text, 21);
  EXPECT_EQ(32u, tiny.capacity());
  const char more[] = "0123456789AB";  // need 33: 33 + 16
  tiny.append(more, 12);
  EXPECT_EQ(49u, tiny.capacity());
  EXPECT_EQ(33u, tiny.size());
  EXPECT_EQ('a', tiny[0]);
  EXPECT_EQ('B', tiny[32]);
}

TEST(Buffer, LargeSingleAppend) {
  Buffer<unsigned char, 4096> block;
  appendSequence(block, 10000);
  EXPECT_EQ(15000u, block.capacity());
  expectSequence(block, 10000);
}

TEST(Buffer, EmptyAppendChangesNothing) {
  Buffer<unsigned char, 8> buffer;
  buffer.append(nullptr, 0);
  EXPECT_EQ(0u, buffer.size());
  EXPECT_EQ(8u, buffer.capacity());
  EXPECT_TRUE(buffer.isInline());
  appendSequence(buffer, 8);
  buffer.append(nullptr, 0);
  EXPECT_EQ(8u, buffer.capacity());
  expectSequence(buffer, 8);
}

TEST(Buffer, ReserveAllocatesExactlyAndZeroFillsWhenEmpty) {
  Buffer<char, 16> buffer;
  buffer.reserve(16);
  EXPECT_TRUE(buffer.isInline());
  EXPECT_EQ(16u, buffer.capacity());
  buffer.reserve(3);
  EXPECT_EQ(16u, buffer.capacity());

  buffer.reserve(1000);
  EXPECT_FALSE(buffer.isInline());
  EXPECT_EQ(1000u, buffer.capacity());
  EXPECT_EQ(0u, buffer.size());
  for (std::uint32_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(0, buffer.data()[i]);
  }
  // Larger again, still empty: a zero-filled array of the new size.
  buffer.data()[5] = 'x';
  buffer.reserve(3000);
  EXPECT_EQ(3000u, buffer.capacity());
  for (std::uint32_t i = 0; i < 3000; ++i) {
    ASSERT_EQ(0, buffer.data()[i]);
  }
  buffer.reserve(2000);
  EXPECT_EQ(3000u, buffer.capacity());
}

TEST(Buffer, ReserveKeepsElementsInUse) {
  Buffer<unsigned char, 8> buffer;
  appendSequence(buffer, 6);
  buffer.reserve(100);
  EXPECT_EQ(100u, buffer.capacity());
  expectSequence(buffer, 6);
  appendSequence(buffer, 94, 6);
  EXPECT_EQ(100u, buffer.capacity());
  expectSequence(buffer, 100);
  appendSequence(buffer, 1, 100);  // need 101: 101 + 50
  EXPECT_EQ(151u, buffer.capacity());
  expectSequence(buffer, 101);
}

TEST(Buffer, WideElements) {
  Buffer<wchar_t, 2> buffer;
  const wchar_t text[] = L"\u20AC\U0001F600xyz";
  buffer.append(text, 5);
  EXPECT_EQ(32u, buffer.capacity());
  ASSERT_EQ(5u, buffer.size());
  EXPECT_EQ(std::wstring(text, 5), std::wstring(buffer.data(), buffer.size()));
}

TEST(Buffer, ClearAndConsumeKeepStorage) {
  Buffer<unsigned char, 4> buffer;
  appendSequence(buffer, 10);
  const std::uint32_t capacity = buffer.capacity();
  buffer.consume(3);
  ASSERT_EQ(7u, buffer.size());
  EXPECT_EQ(3, buffer[0]);
  EXPECT_EQ(9, buffer[6]);
  buffer.consume(100);
  EXPECT_EQ(0u, buffer.size());
  appendSequence(buffer, 5);
  buffer.clear();
  EXPECT_EQ(0u, buffer.size());
  EXPECT_EQ(capacity, buffer.capacity());
}
