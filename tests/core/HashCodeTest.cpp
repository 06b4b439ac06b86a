#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "qel/core/HashCode.h"

using qel::CHashCode;

// FNV-1a chained onto the seed, over every byte read unsigned (an embedded
// NUL included).
TEST(HashCode, CreateHashChainsFnv1aOntoSeed) {
  EXPECT_EQ(440920331, CHashCode::createHash(-1, "abc"));
  EXPECT_EQ(1958145, CHashCode::createHash(0, "abc"));
  EXPECT_EQ(-204205, CHashCode::createHash(0, ""));
  EXPECT_EQ(-1891142968, CHashCode::createHash(-1, ""));
  // (0x811C9DC5 ^ 0xFF) * 0x01000193.
  EXPECT_EQ(static_cast<int>((2166136261u ^ 0xFFu) * 16777619u),
            CHashCode::createHash(-1, std::string(1, '\xFF')));
  EXPECT_NE(CHashCode::createHash(-1, std::string("a\0b", 3)), CHashCode::createHash(-1, "ab"));
}

// The three low bytes of the first and all of the second, each byte signed,
// and the sign of the second.
TEST(HashCode, CombineFoldsSignedBytes) {
  EXPECT_EQ(0, CHashCode::combineHash(0, 0));
  EXPECT_EQ(1801088541, CHashCode::combineHash(1, 0));
  EXPECT_EQ(194481, CHashCode::combineHash(0, 1));
  EXPECT_EQ(0, CHashCode::combineHash(16777216, 0));
  EXPECT_EQ(CHashCode::combineHash(0x12345678, 99), CHashCode::combineHash(0x7F345678, 99));
  EXPECT_EQ(-(21 * 21 * 21 * 21 + 21 * 21 * 21 + 21 * 21 + 21 + 1), CHashCode::combineHash(0, -1));
  EXPECT_EQ(static_cast<int>(static_cast<std::uint32_t>(-128) * 1801088541u),
            CHashCode::combineHash(0x80, 0));
}

TEST(HashCode, RunningHashMultipliesBy33AndWrapsAt64Bits) {
  unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(108966, CHashCode::addToHashCode(abc, 3, 0));
  EXPECT_EQ(193485963, CHashCode::addToHashCode(abc, 3, 5381));
  EXPECT_EQ(6385036779LL, CHashCode::addToHashCodeFinal(abc, 3, 5381));
  EXPECT_EQ(231, CHashCode::addToHashCodeFinal(nullptr, 0, 7));
  EXPECT_EQ(7, CHashCode::addToHashCode(nullptr, 0, 7));
  unsigned char high[] = {0xFF, 0xFF};
  const std::uint64_t start = 0x7FFFFFFFFFFFFFFFull;
  EXPECT_EQ(static_cast<long long>((start * 33u + 0xFFu) * 33u + 0xFFu),
            CHashCode::addToHashCode(high, 2, static_cast<long long>(start)));
}
