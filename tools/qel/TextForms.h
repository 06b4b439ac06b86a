#ifndef QEL_TOOLS_QEL_TEXTFORMS_H_
#define QEL_TOOLS_QEL_TEXTFORMS_H_

#include <cstddef>
#include <string>

namespace qeltool {

// Control characters, DEL and backslash escaped C-style, so that any value
// prints on one line.
std::string escapeText(const std::string& text);

// The first 16 bytes as spaced hexadecimal, " ..." when there are more.
std::string hexPreview(const unsigned char* data, std::size_t size);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_TEXTFORMS_H_
