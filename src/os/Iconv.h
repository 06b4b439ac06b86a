#ifndef QEL_SRC_OS_ICONV_H_
#define QEL_SRC_OS_ICONV_H_

#include <cstddef>
#include <string>

namespace qel {
namespace platform {

// Decodes bytes in the C library's charset into code points.  A sequence
// that the charset does not define becomes U+FFFD and decoding resumes
// unitSize bytes later (2 for UTF-16, 4 for UTF-32, 1 otherwise); a
// truncated sequence at the end becomes one U+FFFD.  Returns false, leaving
// out untouched, when the charset is unknown.
bool decodeWithIconv(const char* charset, const unsigned char* bytes, std::size_t length,
                     std::size_t unitSize, std::u32string& out);

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_ICONV_H_
