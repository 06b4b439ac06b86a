#include <gtest/gtest.h>

#include "qel/core/HashCode.h"

using qel::CHashCode;

TEST(HashCode, CreateHashChainsFnv1aOntoSeed) {
  EXPECT_EQ(440920331, CHashCode::createHash(-1, "abc"));
  EXPECT_EQ(1958145, CHashCode::createHash(0, "abc"));
  EXPECT_EQ(-204205, CHashCode::createHash(0, ""));
  EXPECT_EQ(-1891142968, CHashCode::createHash(-1, ""));
}

TEST(HashCode, CreateHashReadsEveryByteUnsigned) {
  // FNV-1a of the single byte 0xFF: (0x811C9DC5 ^ 0xFF) * 0x01000193.
  const std::uint32_t expected = (2166136261u ^ 0xFFu) * 16777619u;
  EXPECT_EQ(static_cast<int>(expected), CHashCode::createHash(-1, std::string(1, '\xFF')));
  // An embedded NUL takes part in the hash.
  EXPECT_NE(CHashCode::createHash(-1, std::string("a\0b", 3)), CHashCode::createHash(-1, "ab"));
}

TEST(HashCode, CombineFoldsThreeLowBytesOfFirstAndAllOfSecond) {
  EXPECT_EQ(0, CHashCode::combineHash(0, 0));
  EXPECT_EQ(1801088541, CHashCode::combineHash(1, 0));
  EXPECT_EQ(194481, CHashCode::combineHash(0, 1));
  EXPECT_EQ(0, CHashCode::combineHash(16777216, 0));
  EXPECT_EQ(CHashCode::combineHash(0x12345678, 99), CHashCode::combineHash(0x7F345678, 99));
}

TEST(HashCode, CombineTakesBytesAsSignedAndAddsTheSignOfSecond) {
  // second = -1: four terms of -1 and the sign term -1.
  const int expected = -(21 * 21 * 21 * 21 + 21 * 21 * 21 + 21 * 21 + 21 + 1);
  EXPECT_EQ(expected, CHashCode::combineHash(0, -1));
  // first = 0x80: the byte counts as -128.
  EXPECT_EQ(static_cast<int>(static_cast<std::uint32_t>(-128) * 1801088541u),
            CHashCode::combineHash(0x80, 0));
}

TEST(HashCode, RunningHashMultipliesBy33) {
  unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(108966, CHashCode::addToHashCode(abc, 3, 0));
  EXPECT_EQ(193485963, CHashCode::addToHashCode(abc, 3, 5381));
  EXPECT_EQ(6385036779LL, CHashCode::addToHashCodeFinal(abc, 3, 5381));
  EXPECT_EQ(231, CHashCode::addToHashCodeFinal(nullptr, 0, 7));
  EXPECT_EQ(7, CHashCode::addToHashCode(nullptr, 0, 7));
}

TEST(HashCode, RunningHashWrapsAt64Bits) {
  unsigned char high[] = {0xFF, 0xFF};
  const std::uint64_t start = 0x7FFFFFFFFFFFFFFFull;
  const std::uint64_t expected = (start * 33u + 0xFFu) * 33u + 0xFFu;
  EXPECT_EQ(static_cast<long long>(expected),
            CHashCode::addToHashCode(high, 2, static_cast<long long>(start)));
}
