#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "crypto/HexPair.h"
#include "qel/core/Exception.h"
#include "qel/crypto/BlowFish.h"
#include "support/Thrown.h"

using qel::CBlowFish;
using qel::IllegalStateException;
using qel::SBlock;

namespace {

CBlowFish makeCipher() {
  static const unsigned char key[] = "QelCoreKey";
  return CBlowFish(key, 10, SBlock(0x01020304u, 0x05060708u));
}

}  // namespace

// Expected texts: the values padded with spaces, enciphered in CBC mode by an
// independent Blowfish implementation with the same key and vector.  They
// read back without the trailing spaces and NULs, in either case of digits
// and with an odd last character ignored.
TEST(HexValue, EncodedVectorsReadBackWithoutTrailingSpacesAndNuls) {
  const struct {
    std::string value;
    std::string text;
    const char* decoded;
  } cases[] = {{"", "75881acc0d8a948a", ""},
               {"1234567", "2728476c3e14d7c7", "1234567"},
               {"12345678", "7bbac524adc701ceb9ba9a38ef3f4ceb", "12345678"},
               {std::string("secret value\0 with nul  ", 24),
                "f1853e4a4a511286586b6baef19f7b838c278f3385ff6d1b81225a867b279a85",
                "secret value with nul"}};
  CBlowFish cipher = makeCipher();
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, cipher.encodeValue(c.value));
    EXPECT_EQ(c.decoded, cipher.decodeValue(c.text)) << c.text;
  }
  EXPECT_EQ("1234567", cipher.decodeValue("2728476C3E14D7C7"));
  EXPECT_EQ("1234567", cipher.decodeValue("2728476c3e14d7c77"));
  EXPECT_EQ("1234567", cipher.decodeValue("2728476c3e14d7c7g"));
  for (std::size_t n = 0; n < 40; ++n) {
    EXPECT_EQ((n / 8 + 1) * 16, cipher.encodeValue(std::string(n, 'v')).size()) << n;
  }
}

TEST(HexValue, RoundTripDropsOnlyTrailingSpacesAndNuls) {
  const struct {
    std::string value;
    std::string decoded;
  } cases[] = {{"ends in spaces   ", "ends in spaces"},
               {"        ", ""},
               {"  inner  spaces kept", "  inner  spaces kept"},
               {std::string("a\0b\0", 4), "ab"},
               {std::string(8, '\0'), ""},
               {std::string("x \0 ", 4), "x "},
               {"\xff\x80\x01 high bytes", "\xff\x80\x01 high bytes"},
               {std::string(1000, 'z'), std::string(1000, 'z')},
               {std::string(10 * 1024 * 1024, 'Q'), std::string(10 * 1024 * 1024, 'Q')}};
  CBlowFish cipher = makeCipher();
  for (const auto& c : cases) {
    EXPECT_EQ(c.decoded, cipher.decodeValue(cipher.encodeValue(c.value))) << c.value.size();
  }
}

TEST(HexValue, DecodeRefusesLengthsThatAreNotWholeBlocksAndReadsAnyCharacters) {
  CBlowFish cipher = makeCipher();
  for (std::size_t n : {0u, 1u, 2u, 14u, 15u, 18u, 30u, 34u}) {
    EXPECT_EQ(L"Incorrect buffer length", qel_test::messageOf<IllegalStateException>(
                                              [&] { cipher.decodeValue(std::string(n, '0')); }))
        << n;
  }
  // Non-hexadecimal texts of whole blocks decode to something, never more.
  for (const std::string& text :
       {std::string(16, '0'), std::string(17, '0'), std::string(33, '0'), std::string(16, ' '),
        std::string(32, '\0'), std::string(16, '\xff'), std::string("+f-f +1\t2zzxx0x1"),
        std::string(10 * 1024 * 1024 + 1, 'k')}) {
    EXPECT_NO_THROW(cipher.decodeValue(text)) << text.size();
  }
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
  // In whole texts: " f" is 15, "-1" is 255 (the low 8 bits of -1), "+a" is
  // 10, "-f" is 241.
  CBlowFish cipher = makeCipher();
  EXPECT_EQ(cipher.decodeValue("0fff0af105fa0030"), cipher.decodeValue(" f-1+a-f 5-6+030"));
  EXPECT_EQ(cipher.decodeValue("0f000a0000000000"), cipher.decodeValue(" fx+a  \t0-z-+-+\n0"));
}
