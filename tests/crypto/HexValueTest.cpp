#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "crypto/HexPair.h"
#include "qel/core/Exception.h"
#include "qel/crypto/BlowFish.h"

using qel::CBlowFish;
using qel::IllegalStateException;
using qel::SBlock;

namespace {

CBlowFish makeCipher() {
  static const unsigned char key[] = "QelCoreKey";
  return CBlowFish(key, 10, SBlock(0x01020304u, 0x05060708u));
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

void expectBufferLengthError(CBlowFish& cipher, const std::string& text) {
  try {
    cipher.decodeValue(text);
    ADD_FAILURE() << "no exception for length " << text.size();
  } catch (const IllegalStateException& e) {
    EXPECT_EQ(L"Incorrect buffer length", e.getMessage());
  }
}

}  // namespace

// Expected texts: the values padded with spaces, enciphered in CBC mode by an
// independent Blowfish implementation with the same key and vector.
TEST(HexValue, EncodeLengthsAndPadding) {
  CBlowFish cipher = makeCipher();
  EXPECT_EQ("75881acc0d8a948a", cipher.encodeValue(""));
  EXPECT_EQ("2728476c3e14d7c7", cipher.encodeValue("1234567"));
  EXPECT_EQ("7bbac524adc701ceb9ba9a38ef3f4ceb", cipher.encodeValue("12345678"));
  EXPECT_EQ("f1853e4a4a511286586b6baef19f7b838c278f3385ff6d1b81225a867b279a85",
            cipher.encodeValue(std::string("secret value\0 with nul  ", 24)));
  for (std::size_t n = 0; n < 40; ++n) {
    EXPECT_EQ((n / 8 + 1) * 16, cipher.encodeValue(std::string(n, 'v')).size()) << n;
  }
}

TEST(HexValue, EncodingIsRepeatable) {
  CBlowFish cipher = makeCipher();
  const std::string first = cipher.encodeValue("same value");
  cipher.decodeValue(cipher.encodeValue("other"));
  EXPECT_EQ(first, cipher.encodeValue("same value"));
}

TEST(HexValue, RoundTripDropsTrailingSpacesAndNuls) {
  CBlowFish cipher = makeCipher();
  EXPECT_EQ("", cipher.decodeValue("75881acc0d8a948a"));
  EXPECT_EQ("1234567", cipher.decodeValue("2728476c3e14d7c7"));
  EXPECT_EQ("secret value with nul",
            cipher.decodeValue("f1853e4a4a511286586b6baef19f7b838c278f3385ff6d1b81225a867b279a85"));

  const struct {
    std::string value;
    std::string decoded;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"ends in spaces   ", "ends in spaces"},
      {"        ", ""},
      {"  inner  spaces kept", "  inner  spaces kept"},
      {std::string("a\0b\0", 4), "ab"},
      {std::string("\0\0\0\0\0\0\0\0", 8), ""},
      {std::string("x \0 ", 4), "x "},
      {"\xff\x80\x01 high bytes", "\xff\x80\x01 high bytes"},
      {std::string(1000, 'z'), std::string(1000, 'z')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.decoded, cipher.decodeValue(cipher.encodeValue(c.value)));
  }
}

TEST(HexValue, DecodeAcceptsUppercaseAndIgnoresAnOddLastCharacter) {
  CBlowFish cipher = makeCipher();
  const std::string text = cipher.encodeValue("Mixed Case 123");
  EXPECT_EQ("Mixed Case 123", cipher.decodeValue(upper(text)));
  EXPECT_EQ("Mixed Case 123", cipher.decodeValue(text + "7"));
  EXPECT_EQ("Mixed Case 123", cipher.decodeValue(text + "g"));
}

TEST(HexValue, DecodeRefusesLengthsThatAreNotWholeBlocks) {
  CBlowFish cipher = makeCipher();
  for (std::size_t n : {0u, 1u, 2u, 14u, 15u, 18u, 30u, 34u}) {
    expectBufferLengthError(cipher, std::string(n, '0'));
  }
  EXPECT_NO_THROW(cipher.decodeValue(std::string(16, '0')));
  EXPECT_NO_THROW(cipher.decodeValue(std::string(17, '0')));
  EXPECT_NO_THROW(cipher.decodeValue(std::string(33, '0')));
}

TEST(HexValue, DecodeReadsAnyCharacters) {
  // Non-hexadecimal texts decode to something or are refused, never more.
  CBlowFish cipher = makeCipher();
  const std::string odd[] = {
      std::string(16, ' '),  std::string(16, '-'),    "+f-f +1\t2zzxx0x1",
      std::string(32, '\0'), std::string(16, '\xff'), "-0-1-2-3-4-5-6-7",
  };
  for (const std::string& text : odd) {
    EXPECT_NO_THROW(cipher.decodeValue(text));
  }
  // Large texts in both directions.
  const std::string big(10 * 1024 * 1024, 'Q');
  const std::string encoded = cipher.encodeValue(big);
  EXPECT_EQ(2 * (big.size() + 8), encoded.size());
  EXPECT_EQ(big, cipher.decodeValue(encoded));
  EXPECT_NO_THROW(cipher.decodeValue(std::string(10 * 1024 * 1024 + 1, 'k')));
}

TEST(HexValue, PairsReadAsTheCLibraryReadsBase16) {
  // Every pair of byte values against strtol on the same two characters.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const char pair[3] = {static_cast<char>(a), static_cast<char>(b), '\0'};
      const auto expected = static_cast<unsigned char>(std::strtol(pair, nullptr, 16) & 0xFF);
      ASSERT_EQ(expected, qel::crypto_detail::hexPairByte(static_cast<unsigned char>(a),
                                                          static_cast<unsigned char>(b)))
          << a << " " << b;
    }
  }
}

TEST(HexValue, SignedAndSpacedPairsDecodeAsTheirValues) {
  // " f" is 15, "-1" is 255 (the low 8 bits of -1), "+a" is 10, "-f" is 241.
  CBlowFish cipher = makeCipher();
  EXPECT_EQ(cipher.decodeValue("0fff0af105fa0030"), cipher.decodeValue(" f-1+a-f 5-6+030"));
  EXPECT_EQ(cipher.decodeValue("0f000a0000000000"), cipher.decodeValue(" fx+a  \t0-z-+-+\n0"));
}
