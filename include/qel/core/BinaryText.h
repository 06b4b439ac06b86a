#ifndef QEL_CORE_BINARYTEXT_H_
#define QEL_CORE_BINARYTEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "qel/core/Export.h"

namespace qel {

// Bytes as printable text and back: hexadecimal, two lower-case digits a
// byte, and base64 with padding (RFC 4648, the standard alphabet).  The
// readers take all of the text or nothing: on false, out is unchanged.

QEL_API std::string toHex(const unsigned char* data, std::size_t size);
// Pairs of hexadecimal digits of either case; false for an odd length or
// any other character.
QEL_API bool fromHex(std::string_view text, std::string& out);

QEL_API std::string toBase64(const unsigned char* data, std::size_t size);
// False for text whose length is no multiple of four, a character outside
// the alphabet, or padding anywhere but in the last two places.
QEL_API bool fromBase64(std::string_view text, std::string& out);

}  // namespace qel

#endif  // QEL_CORE_BINARYTEXT_H_
