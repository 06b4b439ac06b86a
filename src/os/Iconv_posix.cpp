#include "os/Iconv.h"

#include <errno.h>
#include <iconv.h>

#include <cstdint>

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

}  // namespace platform
}  // namespace qel
