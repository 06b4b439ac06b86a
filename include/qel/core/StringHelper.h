#ifndef QEL_CORE_STRINGHELPER_H_
#define QEL_CORE_STRINGHELPER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "qel/core/Buffer.h"
#include "qel/core/Export.h"

namespace qel {

#if defined(__GNUC__) || defined(__clang__)
#define QEL_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QEL_PRINTF_FORMAT(fmt, args)
#endif

// Conversions between wide strings (one Unicode code point per wchar_t) and
// narrow strings in a code page.  The codecs do not depend on the locale:
// UTF-8 (65001), UTF-7 (65000) and the ANSI page (0), which is
// Windows-1252 unless setAnsiCodePage chose another single-byte page or a
// double-byte one (converted through the C library's iconv).  Malformed
// input is replaced (U+FFFD, '?'), never rejected.
class QEL_API CWin32Helper {
 public:
  // ANSI, stopping at the first NUL.
  static std::wstring s2ws(const std::string& text);
  static std::string ws2s(const std::wstring& text);
  // UTF-8, every character kept (embedded NULs too).
  static std::string toUTF8(const std::wstring& text);
  static std::wstring fromUTF8(const std::string& text);
  // ANSI: toAnsi stops at the first NUL of its input, fromANSI keeps all.
  static std::string toAnsi(const std::wstring& text);
  static std::wstring fromANSI(const std::string& text);
  // length bytes from offset in any Windows code-page number: 0 (ANSI),
  // 65000, 65001 by the library's codecs, other pages through the C
  // library's iconv.  An unknown page or a null pointer gives "".
  static std::wstring fromBytes(const unsigned char* bytes, unsigned int offset,
                                unsigned int length, unsigned int codePage);

  // Selects the page that code page 0 means: a single-byte page, for example
  // 1252 or 1251, or one of the double-byte pages 932 (Japanese), 936
  // (simplified Chinese), 949 (Korean) and 950 (traditional Chinese).
  // Returns false, changing nothing, for any other page.
  static bool setAnsiCodePage(unsigned int codePage);
  static unsigned int getAnsiCodePage();
};

class QEL_API CStringHelper {
 public:
  // Fixed underlying type: callers may pass any other value, which means
  // UTF8, without leaving the range of the enumeration.
  enum CodePage : int { ANSI = 0, UTF7 = 1, UTF8 = 2 };

  // Compares the ANSI forms of a and b, folding ASCII letters only.
  static int compareNoCase(const std::wstring& a, const std::wstring& b);

  // Appends to out the fields of text between separators.  Adjacent
  // separators give an empty field; a separator at the very end does not;
  // an empty text gives no field.
  static void split(const std::wstring& text, wchar_t separator, std::vector<std::wstring>& out);
  static void split(const std::string& text, char separator, std::vector<std::string>& out);

  // In place; only code units 0 to 255 are candidates and, as in the C locale,
  // only the ASCII letters change.
  static void toUpper(std::wstring& text);
  static void toLower(std::wstring& text);

  static std::string toUTF8(const std::wstring& text);
  static std::wstring fromUTF8(const std::string& text);
  static std::string toAnsi(const std::wstring& text);
  static std::wstring fromANSI(const std::string& text);
  // 0 is ANSI, 1 UTF-7, anything else UTF-8.
  static std::wstring fromBytes(const unsigned char* bytes, unsigned int offset,
                                unsigned int length, CodePage codePage);

  // Decimal parses in the manner of wcstol on a 32-bit long: leading white
  // space and a sign accepted, the rest after the number ignored, 0 when
  // there is no number, out-of-range values saturated to the 32-bit range.
  static short toShort(const std::wstring& text);  // low 16 bits of toInt
  static int toInt(const std::wstring& text);
  static std::int32_t toLong(const std::wstring& text);
  static std::int32_t toLong(const std::wstring& text, int base);
  static unsigned long long toULongLong(const std::wstring& text, int base);

  // Prints value ("%lX" for radix 16, else "%lu") into at most size bytes of
  // buffer, terminator included; returns buffer, or null for a null buffer.
  static char* fromInt(std::uint32_t value, char* buffer, int size, int radix);

  // printf-style formatting without a size limit.  format converts the
  // result from the ANSI page.  A format that the C library cannot expand
  // (an encoding error, an output over 2 GiB) gives an empty string.
  static std::wstring format(const char* fmt, ...) QEL_PRINTF_FORMAT(1, 2);
  static std::string formatToByteString(const char* fmt, ...) QEL_PRINTF_FORMAT(1, 2);
};

}  // namespace qel

#endif  // QEL_CORE_STRINGHELPER_H_
