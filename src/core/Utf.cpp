// UTF-8 and UTF-7 codecs.
#include <cstdint>
#include <cstring>

#include "core/Codecs.h"

namespace qel {
namespace codec {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte, unsigned char low = 0x80, unsigned char high = 0xBF) {
  return byte >= low && byte <= high;
}

bool isSurrogate(std::uint32_t cp) {
  return cp >= 0xD800 && cp <= 0xDFFF;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

// How many of the eight bytes of word, taken in memory order, come before
// the first one with its high bit set; word has at least one such byte.
inline unsigned int asciiPrefix(std::uint64_t word) {
  const std::uint64_t high = word & kHighBits;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return static_cast<unsigned int>(__builtin_ctzll(high)) / 8;
#else
  unsigned char bytes[8];
  std::memcpy(bytes, &high, sizeof(bytes));
  unsigned int n = 0;
  while (bytes[n] == 0) {
    ++n;
  }
  return n;
#endif
}

// The code point of the sequence that starts at bytes[i] with a lead byte
// of 0x80 or above, and the position after it.  Ill-formed input gives
// U+FFFD and skips the maximal subpart.
inline wchar_t decodeSequence(const unsigned char* bytes, std::size_t length, std::size_t& i) {
  const unsigned char lead = bytes[i];
  std::size_t trail;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  std::uint32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    cp = lead & 0x0Fu;
    if (lead == 0xE0) {
      low = 0xA0;
    } else if (lead == 0xED) {
      high = 0x9F;
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    cp = lead & 0x07u;
    if (lead == 0xF0) {
      low = 0x90;
    } else if (lead == 0xF4) {
      high = 0x8F;
    }
  } else {
    ++i;
    return kReplacement;
  }
  std::size_t j = i + 1;
  bool wellFormed = true;
  for (std::size_t k = 0; k < trail; ++k, ++j) {
    // Only the first trail byte has a narrowed range.
    const bool ok =
        j < length && (k == 0 ? isContinuation(bytes[j], low, high) : isContinuation(bytes[j]));
    if (!ok) {
      wellFormed = false;
      break;
    }
    cp = (cp << 6) | (bytes[j] & 0x3Fu);
  }
  i = j;
  return wellFormed ? static_cast<wchar_t>(cp) : kReplacement;
}

}  // namespace

// Well-formed sequences as the Unicode standard lists them; an ill-formed
// one is replaced by one U+FFFD per maximal subpart: the longest prefix of a
// well-formed sequence, or a single byte that starts none.
//
// Every byte gives at most one character, so the output is sized for the
// whole input once and trimmed at the end.  Runs of ASCII are copied eight
// bytes at a time and two-byte sequences (the accented Latin, Greek and
// Cyrillic letters) take a short path.
void decodeUtf8(const unsigned char* bytes, std::size_t length, std::wstring& out) {
  const std::size_t before = out.size();
  out.resize(before + length);
  wchar_t* const start = &out[0] + before;
  wchar_t* dst = start;
  std::size_t i = 0;
  while (i < length) {
    // dst - start <= i, so eight characters always fit while eight bytes
    // remain.
    while (i + 8 <= length) {
      const std::uint64_t word = load64(bytes + i);
      for (int k = 0; k < 8; ++k) {
        dst[k] = static_cast<wchar_t>(bytes[i + k]);
      }
      if ((word & kHighBits) != 0) {
        const unsigned int ascii = asciiPrefix(word);
        dst += ascii;
        i += ascii;
        break;
      }
      dst += 8;
      i += 8;
    }
    if (i >= length) {
      break;
    }
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      *dst++ = static_cast<wchar_t>(lead);
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF && i + 1 < length && (bytes[i + 1] & 0xC0) == 0x80) {
      *dst++ = static_cast<wchar_t>((lead & 0x1Fu) << 6 | (bytes[i + 1] & 0x3Fu));
      i += 2;
      continue;
    }
    *dst++ = decodeSequence(bytes, length, i);
  }
  out.resize(before + static_cast<std::size_t>(dst - start));
}

namespace {

// The UTF-8 length of one character, with U+FFFD (three bytes) standing in
// for a surrogate or a value beyond U+10FFFF.
inline std::size_t encodedLength(std::uint32_t cp) {
  if (cp < 0x80) {
    return 1;
  }
  if (cp < 0x800) {
    return 2;
  }
  if (cp < 0x10000 || cp > 0x10FFFF) {
    return 3;
  }
  return 4;
}

}  // namespace

