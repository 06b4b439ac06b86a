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

// Archive text is in the ANSI code page; the tool speaks UTF-8.  exact tells
// whether converting the result back gives the same bytes.
std::string ansiToUtf8(const std::string& text, bool& exact);
std::string ansiToUtf8(const std::string& text);
std::string utf8ToAnsi(const std::string& text);
// The ANSI form of UTF-8 text, NUL bytes included.  unrepresentable counts
// the characters the code page has no form for (an invalid UTF-8 sequence
// counts as one); they come out as the code page replaces them.  first
// describes the first of them: "\"\xe6\x97\xa5\" (U+65E5)".
std::string utf8ToAnsiExact(const std::string& text, std::size_t& unrepresentable,
                            std::string& first);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_TEXTFORMS_H_
