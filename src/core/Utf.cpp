// UTF-8 and UTF-7 codecs.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/Codecs.h"
#include "core/Compiler.h"
#include "core/Text.h"

namespace qel {
namespace codec {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;
// A byte b that is not UTF-8 stands as U+DC00 + b in an escaped text.
constexpr std::uint32_t kEscapeBase = 0xDC00;

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
#if defined(QEL_LITTLE_ENDIAN_BUILTINS)
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

// Reads the sequence that starts at bytes[i] with a lead byte of 0x80 or
// above: true, with its code point in cp, when it is well-formed.  i moves
// past it, or past the maximal subpart of an ill-formed one.
inline bool readSequence(const unsigned char* bytes, std::size_t length, std::size_t& i,
                         std::uint32_t& cp) {
  const unsigned char lead = bytes[i];
  std::size_t trail;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
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
    return false;
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
  return wellFormed;
}

// The code point of the sequence that starts at bytes[i] with a lead byte
// of 0x80 or above, and the position after it.  Ill-formed input gives
// U+FFFD and skips the maximal subpart.
inline wchar_t decodeSequence(const unsigned char* bytes, std::size_t length, std::size_t& i) {
  std::uint32_t cp = 0;
  return readSequence(bytes, length, i, cp) ? static_cast<wchar_t>(cp) : kReplacement;
}

}  // namespace

// ------------------------------------------------------------ vector paths
//
// On x86-64 processors with SSE4.1 (checked once at run time) blocks made
// of ASCII and two-byte characters, which is most European text, are
// converted sixteen bytes or eight characters at a time.  Anything else in
// a block (longer or ill-formed sequences, a block cut inside a sequence)
// is left to the scalar code, which has the last word on every byte it
// converts.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QEL_UTF_VECTOR 1
#include <immintrin.h>

namespace {

struct ShuffleTable {
  unsigned char mask[256][16];
};

// For each set of kept 16-bit lanes (bit j: lane j), the byte shuffle that
// moves the kept lanes to the front in order.
constexpr ShuffleTable makeLaneCompaction() {
  ShuffleTable table{};
  for (int keep = 0; keep < 256; ++keep) {
    int out = 0;
    for (int lane = 0; lane < 8; ++lane) {
      if ((keep >> lane) & 1) {
        table.mask[keep][out++] = static_cast<unsigned char>(2 * lane);
        table.mask[keep][out++] = static_cast<unsigned char>(2 * lane + 1);
      }
    }
    while (out < 16) {
      table.mask[keep][out++] = 0x80;
    }
  }
  return table;
}

// For each set of ASCII lanes among eight 16-bit lanes that each hold one
// or two bytes of UTF-8 (bit j: lane j holds only its low byte), the byte
// shuffle that packs the bytes in use.
constexpr ShuffleTable makeByteCompaction() {
  ShuffleTable table{};
  for (int ascii = 0; ascii < 256; ++ascii) {
    int out = 0;
    for (int lane = 0; lane < 8; ++lane) {
      table.mask[ascii][out++] = static_cast<unsigned char>(2 * lane);
      if (((ascii >> lane) & 1) == 0) {
        table.mask[ascii][out++] = static_cast<unsigned char>(2 * lane + 1);
      }
    }
    while (out < 16) {
      table.mask[ascii][out++] = 0x80;
    }
  }
  return table;
}

constexpr ShuffleTable kLaneCompaction = makeLaneCompaction();
constexpr ShuffleTable kByteCompaction = makeByteCompaction();

bool hasVectorUnit() {
  static const bool has =
      __builtin_cpu_supports("sse4.1") != 0 && __builtin_cpu_supports("popcnt") != 0;
  return has;
}

#define QEL_UTF_TARGET __attribute__((target("sse4.1,popcnt")))

// Eight 16-bit lanes widened to eight wchar_t at dst.
QEL_UTF_TARGET inline void storeWide(__m128i lanes, wchar_t* dst) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_cvtepu16_epi32(lanes));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4),
                   _mm_cvtepu16_epi32(_mm_srli_si128(lanes, 8)));
}

