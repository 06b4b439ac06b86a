// UTF-8 and UTF-7 codecs.
#include <cstdint>

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

}  // namespace

// Well-formed sequences as the Unicode standard lists them; an ill-formed
// one is replaced by one U+FFFD per maximal subpart: the longest prefix of a
// well-formed sequence, or a single byte that starts none.
void decodeUtf8(const unsigned char* bytes, std::size_t length, std::wstring& out) {
  std::size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
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
      out.push_back(kReplacement);
      ++i;
      continue;
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
    out.push_back(wellFormed ? static_cast<wchar_t>(cp) : kReplacement);
    i = j;
  }
}

void encodeUtf8(const wchar_t* text, std::size_t length, std::string& out) {
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t cp = static_cast<std::uint32_t>(text[i]);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    if (isSurrogate(cp) || cp > 0x10FFFF) {
      cp = kReplacement;
    }
    if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
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
