#include "qel/core/BinaryText.h"

#include <cstdint>
#include <utility>

#include "core/Text.h"

namespace qel {

std::string toHex(const unsigned char* data, std::size_t size) {
  std::string out(2 * size, '\0');
  chars::writeLowerHex(data, size, &out[0]);
  return out;
}

bool fromHex(std::string_view text, std::string& out) {
  if (text.size() % 2 != 0) {
    return false;
  }
  std::string bytes(text.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = chars::digitValue(text[2 * i]);
    const int low = chars::digitValue(text[2 * i + 1]);
    if (high >= 16 || low >= 16) {
      return false;
    }
    bytes[i] = static_cast<char>(high * 16 + low);
  }
  out = std::move(bytes);
  return true;
}

std::string toBase64(const unsigned char* data, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t left = size - i;
    const std::uint32_t n = (std::uint32_t{data[i]} << 16) |
                            (left > 1 ? std::uint32_t{data[i + 1]} << 8 : 0) |
                            (left > 2 ? std::uint32_t{data[i + 2]} : 0);
    out += chars::kBase64Digits[(n >> 18) & 63];
    out += chars::kBase64Digits[(n >> 12) & 63];
    out += left > 1 ? chars::kBase64Digits[(n >> 6) & 63] : '=';
    out += left > 2 ? chars::kBase64Digits[n & 63] : '=';
  }
  return out;
}

bool fromBase64(std::string_view text, std::string& out) {
  if (text.size() % 4 != 0) {
    return false;
  }
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t n = 0;
  int bits = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = chars::base64Value(static_cast<unsigned char>(text[i]));
    if (value < 0) {
      return false;
    }
    n = (n << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((n >> bits) & 0xff);
    }
  }
  out = std::move(bytes);
  return true;
}

}  // namespace qel
