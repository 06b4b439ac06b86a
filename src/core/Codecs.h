#ifndef QEL_SRC_CORE_CODECS_H_
#define QEL_SRC_CORE_CODECS_H_

#include <cstddef>
#include <string>

namespace qel {
namespace codec {

// Every decoder appends to out and replaces what it cannot decode with
// U+FFFD; every encoder replaces what it cannot encode (U+FFFD in UTF-8, '?'
// in a single-byte page).  wchar_t holds one code point.
void decodeUtf8(const unsigned char* bytes, std::size_t length, std::wstring& out);
void encodeUtf8(const wchar_t* text, std::size_t length, std::string& out);
void decodeUtf7(const unsigned char* bytes, std::size_t length, std::wstring& out);
void decodeAnsi(const unsigned char* bytes, std::size_t length, std::wstring& out);
void encodeAnsi(const wchar_t* text, std::size_t length, std::string& out);

// The single-byte page behind code page 0; 1252 by default.
bool setAnsiCodePage(unsigned int codePage);
unsigned int ansiCodePage();

// Any Windows code-page number.  Returns false for an unknown page.
bool decodeCodePage(unsigned int codePage, const unsigned char* bytes, std::size_t length,
                    std::wstring& out);

}  // namespace codec
}  // namespace qel

#endif  // QEL_SRC_CORE_CODECS_H_
