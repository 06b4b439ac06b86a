#ifndef QEL_SRC_CORE_CODECS_H_
#define QEL_SRC_CORE_CODECS_H_

#include <atomic>
#include <cstddef>
#include <string>

namespace qel {
namespace codec {

// Every decoder appends to out and replaces what it cannot decode with
// U+FFFD; every encoder replaces what it cannot encode (U+FFFD in UTF-8, '?'
// in the ANSI page).  wchar_t holds one code point.
void decodeUtf8(const unsigned char* bytes, std::size_t length, std::wstring& out);
void encodeUtf8(const wchar_t* text, std::size_t length, std::string& out);
// UTF-8 that keeps any byte string, for host file names: a byte that does
// not decode (always one of 0x80..0xFF) becomes U+DC80..U+DCFF, which the
// encoder turns back into that byte.  The encoder returns false, writing
// U+FFFD for them, when text holds any other surrogate or a value beyond
// U+10FFFF, which no host name holds.
void decodeUtf8Escaped(const unsigned char* bytes, std::size_t length, std::wstring& out);
bool encodeUtf8Escaped(const wchar_t* text, std::size_t length, std::string& out);
// The same for a whole name; encodeHostName replaces out.
std::wstring decodeHostName(const std::string& name);
bool encodeHostName(const std::wstring& name, std::string& out);
void decodeUtf7(const unsigned char* bytes, std::size_t length, std::wstring& out);
void decodeAnsi(const unsigned char* bytes, std::size_t length, std::wstring& out);
void encodeAnsi(const wchar_t* text, std::size_t length, std::string& out);
// decodeAnsi into out, which has room for length characters; returns the
// number written, length unless the page is a double-byte one.
std::size_t decodeAnsi(const unsigned char* bytes, std::size_t length, wchar_t* out);
// ASCII text (every character below 0x80) in the ANSI page: the same bytes
// as encodeAnsi gives for the widened text.
std::string asciiToAnsi(const char* text, std::size_t length);

// Whether the ANSI page gives every ASCII character its own byte, kept
// beside the page so that short ASCII texts (dates) need no call to learn
// it.  Changes with the page; a text converted while another thread changes
// the page is converted in the old page or the new one.
extern std::atomic<bool> g_ansiAsciiCompatible;
inline bool ansiAsciiCompatible() {
  return g_ansiAsciiCompatible.load(std::memory_order_relaxed);
}

// True when, in the ANSI page, the bytes below 0x80 are ASCII and no other
// byte is: text that only looks for ASCII characters may then read the bytes
// as they are, taking every byte from 0x80 up as "some other character".
// Kept beside the page in the same way.
extern std::atomic<bool> g_ansiKeepsAscii;
inline bool ansiKeepsAscii() {
  return g_ansiKeepsAscii.load(std::memory_order_relaxed);
}

// The page behind code page 0: a single-byte page (1252 by default) or one
// of the double-byte pages 932, 936, 949 and 950.
bool setAnsiCodePage(unsigned int codePage);
unsigned int ansiCodePage();
// Whether the page behind code page 0 is a double-byte one.
bool ansiDoubleByte();

// Any Windows code-page number.  Returns false for an unknown page.
bool decodeCodePage(unsigned int codePage, const unsigned char* bytes, std::size_t length,
                    std::wstring& out);

}  // namespace codec
}  // namespace qel

#endif  // QEL_SRC_CORE_CODECS_H_
