#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "crypto/HexPair.h"
#include "qel/core/Exception.h"
#include "qel/crypto/BlowFish.h"
#include "support/Text.h"
#include "support/Thrown.h"

using qel::CBlowFish;
using qel::IllegalStateException;
using qel::SBlock;
using qel_test::messageOf;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes fromHex(const std::string& hex) {
  const std::string bytes = qel_test::bytesOfHex(hex);
  return Bytes(bytes.begin(), bytes.end());
}

CBlowFish makeCipher(const std::string& keyHex, const std::string& ivHex = "0000000000000000") {
  const Bytes key = fromHex(keyHex);
  const Bytes iv = fromHex(ivHex);
  const SBlock chain((iv[0] << 24u) | (iv[1] << 16u) | (iv[2] << 8u) | iv[3],
                     (iv[4] << 24u) | (iv[5] << 16u) | (iv[6] << 8u) | iv[7]);
  return CBlowFish(key.data(), static_cast<unsigned int>(key.size()), chain);
}

// Enciphers (forward) or deciphers data into a separate buffer.
Bytes run(CBlowFish& cipher, bool forward, Bytes data, int mode) {
  Bytes out(data.size(), 0xEE);
  const auto n = static_cast<unsigned int>(data.size());
  forward ? cipher.encrypt(data.data(), out.data(), n, mode)
          : cipher.decrypt(data.data(), out.data(), n, mode);
  return out;
}

Bytes pattern(std::size_t n, unsigned int step = 37, unsigned int base = 11) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(i * step + base);
  }
  return bytes;
}

