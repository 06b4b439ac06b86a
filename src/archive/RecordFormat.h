#ifndef QEL_SRC_ARCHIVE_RECORDFORMAT_H_
#define QEL_SRC_ARCHIVE_RECORDFORMAT_H_

// The framing shared by the record writer, the record reader and the tree's
// record codec.  A record is a 4-digit length, a 2-digit field count, the
// fields and a closing '0', then a line feed; the length counts the field
// count, the fields and the closing separator.  A field is a type digit, a
// 3-digit value length, the value and a '0' separator.

#include <cstddef>
#include <cstdint>

#include "core/Text.h"

namespace qel {
namespace record {

constexpr std::uint32_t kBlockSize = 4096;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Upper-case hexadecimal of value, filled with '0' to width digits, into
// text; returns the number of characters (width, or more for a value that
// needs more digits).
inline int formatHex(char* text, std::uint32_t value, int width) {
  int digits = 1;
  while (digits < 8 && (value >> (4 * digits)) != 0) {
    ++digits;
  }
  const int length = digits > width ? digits : width;
  for (int i = length - 1; i >= 0; --i) {
    text[i] = kHexDigits[value & 0xF];
    value >>= 4;
  }
  return length;
}

// A field's type digit and 3-digit value length, into head[0..3].
inline void formatFieldHead(char* head, int type, std::size_t valueLength) {
  head[0] = kHexDigits[type & 0xF];
  head[1] = kHexDigits[(valueLength >> 8) & 0xF];
  head[2] = kHexDigits[(valueLength >> 4) & 0xF];
  head[3] = kHexDigits[valueLength & 0xF];
}

// digitValue of every byte below base 16, and 99 for every other byte: the
// framing is read through this table.
struct HexTable {
  unsigned char value[256];
  constexpr HexTable() : value() {
    for (int c = 0; c < 256; ++c) {
      const int digit = chars::digitValue(static_cast<char>(c));
      value[c] = static_cast<unsigned char>(digit < 16 ? digit : 99);
    }
  }
};
constexpr HexTable kHexTable;

inline int hexDigit(char c) {
  return kHexTable.value[static_cast<unsigned char>(c)];
}

// The value of two or four hexadecimal digits (either case), or a negative
// value when one of them is none.
inline int hex2(const char* s) {
  const int high = hexDigit(s[0]);
  const int low = hexDigit(s[1]);
  return high < 16 && low < 16 ? high * 16 + low : -1;
}

inline std::int32_t hex4(const char* s) {
  const int high = hex2(s);
  const int low = hex2(s + 2);
  return (high | low) >= 0 ? high * 256 + low : -1;
}

}  // namespace record
}  // namespace qel

#endif  // QEL_SRC_ARCHIVE_RECORDFORMAT_H_