// Decodes the longest prefix of the sixteen bytes at p that consists of
// whole ASCII and well-formed two-byte characters.  Writes up to sixteen
// characters at dst (room for sixteen is needed), adds their count to dst
// and returns the bytes used, 0 when the first character is neither.
QEL_UTF_TARGET inline std::size_t decodeBlock(const unsigned char* p, wchar_t*& dst) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const auto high = static_cast<unsigned int>(_mm_movemask_epi8(v));
  const __m128i zero = _mm_setzero_si128();
  if (high == 0) {
    storeWide(_mm_unpacklo_epi8(v, zero), dst);
    storeWide(_mm_unpackhi_epi8(v, zero), dst + 8);
    dst += 16;
    return 16;
  }
  // Signed bytes: 0x80..0xBF are -128..-65, 0xC2..0xDF are -62..-33.
  const __m128i isContinuation = _mm_cmplt_epi8(v, _mm_set1_epi8(-64));
  const __m128i isLead =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(-63)), _mm_cmplt_epi8(v, _mm_set1_epi8(-32)));
  const auto cont = static_cast<unsigned int>(_mm_movemask_epi8(isContinuation));
  const auto lead = static_cast<unsigned int>(_mm_movemask_epi8(isLead));
  // Bytes that are no part of a two-byte character inside the block: other
  // bytes from 0x80 up, a lead without its continuation byte (also the last
  // byte), a continuation byte without its lead.
  const unsigned int bad = (high & ~(lead | cont)) | (lead & ~(cont >> 1)) | (cont & ~(lead << 1));
  const unsigned int used = bad == 0 ? 16 : static_cast<unsigned int>(__builtin_ctz(bad));
  if (used == 0) {
    return 0;
  }
  // The value of every position as if it started a character: a lead
  // joined with the next byte, any other byte as it is.
  const __m128i next = _mm_srli_si128(v, 1);
  const __m128i low = _mm_set1_epi16(0x3F);
  const __m128i top = _mm_set1_epi16(0x1F);
  const __m128i leadWide[2] = {_mm_unpacklo_epi8(isLead, isLead),
                               _mm_unpackhi_epi8(isLead, isLead)};
  const __m128i bytesWide[2] = {_mm_unpacklo_epi8(v, zero), _mm_unpackhi_epi8(v, zero)};
  const __m128i nextWide[2] = {_mm_unpacklo_epi8(next, zero), _mm_unpackhi_epi8(next, zero)};
  const unsigned int keep = ~cont & ((1u << used) - 1);
  for (int half = 0; half < 2; ++half) {
    const __m128i joined = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(bytesWide[half], top), 6),
                                        _mm_and_si128(nextWide[half], low));
    const __m128i value = _mm_blendv_epi8(bytesWide[half], joined, leadWide[half]);
    const unsigned int keepHalf = (keep >> (8 * half)) & 0xFF;
    const __m128i packed = _mm_shuffle_epi8(
        value, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLaneCompaction.mask[keepHalf])));
    storeWide(packed, dst);
    dst += __builtin_popcount(keepHalf);
  }
  return used;
}

// Encodes the eight characters at text when every one is below U+0800:
// writes up to sixteen bytes at dst (room for sixteen is needed) and
// returns the count of bytes in use, or 0, writing nothing, otherwise.
QEL_UTF_TARGET inline std::size_t encodeBlock(const wchar_t* text, char* dst) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 4));
  // Negative values (beyond U+7FFFFFFF) have high bits set too.
  if (!_mm_testz_si128(_mm_or_si128(a, b), _mm_set1_epi32(~0x7FF))) {
    return 0;
  }
  const __m128i w = _mm_packus_epi32(a, b);
  const __m128i isAscii =
      _mm_cmpeq_epi16(_mm_and_si128(w, _mm_set1_epi16(-128)), _mm_setzero_si128());
  const auto asciiBytes = static_cast<unsigned int>(_mm_movemask_epi8(isAscii));
  if (asciiBytes == 0xFFFF) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(w, w));
    return 8;
  }
  // Two-byte form in every lane: 110xxxxx in the low byte, 10xxxxxx in the
  // high byte; ASCII lanes keep their single byte.
  const __m128i first = _mm_or_si128(_mm_srli_epi16(w, 6), _mm_set1_epi16(0xC0));
  const __m128i second =
      _mm_slli_epi16(_mm_or_si128(_mm_and_si128(w, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)), 8);
  const __m128i pairs = _mm_blendv_epi8(_mm_or_si128(first, second), w, isAscii);
  // One bit per lane.
  const auto ascii =
      static_cast<unsigned int>(_mm_movemask_epi8(_mm_packs_epi16(isAscii, _mm_setzero_si128())));
  const __m128i packed = _mm_shuffle_epi8(
      pairs, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kByteCompaction.mask[ascii])));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), packed);
  return 16 - static_cast<std::size_t>(__builtin_popcount(ascii));
}

// Decodes blocks from bytes[i] while sixteen bytes remain and the vector
// path takes them; i and dst move past what was done.
QEL_UTF_TARGET void decodeBlocks(const unsigned char* bytes, std::size_t length, std::size_t& i,
                                 wchar_t*& dst) {
  // Local copies: stores through dst cannot then alias them.
  std::size_t at = i;
  wchar_t* to = dst;
  while (at + 16 <= length) {
    const std::size_t used = decodeBlock(bytes + at, to);
    if (used == 0) {
      break;
    }
    at += used;
  }
  i = at;
  dst = to;
}

