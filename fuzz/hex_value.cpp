// Hex value decoding with keys and initial vectors taken from the input,
// and the encode-then-decode round trip.
//
// Input: key length byte, key, 8 bytes of initial vector, then the text.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "qel/core/Exception.h"
#include "qel/crypto/BlowFish.h"

using qel::CBlowFish;
using qel_fuzz::ByteReader;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::string key = in.bytes(in.byte() % 64);
  const std::uint32_t left = in.u32();
  const qel::SBlock iv(left, in.u32());
  const std::string text = in.rest();

  bool refused = false;
  try {
    CBlowFish probe(reinterpret_cast<const unsigned char*>(key.data()),
                    static_cast<unsigned int>(key.size()), iv);
  } catch (const qel::IllegalStateException&) {
    refused = true;
  }
  QEL_FUZZ_CHECK(refused == key.empty());
  if (key.empty()) {
    return 0;
  }
  CBlowFish cipher(reinterpret_cast<const unsigned char*>(key.data()),
                   static_cast<unsigned int>(key.size()), iv);

  // Decoding any text: either a value of at most one byte per pair, or the
  // length error for a pair count that is not a non-zero multiple of 8.
  const std::size_t pairs = text.size() / 2;
  try {
    const std::string value = cipher.decodeValue(text);
    QEL_FUZZ_CHECK(pairs != 0 && pairs % 8 == 0);
    QEL_FUZZ_CHECK(value.size() <= pairs);
    QEL_FUZZ_CHECK(value.find('\0') == std::string::npos);
    // Upper-case digits read the same.
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c; });
    QEL_FUZZ_CHECK(cipher.decodeValue(upper) == value);
  } catch (const qel::IllegalStateException&) {
    QEL_FUZZ_CHECK(pairs == 0 || pairs % 8 != 0);
  }

  // The round trip gives the value without its trailing spaces and NULs.
  const std::string encoded = cipher.encodeValue(text);
  QEL_FUZZ_CHECK(encoded.size() == 2 * (text.size() / 8 + 1) * 8);
  QEL_FUZZ_CHECK(std::all_of(encoded.begin(), encoded.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  }));
  QEL_FUZZ_CHECK(cipher.encodeValue(text) == encoded);
  std::string expected = text;
  expected.erase(
      expected.find_last_not_of(' ') == std::string::npos ? 0 : expected.find_last_not_of(' ') + 1);
  expected.erase(std::remove(expected.begin(), expected.end(), '\0'), expected.end());
  QEL_FUZZ_CHECK(cipher.decodeValue(encoded) == expected);
  return 0;
}
