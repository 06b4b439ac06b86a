#ifndef QEL_TOOLS_QEL_TEXTFORMS_H_
#define QEL_TOOLS_QEL_TEXTFORMS_H_

#include <cstddef>
#include <string>

namespace qeltool {

// Control characters, DEL and backslash escaped C-style, so that any value
// prints on one line.
std::string escapeText(const std::string& text);

// Lower-case hexadecimal, pairs joined by separator.
std::string toHex(const unsigned char* data, std::size_t size, const char* separator);

// The first 16 bytes as spaced hexadecimal, " ..." when there are more.
std::string hexPreview(const unsigned char* data, std::size_t size);

// The value of one hexadecimal digit of either case, -1 for anything else.
int hexDigitValue(char c);

// Reads pairs of hexadecimal digits; false for an odd length or a non-digit.
bool parseHex(const std::string& text, std::string& out);

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

// Standard base64 with padding (RFC 4648).
std::string base64Encode(const unsigned char* data, std::size_t size);
// False for text that is not padded base64.
bool base64Decode(const std::string& text, std::string& out);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_TEXTFORMS_H_
