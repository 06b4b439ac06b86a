#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qel/crypto/Hash.h"

using qel::CHash;
using qel::CMD5;

namespace {

std::string md5Hex(const std::string& message) {
  CMD5 md5;
  md5.init();
  md5.update(reinterpret_cast<const unsigned char*>(message.data()),
             static_cast<unsigned int>(message.size()));
  md5.finish();
  std::string text;
  md5.toHexaDecimal(text);
  return text;
}

// Digest of message fed in pieces of the given sizes (the last piece takes
// whatever is left).
std::string md5HexInPieces(const std::vector<unsigned char>& message,
                           const std::vector<unsigned int>& pieces) {
  CMD5 md5;
  md5.init();
  std::size_t offset = 0;
  for (unsigned int piece : pieces) {
    if (offset + piece > message.size()) {
      break;
    }
    md5.update(message.data() + offset, piece);
    offset += piece;
  }
  md5.update(message.data() + offset, static_cast<unsigned int>(message.size() - offset));
  md5.finish();
  std::string text;
  md5.toHexaDecimal(text);
  return text;
}

std::vector<unsigned char> pattern(std::size_t n) {
  std::vector<unsigned char> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 7 + 3);
  }
  return bytes;
}

}  // namespace

TEST(MD5, Rfc1321TestSuite) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", md5Hex(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", md5Hex("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5Hex("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", md5Hex("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", md5Hex("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
            md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                   "7890"));
}

TEST(MD5, LengthsAroundThePaddingBoundary) {
  // 55 fits the count into the last block; 56 and more need a second one.
  EXPECT_EQ("ef1772b6dff9a122358552954ad0df65", md5Hex(std::string(55, 'a')));
  EXPECT_EQ("3b0c8ac703f828b04c6c197006d17218", md5Hex(std::string(56, 'a')));
  EXPECT_EQ("b06521f39153d618550606be297466d5", md5Hex(std::string(63, 'a')));
  EXPECT_EQ("014842d480b571495a4a0363793f7367", md5Hex(std::string(64, 'a')));
  EXPECT_EQ("c743a45e0d2e6a95cb859adae0248435", md5Hex(std::string(65, 'a')));
  EXPECT_EQ("8a7bd0732ed6a28ce75f6dabc90e1613", md5Hex(std::string(119, 'a')));
  EXPECT_EQ("5f61c0ccad4cac44c75ff505e1f1e537", md5Hex(std::string(120, 'a')));
}

TEST(MD5, AMillionAs) {
  EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", md5Hex(std::string(1000000, 'a')));
}

TEST(MD5, EverySplitGivesTheSameDigest) {
  const std::vector<unsigned char> message = pattern(1000);
  const std::string expected = "10046f077f2082ac19676b8079f1cb1a";
  EXPECT_EQ(expected, md5HexInPieces(message, {}));
  const std::vector<std::vector<unsigned int>> splits = {
      {0, 0, 1000},     {1, 63, 64, 65}, {63, 1, 0, 64}, {64, 64, 64},
      {65, 65, 65, 65}, {1, 1, 1, 1},    {999},          {0},
      {128, 0, 872},    {55, 9, 56, 8},
  };
  for (const auto& split : splits) {
    EXPECT_EQ(expected, md5HexInPieces(message, split));
  }
  std::mt19937 random(12345);
  for (int round = 0; round < 50; ++round) {
    std::vector<unsigned int> split;
    for (int i = 0; i < 12; ++i) {
      split.push_back(random() % 150);
    }
    EXPECT_EQ(expected, md5HexInPieces(message, split));
  }
}

TEST(MD5, UnalignedInputDigestsTheSame) {
  const std::vector<unsigned char> message = pattern(1000);
  std::vector<unsigned char> shifted(message.size() + 3);
  for (std::size_t offset = 1; offset <= 3; ++offset) {
    std::memcpy(shifted.data() + offset, message.data(), message.size());
    CMD5 md5;
    md5.init();
    md5.update(shifted.data() + offset, 1000);
    md5.finish();
    std::string text;
    md5.toHexaDecimal(text);
    EXPECT_EQ("10046f077f2082ac19676b8079f1cb1a", text) << offset;
  }
}

TEST(MD5, ToHexaDecimalAppends) {
  CMD5 md5;
  md5.init();
  md5.finish();
  std::string text = "abc";
  md5.toHexaDecimal(text);
  EXPECT_EQ("abcd41d8cd98f00b204e9800998ecf8427e", text);
  md5.toHexaDecimal(text);
  EXPECT_EQ("abcd41d8cd98f00b204e9800998ecf8427ed41d8cd98f00b204e9800998ecf8427e", text);
}