// Encodes blocks of eight characters from text[i] while they remain, there
// is room for sixteen bytes before end and the vector path takes them.
// Returns false when it stopped at a block it cannot take.
QEL_UTF_TARGET bool encodeBlocks(const wchar_t* text, std::size_t length, std::size_t& i,
                                 char*& dst, const char* end) {
  std::size_t at = i;
  char* to = dst;
  bool taken = true;
  while (at + 8 <= length && end - to >= 16) {
    const std::size_t written = encodeBlock(text + at, to);
    if (written == 0) {
      taken = false;
      break;
    }
    to += written;
    at += 8;
  }
  i = at;
  dst = to;
  return taken;
}

}  // namespace
#endif

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
#ifdef QEL_UTF_VECTOR
  const bool vector = hasVectorUnit();
#endif
  while (i < length) {
    // dst - start <= i, so sixteen characters always fit while sixteen
    // bytes remain.
#ifdef QEL_UTF_VECTOR
    if (vector) {
      decodeBlocks(bytes, length, i, dst);
    }
#endif
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

// A wide character's code as an unsigned value: a negative one becomes a
// value beyond U+10FFFF, which the encoder replaces.
inline std::uint32_t codeOf(wchar_t c) {
  return static_cast<std::uint32_t>(std::char_traits<wchar_t>::to_int_type(c));
}

// The bytes are made in a buffer on the stack and appended to out a chunk
// at a time; runs of ASCII go four characters at a time.  A surrogate or a
// value beyond U+10FFFF becomes U+FFFD.
void encodeUtf8(const wchar_t* text, std::size_t length, std::string& out) {
  constexpr std::size_t kChunk = 2048;
  // Past the chunk, room for one vector block or one character.
  char buffer[kChunk + 16];
  char* const limit = buffer + kChunk;
  // Every character takes at least one byte.
  out.reserve(out.size() + length);
  std::size_t i = 0;
#ifdef QEL_UTF_VECTOR
  const bool vector = hasVectorUnit();
  // After a block the vector path cannot take, its characters go through
  // the scalar code before the next try.
  std::size_t scalarUntil = 0;
#endif
  while (i < length) {
    char* dst = buffer;
    while (i < length && dst < limit) {
#ifdef QEL_UTF_VECTOR
      if (vector && i >= scalarUntil && !encodeBlocks(text, length, i, dst, limit + 16)) {
        scalarUntil = i + 8;
      }
      if (dst >= limit) {
        break;
      }
#endif
      while (i + 4 <= length && dst < limit) {
        const auto c0 = codeOf(text[i]);
        const auto c1 = codeOf(text[i + 1]);
        const auto c2 = codeOf(text[i + 2]);
        const auto c3 = codeOf(text[i + 3]);
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
      if (i >= length || dst >= limit) {
        break;
      }
      std::uint32_t cp = codeOf(text[i++]);
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
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
  }
}

// Each byte of an ill-formed sequence is escaped on its own: the bytes
// after the lead of a maximal subpart are continuation bytes, which start
// no sequence, so escaping the lead and reading on escapes them too.
void decodeUtf8Escaped(const unsigned char* bytes, std::size_t length, std::wstring& out) {
  out.reserve(out.size() + length);
  std::size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i];
    std::size_t next = i;
    std::uint32_t cp = 0;
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
    } else if (readSequence(bytes, length, next, cp)) {
      out.push_back(static_cast<wchar_t>(cp));
      i = next;
    } else {
      out.push_back(static_cast<wchar_t>(kEscapeBase + lead));
      ++i;
    }
  }
}

// The runs between escapes go through the ordinary encoder.
bool encodeUtf8Escaped(const wchar_t* text, std::size_t length, std::string& out) {
  bool exact = true;
  std::size_t from = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t cp = codeOf(text[i]);
    if (cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF) {
      encodeUtf8(text + from, i - from, out);
      out.push_back(static_cast<char>(cp - kEscapeBase));
      from = i + 1;
    } else if (isSurrogate(cp) || cp > 0x10FFFF) {
      exact = false;
    }
  }
  encodeUtf8(text + from, length - from, out);
  return exact;
}

std::wstring decodeHostName(const std::string& name) {
  std::wstring out;
  decodeUtf8Escaped(reinterpret_cast<const unsigned char*>(name.data()), name.size(), out);
  return out;
}

bool encodeHostName(const std::wstring& name, std::string& out) {
  out.clear();
  return encodeUtf8Escaped(name.data(), name.size(), out);
}

namespace {

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
      const int value = chars::base64Value(bytes[i]);
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