// The exact output length is counted first, so the bytes are written
// straight into the string; runs of ASCII go four characters at a time.
void encodeUtf8(const wchar_t* text, std::size_t length, std::string& out) {
  std::size_t needed = 0;
  for (std::size_t i = 0; i < length; ++i) {
    needed += encodedLength(static_cast<std::uint32_t>(text[i]));
  }
  const std::size_t before = out.size();
  out.resize(before + needed);
  char* dst = &out[0] + before;
  std::size_t i = 0;
  while (i < length) {
    while (i + 4 <= length) {
      const auto c0 = static_cast<std::uint32_t>(text[i]);
      const auto c1 = static_cast<std::uint32_t>(text[i + 1]);
      const auto c2 = static_cast<std::uint32_t>(text[i + 2]);
      const auto c3 = static_cast<std::uint32_t>(text[i + 3]);
      if ((c0 | c1 | c2 | c3) >= 0x80) {
        break;
      }
      dst[0] = static_cast<char>(c0);
      dst[1] = static_cast<char>(c1);
      dst[2] = static_cast<char>(c2);
      dst[3] = static_cast<char>(c3);
      dst += 4;
      i += 4;
    }
    if (i >= length) {
      break;
    }
    std::uint32_t cp = static_cast<std::uint32_t>(text[i++]);
    if (cp < 0x80) {
      *dst++ = static_cast<char>(cp);
      continue;
    }
    if (cp < 0x800) {
      dst[0] = static_cast<char>(0xC0 | (cp >> 6));
      dst[1] = static_cast<char>(0x80 | (cp & 0x3F));
      dst += 2;
      continue;
    }
    if (isSurrogate(cp) || cp > 0x10FFFF) {
      cp = kReplacement;
    }
    if (cp < 0x10000) {
      dst[0] = static_cast<char>(0xE0 | (cp >> 12));
      dst[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      dst[2] = static_cast<char>(0x80 | (cp & 0x3F));
      dst += 3;
    } else {
      dst[0] = static_cast<char>(0xF0 | (cp >> 18));
      dst[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      dst[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      dst[3] = static_cast<char>(0x80 | (cp & 0x3F));
      dst += 4;
    }
  }
}

namespace {

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  if (c == '/') {
    return 63;
  }
  return -1;
}

// Joins UTF-16 code units into code points; an unpaired surrogate becomes
// U+FFFD.
class Utf16Joiner {
 public:
  explicit Utf16Joiner(std::wstring& out) : _out(out) {}

  void unit(std::uint32_t u) {
    if (_high != 0) {
      if (u >= 0xDC00 && u <= 0xDFFF) {
        _out.push_back(static_cast<wchar_t>(0x10000 + ((_high - 0xD800) << 10) + (u - 0xDC00)));
        _high = 0;
        return;
      }
      flush();
    }
    if (u >= 0xD800 && u <= 0xDBFF) {
      _high = u;
    } else {
      _out.push_back(isSurrogate(u) ? kReplacement : static_cast<wchar_t>(u));
    }
  }

  void flush() {
    if (_high != 0) {
      _out.push_back(kReplacement);
      _high = 0;
    }
  }

 private:
  std::wstring& _out;
  std::uint32_t _high = 0;
};

}  // namespace

// UTF-7 (RFC 2152): '+' opens a run of modified base64 carrying UTF-16 code
// units, closed by any character outside the base64 alphabet; a closing '-'
// is absorbed, "+-" is a plus sign.  Left-over bits at the end of a run are
// dropped.  Bytes above 127 are not UTF-7 and become U+FFFD.
void decodeUtf7(const unsigned char* bytes, std::size_t length, std::wstring& out) {
  Utf16Joiner joiner(out);
  std::size_t i = 0;
  while (i < length) {
    const unsigned char c = bytes[i];
    if (c != '+') {
      joiner.flush();
      out.push_back(c < 0x80 ? static_cast<wchar_t>(c) : kReplacement);
      ++i;
      continue;
    }
    ++i;
    if (i < length && bytes[i] == '-') {
      joiner.flush();
      out.push_back(L'+');
      ++i;
      continue;
    }
    std::uint32_t bits = 0;
    int bitCount = 0;
    while (i < length) {
      const int value = base64Value(bytes[i]);
      if (value < 0) {
        break;
      }
      bits = ((bits << 6) | static_cast<std::uint32_t>(value)) & 0x3FFFFFu;
      bitCount += 6;
      if (bitCount >= 16) {
        bitCount -= 16;
        joiner.unit((bits >> bitCount) & 0xFFFFu);
      }
      ++i;
    }
    if (i < length && bytes[i] == '-') {
      ++i;
    }
  }
  joiner.flush();
}

}  // namespace codec
}  // namespace qel