// Eric Young's variable-key ECB test data: key, plain text, cipher text.
const char* const kEcbVectors[][3] = {{"0000000000000000", "0000000000000000", "4ef997456198dd78"},
                                      {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
                                      {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
                                      {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
                                      {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
                                      {"1111111111111111", "0123456789abcdef", "7d0cc630afda1ec7"},
                                      {"fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
                                      {"7ca110454a1a6e57", "01a1d6d039776742", "59c68245eb05282b"},
                                      {"0131d9619dc1376e", "5cd54ca83def57da", "b1b8cc0b250f09a0"},
                                      {"07a1133e4a0b2686", "0248d43806f67172", "1730e5778bea1da4"},
                                      {"3849674c2602319e", "51454b582ddf440a", "a25e7856cf2651eb"},
                                      {"04b915ba43feb5b6", "42fd443059577fa2", "353882b109ce8f1a"},
                                      {"0113b970fd34f2ce", "059b5e0851cf143a", "48f4d0884c379918"},
                                      {"0170f175468fb5e6", "0756d8e0774761d2", "432193b78951fc98"},
                                      {"43297fad38e373fe", "762514b829bf486a", "13f04154d69d1ae5"},
                                      {"07a7137045da2a16", "3bdd119049372802", "2eedda93ffd39c79"},
                                      {"04689104c2fd3b2f", "26955f6835af609a", "d887e0393c2da6e3"},
                                      {"37d06bb516cb7546", "164d5e404f275232", "5f99d04f5b163969"},
                                      {"1f08260d1ac2465e", "6b056e18759f5cca", "4a057a3b24d3977b"},
                                      {"584023641aba6176", "004bd6ef09176062", "452031c1e4fada8e"},
                                      {"025816164629b007", "480d39006ee762f2", "7555ae39f59b87bd"},
                                      {"49793ebc79b3258f", "437540c8698f3cfa", "53c55f9cb49fc019"},
                                      {"4fb05e1515ab73a7", "072d43a077075292", "7a8e7bfa937e89a3"},
                                      {"49e95d6d4ca229bf", "02fe55778117f12a", "cf9c5d7a4986adb5"},
                                      {"018310dc409b26d6", "1d9d5c5018f728c2", "d1abb290658bc778"},
                                      {"1c587f1c13924fef", "305532286d6f295a", "55cb3774d13ef201"},
                                      {"0101010101010101", "0123456789abcdef", "fa34ec4847b268b2"},
                                      {"1f1f1f1f0e0e0e0e", "0123456789abcdef", "a790795108ea3cae"},
                                      {"e0fee0fef1fef1fe", "0123456789abcdef", "c39e072d9fac631d"},
                                      {"0000000000000000", "ffffffffffffffff", "014933e0cdaff6e4"},
                                      {"ffffffffffffffff", "0000000000000000", "f21e9a77b71c49bc"},
                                      {"0123456789abcdef", "0000000000000000", "245946885754369a"},
                                      {"fedcba9876543210", "ffffffffffffffff", "6b5c5a9c5d9e0a5a"}};

// Eric Young's set-key data: the first n bytes of one key, n = 1 to 24,
// enciphering fedcba9876543210.
const char* const kSetKey = "f0e1d2c3b4a5968778695a4b3c2d1e0f0011223344556677";
const char* const kSetKeyCiphers[24] = {
    "f9ad597c49db005e", "e91d21c1d961a6d6", "e9c2b70a1bc65cf3", "be1e639408640f05",
    "b39e44481bdb1e6e", "9457aa83b1928c0d", "8bb77032f960629d", "e87a244e2cc85e82",
    "15750e7a4f4ec577", "122ba70b3ab64ae0", "3a833c9affc537f6", "9409da87a90f6bf2",
    "884f80625060b8b4", "1f85031c19e11968", "79d9373a714ca34f", "93142887ee3be15c",
    "03429e838ce2d14b", "a4299e27469ff67b", "afd5aed1c1bc96a8", "10851c0e3858da9f",
    "e6f51ed79b9db21f", "64a6e14afd36b46f", "80c7d7d45a5479ad", "05044b62fa52d080",
};

const char* const kChainKey = "0123456789abcdeff0e1d2c3b4a59687";
const char* const kChainIv = "fedcba9876543210";

// "7654321 Now is the time for " and its terminating NUL, zero-filled to 32.
Bytes chainData() {
  Bytes data(32, 0);
  std::memcpy(data.data(), "7654321 Now is the time for ", 28);
  return data;
}

// The cipher of the hexadecimal value texts.
CBlowFish valueCipher() {
  static const unsigned char key[] = "QelCoreKey";
  return CBlowFish(key, 10, SBlock(0x01020304u, 0x05060708u));
}

}  // namespace

TEST(BlowFish, EcbVariableKeyVectors) {
  for (const auto& [key, plain, enciphered] : kEcbVectors) {
    CBlowFish cipher = makeCipher(key);
    EXPECT_EQ(fromHex(enciphered), run(cipher, true, fromHex(plain), CBlowFish::ECB)) << key;
    EXPECT_EQ(fromHex(plain), run(cipher, false, fromHex(enciphered), CBlowFish::ECB)) << key;
  }
}

TEST(BlowFish, SetKeyVectorsFromOneToTwentyFourBytes) {
  const Bytes key = fromHex(kSetKey);
  for (unsigned int n = 1; n <= 24; ++n) {
    CBlowFish cipher(key.data(), n, SBlock());
    EXPECT_EQ(fromHex(kSetKeyCiphers[n - 1]),
              run(cipher, true, fromHex("fedcba9876543210"), CBlowFish::ECB))
        << n;
  }
}

// The published CBC and CFB streams (CFB with the zero fill's three bytes),
// through copies too: every call starts from the stored vector.
TEST(BlowFish, ChainedVectorsAlsoThroughCopies) {
  const std::pair<int, const char*> cases[] = {
      {CBlowFish::CBC, "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc"},
      {CBlowFish::CFB, "e73214a2822139caf26ecf6d2eb9e76e3da3de04d1517200519d57a6c3384ece"}};
  CBlowFish original = makeCipher(kChainKey, kChainIv);
  CBlowFish copy(original);
  CBlowFish assigned = makeCipher("00");
  assigned = original;
  for (const auto& [mode, text] : cases) {
    for (CBlowFish* cipher : {&original, &copy, &assigned}) {
      EXPECT_EQ(fromHex(text), run(*cipher, true, chainData(), mode)) << mode;
      EXPECT_EQ(chainData(), run(*cipher, false, fromHex(text), mode)) << mode;
      cipher->resetChain();
    }
    // The second half enciphered alone does not continue the first half.
    const Bytes data = chainData();
    EXPECT_NE(fromHex(text + 32), run(original, true, Bytes(data.begin() + 16, data.end()), mode));
  }
}

TEST(BlowFish, NineteenBlockBuffersInEveryMode) {
  // Two groups of eight blocks side by side and a rest of three; every prefix
  // of whole blocks as well, which covers every mix of groups a buffer is cut into.
  CBlowFish cipher = makeCipher(kChainKey, kChainIv);
  const Bytes plain = pattern(152);
  const std::pair<int, const char*> cases[] = {
      {CBlowFish::ECB,
       "8eeab78470b030525a0029b36802da7015386914334bb29db3311c6eedad76cbe3c23cfdf42f932d71e93503"
       "5fdce6dd5bb25fff1389dae0563cf05f57f69c2f6ef9afce1b16cf2f6f5c3102f4af4030901bb0205d387a94"
       "4d2a09b26d91d75e67ad016c6dde93ca9bf0db4a3483a9d75112ab2a6d936e1736b862c690cef59fa7ea38a5"
       "1cc8940124fb23a043f5407a0512bbba7f9096f1"},
      {CBlowFish::CBC,
       "a0b3569b4b44a4a8f8a7b9e08e43a2b0fc174d801b3ec057c969c1770f62a60db23a470c593bcd105965cf88"
       "829e783fddc84bea0dfb1be38d450b171ebb7b20daa2bf9cad035cb5ecf1d7224a077fd1b5c1b0ab6b1dcfaa"
       "2ce8b6a52cbccee4053c537a31d2104eb71b12e4d34f78b4eb8566794a38dc7915e8965b6affeb65261b3511"
       "59d14bc0908ca438d882e639766001ab861452d6"},
      {CBlowFish::CFB,
       "db3474ec2ed7e1e419e6f137a2323109160ff4f5cb246594abad946ddb2cf1d6595f458b391ebcc157f68d2d"
       "eaf9c81bf96a26e078ef7b1e006c02d8520370077546700327bf5170d519f81c3e8614a03548674bc7014983"
       "5a94df662f9416a0172c4392e0cdae21e2bccacc952733af2c1620cbcaa766b135644db4457aa1aa8dc5dc2f"
       "edfb87de6969b76d99faa4e7ee7ccb78052e7195"}};
  for (const auto& [mode, text] : cases) {
    const Bytes expected = fromHex(text);
    ASSERT_EQ(152u, expected.size());
    for (std::size_t n = 8; n <= plain.size(); n += 8) {
      const Bytes head(plain.begin(), plain.begin() + n);
      const Bytes enciphered(expected.begin(), expected.begin() + n);
      EXPECT_EQ(enciphered, run(cipher, true, head, mode)) << mode << " " << n;
      EXPECT_EQ(head, run(cipher, false, enciphered, mode)) << mode << " " << n;
    }
  }
}

// In place, and with input and output overlapping either way: the whole
// input is read before it is overwritten.  Unknown modes act as ECB.
TEST(BlowFish, InPlaceAndOverlappingBuffersMatchTwoBuffers) {
  CBlowFish cipher = makeCipher(kChainKey, kChainIv);
  for (int mode : {0, 1, 2, 7, -1}) {
    for (unsigned int n : {8u, 24u, 32u, 72u, 136u}) {
      const Bytes plain = pattern(n, 5, mode + 1);
      const Bytes expected = run(cipher, true, plain, mode);
      if (mode == 7 || mode == -1) {
        EXPECT_EQ(run(cipher, true, plain, CBlowFish::ECB), expected) << n;
      }
      Bytes buf = plain;
      cipher.encrypt(buf.data(), n, mode);
      EXPECT_EQ(expected, buf) << mode << " " << n;
      cipher.decrypt(buf.data(), n, mode);
      EXPECT_EQ(plain, buf) << mode << " " << n;
      for (std::ptrdiff_t shift : {-8, -3, 5, 8, 16}) {
        Bytes area(n + 32, 0);
        unsigned char* in = area.data() + 16;
        std::memcpy(in, plain.data(), n);
        cipher.encrypt(in, in + shift, n, mode);
        EXPECT_EQ(expected, Bytes(in + shift, in + shift + n)) << mode << " " << n << " " << shift;
      }
    }
  }
}

TEST(BlowFish, KeysBeyondFiftySixBytesAreCut) {
  const Bytes key = pattern(60, 1, 1);  // 01 02 ... 3c
  const Bytes block = fromHex("0123456789abcdef");
  // Independent encipherment with the 56-byte key 01 02 ... 38.
  for (unsigned int n : {55u, 56u, 57u, 60u}) {
    CBlowFish cipher(key.data(), n, SBlock());
    EXPECT_EQ(n != 55, fromHex("d08f329bfcfd1564") == run(cipher, true, block, CBlowFish::ECB))
        << n;
  }
}

TEST(BlowFish, RefusesEmptyKeysAndPartialBlocksWritingNothing) {
  const unsigned char one[1] = {1};
  for (const unsigned char* key : {one, static_cast<const unsigned char*>(nullptr)}) {
    EXPECT_EQ(L"Incorrect key length", messageOf<IllegalStateException>([key] {
                CBlowFish cipher(key, key == nullptr ? 8 : 0, SBlock());
              }));
  }
  CBlowFish cipher = makeCipher(kChainKey, kChainIv);
  Bytes in(24, 0x41);
  Bytes out(24, 0x5A);
  for (unsigned int n : {0u, 1u, 7u, 9u, 15u, 17u}) {
    for (int mode : {0, 1, 2}) {
      const auto refused = [&](auto call) {
        EXPECT_EQ(L"Incorrect buffer length", messageOf<IllegalStateException>(call))
            << n << " " << mode;
      };
      refused([&] { cipher.encrypt(in.data(), out.data(), n, mode); });
      refused([&] { cipher.decrypt(in.data(), out.data(), n, mode); });
      refused([&] { cipher.encrypt(in.data(), n, mode); });
      refused([&] { cipher.decrypt(in.data(), n, mode); });
    }
  }
  EXPECT_EQ(Bytes(24, 0x41), in);
  EXPECT_EQ(Bytes(24, 0x5A), out);
  EXPECT_NO_THROW(cipher.encrypt(in.data(), 8, CBlowFish::CBC));
  EXPECT_NO_THROW(cipher.decrypt(in.data(), 16, CBlowFish::CFB));
  EXPECT_THROW(cipher.encrypt(nullptr, in.data(), 8, CBlowFish::ECB), IllegalStateException);
  EXPECT_THROW(cipher.decrypt(in.data(), nullptr, 8, CBlowFish::ECB), IllegalStateException);
}

// Texts made by an independent implementation (CBC, padded with spaces); an
// odd last character is ignored.
TEST(HexValue, EncodedVectorsReadBackWithoutTrailingSpacesAndNuls) {
  const std::tuple<std::string, std::string, const char*> cases[] = {
      {"", "75881acc0d8a948a", ""},
      {"1234567", "2728476c3e14d7c7", "1234567"},
      {"12345678", "7bbac524adc701ceb9ba9a38ef3f4ceb", "12345678"},
      {std::string("secret value\0 with nul  ", 24),
       "f1853e4a4a511286586b6baef19f7b838c278f3385ff6d1b81225a867b279a85",
       "secret value with nul"}};
  CBlowFish cipher = valueCipher();
  for (const auto& [value, text, decoded] : cases) {
    EXPECT_EQ(text, cipher.encodeValue(value));
    EXPECT_EQ(decoded, cipher.decodeValue(text)) << text;
  }
  for (const char* text : {"2728476C3E14D7C7", "2728476c3e14d7c77", "2728476c3e14d7c7g"}) {
    EXPECT_EQ("1234567", cipher.decodeValue(text)) << text;
  }
}

TEST(HexValue, RoundTripDropsOnlyTrailingSpacesAndNuls) {
  const std::pair<std::string, std::string> cases[] = {
      {"ends in spaces   ", "ends in spaces"},
      {"        ", ""},
      {"  inner  spaces kept", "  inner  spaces kept"},
      {std::string("a\0b\0", 4), "ab"},
      {std::string(8, '\0'), ""},
      {std::string("x \0 ", 4), "x "},
      {"\xff\x80\x01 high bytes", "\xff\x80\x01 high bytes"},
      {std::string(1000, 'z'), std::string(1000, 'z')},
      {std::string(10 * 1024 * 1024, 'Q'), std::string(10 * 1024 * 1024, 'Q')}};
  CBlowFish cipher = valueCipher();
  for (const auto& [value, decoded] : cases) {
    EXPECT_EQ(decoded, cipher.decodeValue(cipher.encodeValue(value))) << value.size();
  }
}

TEST(HexValue, DecodeRefusesLengthsThatAreNotWholeBlocksAndReadsAnyCharacters) {
  CBlowFish cipher = valueCipher();
  for (std::size_t n : {0u, 1u, 2u, 14u, 15u, 18u, 30u, 34u}) {
    EXPECT_EQ(L"Incorrect buffer length",
              messageOf<IllegalStateException>([&] { cipher.decodeValue(std::string(n, '0')); }))
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
  // In whole texts: " f" is 15, "-1" is 255, "+a" is 10, "-f" is 241.
  CBlowFish cipher = valueCipher();
  EXPECT_EQ(cipher.decodeValue("0fff0af105fa0030"), cipher.decodeValue(" f-1+a-f 5-6+030"));
  EXPECT_EQ(cipher.decodeValue("0f000a0000000000"), cipher.decodeValue(" fx+a  \t0-z-+-+\n0"));
}
