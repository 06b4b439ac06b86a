#ifndef QEL_SRC_OS_ICONV_H_
#define QEL_SRC_OS_ICONV_H_

#include <cstddef>
#include <string>
#include <vector>

namespace qel {
namespace platform {

// Decodes bytes in the C library's charset into code points.  A sequence
// that the charset does not define becomes U+FFFD and decoding resumes
// unitSize bytes later (2 for UTF-16, 4 for UTF-32, 1 otherwise); a
// truncated sequence at the end becomes one U+FFFD.  Returns false, leaving
// out untouched, when the charset is unknown.
bool decodeWithIconv(const char* charset, const unsigned char* bytes, std::size_t length,
                     std::size_t unitSize, std::u32string& out);

// Conversions between wide text and a charset in which every character takes
// one or two bytes and decodes to one code point (CP932, CP936, CP949,
// CP950).  Each thread opens its own conversion descriptors on first use and
// keeps them until it ends.

// Whether iconv converts between charset and wide text both ways.
bool iconvConvertsBothWays(const char* charset);

// Decodes length bytes into out, which has room for length characters, and
// returns the number written.  A byte that starts no character of the
// charset becomes U+FFFD and decoding resumes at the next byte, so an ASCII
// byte after a bad lead byte is kept; a lead byte at the end becomes one
// U+FFFD.  Returns 0 when the charset is unknown.
std::size_t decodeDoubleByte(const char* charset, const unsigned char* bytes, std::size_t length,
                             wchar_t* out);

// Encodes length characters into out, which has room for 2 * length bytes,
// and returns the number written.  A character the charset cannot hold (a
// surrogate or a value beyond U+10FFFF among them) becomes '?'.  The C
// library may drop a tag character (U+E0000 to U+E007F) and may give a
// character the bytes of another one (oneWayCharacters): the caller keeps
// such characters out.
std::size_t encodeDoubleByte(const char* charset, const wchar_t* text, std::size_t length,
                             char* out);

// For every character below U+10000: whether charset encodes it to bytes
// that decode to another character.  Empty when the charset is unknown.
std::vector<bool> oneWayCharacters(const char* charset);

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_ICONV_H_
