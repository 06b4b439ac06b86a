#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qel/crypto/Hash.h"

using qel::CHash;
using qel::CMD5;

namespace {

std::string hexOf(CHash& hash) {
  std::string text;
  hash.toHexaDecimal(text);
  return text;
}

// Digest of message fed in pieces of the given sizes, then the rest, from
// skew bytes past a word boundary.
std::string md5Hex(const std::string& message, const std::vector<unsigned int>& pieces = {},
                   std::size_t skew = 0) {
  CMD5 md5;
  md5.init();
  const std::string skewed = std::string(skew, 'x') + message;
  const auto* data = reinterpret_cast<const unsigned char*>(skewed.data()) + skew;
  std::size_t offset = 0;
  for (unsigned int piece : pieces) {
    if (offset + piece > message.size()) {
      break;
    }
    md5.update(data + offset, piece);
    offset += piece;
  }
  md5.update(data + offset, static_cast<unsigned int>(message.size() - offset));
  md5.finish();
  return hexOf(md5);
}

std::string pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<char>(i * 7 + 3);
  }
  return bytes;
}

void feed(CHash& hash, const char* text) {
  hash.update(reinterpret_cast<const unsigned char*>(text),
              static_cast<unsigned int>(std::strlen(text)));
}

const char* const kAbc = "900150983cd24fb0d6963f7d28e17f72";
const char* const kEmpty = "d41d8cd98f00b204e9800998ecf8427e";

}  // namespace

// The RFC 1321 test suite, then lengths around the padding boundary.
TEST(MD5, KnownDigests) {
  const std::pair<std::string, const char*> cases[] = {
      {"", kEmpty},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", kAbc},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
      {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"}};
  for (const auto& [message, digest] : cases) {
    EXPECT_EQ(digest, md5Hex(message)) << message.size() << " bytes";
  }
}

TEST(MD5, EverySplitAndAlignmentGivesTheSameDigest) {
  const std::string message = pattern(1000);
  const std::string expected = "10046f077f2082ac19676b8079f1cb1a";
  const std::vector<std::vector<unsigned int>> splits = {
      {},    {0, 0, 1000},  {1, 63, 64, 65}, {63, 1, 0, 64},   {64, 64, 64}, {1, 1, 1, 1},
      {999}, {128, 0, 872}, {55, 9, 56, 8},  {65, 65, 65, 65}, {3, 140, 7},  {100, 27, 1, 90}};
  for (const auto& split : splits) {
    EXPECT_EQ(expected, md5Hex(message, split));
  }
  for (std::size_t skew = 1; skew <= 3; ++skew) {
    EXPECT_EQ(expected, md5Hex(message, {}, skew)) << skew;
    EXPECT_EQ(expected, md5Hex(message, {1, 63, 64, 65}, skew)) << skew;
  }
}

TEST(MD5, ResultIsTheDigestInOrderAndTheHexTextIsAppended) {
  CMD5 md5;
  md5.init();
  feed(md5, "abc");
  md5.finish();
  EXPECT_EQ(0, std::memcmp("\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72",
                           md5.getResult(), 16));
  std::string text = "abc";
  md5.toHexaDecimal(text);
  md5.toHexaDecimal(text);
  EXPECT_EQ("abc" + std::string(kAbc) + kAbc, text);
}

// Counts the update calls that finish makes through the virtual slot.
class CountingMD5 : public CMD5 {
 public:
  void update(const unsigned char* data, unsigned int length) override {
    lengths.push_back(length);
    CMD5::update(data, length);
  }
  std::vector<unsigned int> lengths;
};

// finish pads through the virtual update, up to 56 (mod 64), then the bit
// count; neither a finished nor an unfinished message survives init.
TEST(MD5, FinishPadsThroughVirtualUpdateAndInitStartsAFreshMessage) {
  CountingMD5 md5;
  md5.init();
  feed(md5, std::string(60, 'x').c_str());
  md5.finish();
  EXPECT_EQ((std::vector<unsigned int>{60, 60, 8}), md5.lengths);
  md5.init();
  feed(md5, "abcdefgh");
  md5.init();
  feed(md5, "abc");
  md5.finish();
  EXPECT_EQ(kAbc, hexOf(md5));
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

// Copies own result and context, through the base and between sizes too.
TEST(Hash, CopiesAndAssignmentsOwnResultAndContext) {
  CMD5 original;
  original.init();
  feed(original, "ab");
  CMD5 copy(original);
  EXPECT_NE(original.getResult(), copy.getResult());
  feed(copy, "c");
  copy.finish();
  feed(original, "x");
  original.finish();
  auto* heapCopy = new CMD5(copy);
  CMD5 assigned;
  assigned = *heapCopy;
  delete heapCopy;
  EXPECT_EQ(kAbc, hexOf(assigned));
  CMD5 empty;
  empty.init();
  empty.finish();
  CHash& base = assigned;
  base = empty;
  EXPECT_EQ(kEmpty, hexOf(assigned));
  EXPECT_EQ("MD5", assigned.getName());

  EXPECT_EQ("", XorHash(nullptr, 2).getName());
  XorHash named("xor", 3);
  named.init();
  feed(named, "\x0F\xA0\xFF\x01");
  XorHash xorCopy(named);
  feed(xorCopy, "\x0F");
  EXPECT_EQ("0ea0ff", hexOf(named));
  EXPECT_EQ("01a0ff", hexOf(xorCopy));
  XorHash small("s", 1);
  small = named;
  EXPECT_EQ(3u, small.getSize());
  EXPECT_EQ("xor", small.getName());
  EXPECT_EQ("0ea0ff", hexOf(small));
}
