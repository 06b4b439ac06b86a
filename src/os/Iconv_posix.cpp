#include "os/Iconv.h"

#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qel {
namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Owns an iconv conversion descriptor.
class IconvHandle {
 public:
  explicit IconvHandle(const char* charset) : _cd(iconv_open("UTF-32LE", charset)) {}
  ~IconvHandle() {
    if (valid()) {
      iconv_close(_cd);
    }
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  // iconv_open reports failure as (iconv_t)-1.
  bool valid() const {
    return _cd != reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
  }
  iconv_t get() const { return _cd; }

 private:
  iconv_t _cd;
};

bool isOpen(iconv_t cd) {
  return cd != reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
}

// iconv's name for wchar_t text, which holds one code point per unit.
static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32");
constexpr const char* kWideCharset = "WCHAR_T";

// The conversion descriptors one thread has opened, by charset and
// direction; closed when the thread ends.  A descriptor keeps shift state,
// so threads never share one.
class ThreadDescriptors {
 public:
  ThreadDescriptors() = default;
  ThreadDescriptors(const ThreadDescriptors&) = delete;
  ThreadDescriptors& operator=(const ThreadDescriptors&) = delete;
  ~ThreadDescriptors() {
    for (const Entry& entry : _entries) {
      iconv_close(entry.cd);
    }
  }

  // The descriptor in its initial state, or (iconv_t)-1 when iconv cannot
  // convert that way.
  iconv_t get(const char* charset, bool toWide) {
    for (const Entry& entry : _entries) {
      if (entry.toWide == toWide && entry.charset == charset) {
        iconv(entry.cd, nullptr, nullptr, nullptr, nullptr);
        return entry.cd;
      }
    }
    iconv_t cd = toWide ? iconv_open(kWideCharset, charset) : iconv_open(charset, kWideCharset);
    if (isOpen(cd)) {
      _entries.push_back({charset, toWide, cd});
    }
    return cd;
  }

 private:
  struct Entry {
    std::string charset;
    bool toWide;
    iconv_t cd;
  };
  std::vector<Entry> _entries;
};

ThreadDescriptors& threadDescriptors() {
  thread_local ThreadDescriptors descriptors;
  return descriptors;
}

void appendUtf32Le(const char* bytes, std::size_t length, std::u32string& out) {
  for (std::size_t i = 0; i + 4 <= length; i += 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes + i);
    out.push_back(static_cast<char32_t>(b[0] | (b[1] << 8) | (b[2] << 16) |
                                        (static_cast<std::uint32_t>(b[3]) << 24)));
  }
}

}  // namespace

bool decodeWithIconv(const char* charset, const unsigned char* bytes, std::size_t length,
                     std::size_t unitSize, std::u32string& out) {
  IconvHandle handle(charset);
  if (!handle.valid()) {
    return false;
  }
  char chunk[4096];
  // iconv's interface takes a non-const input pointer but does not write.
  char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
  std::size_t inLeft = length;
  while (inLeft > 0) {
    char* outPtr = chunk;
    std::size_t outLeft = sizeof(chunk);
    const std::size_t rc = iconv(handle.get(), &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    appendUtf32Le(chunk, sizeof(chunk) - outLeft, out);
    if (rc != static_cast<std::size_t>(-1)) {
      break;
    }
    if (error == E2BIG) {
      continue;
    }
    out.push_back(kReplacement);
    if (error == EINVAL) {
      break;  // truncated sequence at the end
    }
    const std::size_t skip = unitSize < inLeft ? unitSize : inLeft;
    in += skip;
    inLeft -= skip;
    iconv(handle.get(), nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state (stateful encodings such as ISO-2022-JP).
  char* outPtr = chunk;
  std::size_t outLeft = sizeof(chunk);
  iconv(handle.get(), nullptr, nullptr, &outPtr, &outLeft);
  appendUtf32Le(chunk, sizeof(chunk) - outLeft, out);
  return true;
}

bool iconvConvertsBothWays(const char* charset) {
  return isOpen(threadDescriptors().get(charset, true)) &&
         isOpen(threadDescriptors().get(charset, false));
}

std::size_t decodeDoubleByte(const char* charset, const unsigned char* bytes, std::size_t length,
                             wchar_t* out) {
  iconv_t cd = threadDescriptors().get(charset, true);
  if (!isOpen(cd) || length == 0) {
    return 0;
  }
  // iconv's interface takes a non-const input pointer but does not write.
  char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
  std::size_t inLeft = length;
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t outLeft = length * sizeof(wchar_t);
  std::size_t count = 0;
  while (inLeft > 0) {
    const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    count = (length * sizeof(wchar_t) - outLeft) / sizeof(wchar_t);
    // Every byte read gave at most one character, so the replacement of the
    // byte iconv stopped at still has room.
    if (rc != static_cast<std::size_t>(-1) || error == E2BIG || outLeft < sizeof(wchar_t)) {
      break;
    }
    out[count++] = static_cast<wchar_t>(kReplacement);
    outPtr += sizeof(wchar_t);
    outLeft -= sizeof(wchar_t);
    if (error == EINVAL) {
      break;  // a lead byte at the end
    }
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return count;
}

std::size_t encodeDoubleByte(const char* charset, const wchar_t* text, std::size_t length,
                             char* out) {
  iconv_t cd = threadDescriptors().get(charset, false);
  if (!isOpen(cd) || length == 0) {
    return 0;
  }
  char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text));
  std::size_t inLeft = length * sizeof(wchar_t);
  char* outPtr = out;
  std::size_t outLeft = 2 * length;
  while (inLeft > 0) {
    const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    // Every character written took at most two bytes, so the '?' of the
    // one iconv stopped at still has room.
    if (rc != static_cast<std::size_t>(-1) || error != EILSEQ || outLeft == 0) {
      break;
    }
    *outPtr++ = '?';
    --outLeft;
    in += sizeof(wchar_t);
    inLeft -= sizeof(wchar_t);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return static_cast<std::size_t>(outPtr - out);
}

std::vector<bool> oneWayCharacters(const char* charset) {
  iconv_t encoder = threadDescriptors().get(charset, false);
  iconv_t decoder = threadDescriptors().get(charset, true);
  if (!isOpen(encoder) || !isOpen(decoder)) {
    return {};
  }
  std::vector<bool> oneWay(0x10000, false);
  for (std::uint32_t cp = 0; cp < 0x10000; ++cp) {
    wchar_t c = static_cast<wchar_t>(cp);
    char bytes[8];
    char* in = reinterpret_cast<char*>(&c);
    std::size_t inLeft = sizeof(c);
    char* outPtr = bytes;
    std::size_t outLeft = sizeof(bytes);
    if (iconv(encoder, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
      iconv(encoder, nullptr, nullptr, nullptr, nullptr);
      continue;
    }
    wchar_t back[2] = {};
    char* bytesIn = bytes;
    std::size_t bytesLeft = static_cast<std::size_t>(outPtr - bytes);
    char* backPtr = reinterpret_cast<char*>(back);
    std::size_t backLeft = sizeof(back);
    const std::size_t rc = iconv(decoder, &bytesIn, &bytesLeft, &backPtr, &backLeft);
    iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    oneWay[cp] = rc == static_cast<std::size_t>(-1) || backLeft != sizeof(wchar_t) || back[0] != c;
  }
  return oneWay;
}

}  // namespace platform
}  // namespace qel