TEST(MD5, ResultBytesAreTheDigestInOrder) {
  CMD5 md5;
  md5.init();
  md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  md5.finish();
  const unsigned char expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                      0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_EQ(0, std::memcmp(expected, md5.getResult(), 16));
}

TEST(MD5, ReuseAfterInitIsIndependent) {
  CMD5 md5;
  md5.init();
  md5.update(reinterpret_cast<const unsigned char*>("message digest"), 14);
  md5.finish();
  md5.init();
  md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  md5.finish();
  std::string text;
  md5.toHexaDecimal(text);
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", text);

  // A message left unfinished is forgotten by init.
  md5.init();
  md5.update(reinterpret_cast<const unsigned char*>("abcdefgh"), 8);
  md5.init();
  md5.update(reinterpret_cast<const unsigned char*>("a"), 1);
  md5.finish();
  text.clear();
  md5.toHexaDecimal(text);
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", text);
}

// Counts the update calls that finish makes through the virtual slot.
class CountingMD5 : public CMD5 {
 public:
  void update(const unsigned char* data, unsigned int length) override {
    ++calls;
    lengths.push_back(length);
    CMD5::update(data, length);
  }
  int calls = 0;
  std::vector<unsigned int> lengths;
};

TEST(MD5, FinishPadsThroughVirtualUpdate) {
  CountingMD5 md5;
  md5.init();
  md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  md5.finish();
  ASSERT_EQ(3, md5.calls);
  EXPECT_EQ(53u, md5.lengths[1]);  // 56 - 3
  EXPECT_EQ(8u, md5.lengths[2]);

  CountingMD5 two;
  two.init();
  const std::string message(60, 'x');
  two.update(reinterpret_cast<const unsigned char*>(message.data()), 60);
  two.finish();
  ASSERT_EQ(3, two.calls);
  EXPECT_EQ(60u, two.lengths[1]);  // 120 - 60
}

TEST(MD5, CopiesOwnTheirResultAndContext) {
  CMD5 original;
  original.init();
  original.update(reinterpret_cast<const unsigned char*>("ab"), 2);

  CMD5 copy(original);
  EXPECT_NE(original.getResult(), copy.getResult());
  EXPECT_EQ("MD5", copy.getName());
  copy.update(reinterpret_cast<const unsigned char*>("c"), 1);
  copy.finish();
  original.update(reinterpret_cast<const unsigned char*>("x"), 1);
  original.finish();

  std::string copied;
  copy.toHexaDecimal(copied);
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", copied);

  // A copy of a finished digest keeps the bytes after the source is gone.
  auto* heapCopy = new CMD5(copy);
  CMD5 assigned;
  assigned = *heapCopy;
  delete heapCopy;
  std::string text;
  assigned.toHexaDecimal(text);
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", text);

  // Through the base interface as well.
  CHash& base = assigned;
  CMD5 other;
  other.init();
  other.finish();
  base = other;
  text.clear();
  assigned.toHexaDecimal(text);
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", text);
}

namespace {

// A digest of any size whose result is a running xor, to reach CHash alone.
class XorHash : public CHash {
 public:
  XorHash(const char* name, unsigned int size) : CHash(name, size) {}
  void init() override { std::memset(getResult(), 0, getSize()); }
  void update(const unsigned char* data, unsigned int length) override {
    for (unsigned int i = 0; i < length; ++i) {
      getResult()[i % getSize()] ^= data[i];
    }
  }
  void finish() override {}
};

}  // namespace

TEST(Hash, NameAndSizeFromTheConstructor) {
  XorHash empty("", 3);
  EXPECT_EQ("", empty.getName());
  XorHash null(nullptr, 2);
  EXPECT_EQ("", null.getName());
  XorHash named("xor", 3);
  EXPECT_EQ("xor", named.getName());
  EXPECT_EQ(3u, named.getSize());

  named.init();
  const unsigned char data[] = {0x0F, 0xA0, 0xFF, 0x01};
  named.update(data, 4);
  std::string text = "=";
  named.toHexaDecimal(text);
  EXPECT_EQ("=0ea0ff", text);

  XorHash copy(named);
  EXPECT_NE(copy.getResult(), named.getResult());
  copy.update(data, 1);
  text.clear();
  named.toHexaDecimal(text);
  EXPECT_EQ("0ea0ff", text);
  text.clear();
  copy.toHexaDecimal(text);
  EXPECT_EQ("01a0ff", text);

  // Assignment between different sizes takes the source's size and bytes.
  XorHash small("s", 1);
  small.init();
  small = named;
  EXPECT_EQ(3u, small.getSize());
  EXPECT_EQ("xor", small.getName());
  text.clear();
  small.toHexaDecimal(text);
  EXPECT_EQ("0ea0ff", text);
}
