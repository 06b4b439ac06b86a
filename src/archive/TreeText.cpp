// UTF-8 at the edge of a tree, whose names and values are in the ANSI code
// page.

#include <cstdio>

#include "qel/archive/Tree.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"

namespace qel::tree {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

void note(TextLoss& loss, const std::string& what) {
  if (loss.nCount++ == 0) {
    loss.sFirst = what;
  }
}

std::string describe(wchar_t c) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
  return "\"" + CWin32Helper::toUTF8(std::wstring(1, c)) + "\" (" + code + ")";
}

// One piece of UTF-8 without NUL bytes, which the ANSI conversion stops at.
void appendAnsi(const std::string& piece, std::string& out, TextLoss& loss) {
  const std::wstring wide = CWin32Helper::fromUTF8(piece);
  const std::string ansi = CWin32Helper::toAnsi(wide);
  out += ansi;
  const bool valid = CWin32Helper::toUTF8(wide) == piece;
  if (valid && CWin32Helper::fromANSI(ansi) == wide) {
    return;
  }
  if (!valid) {
    note(loss, "an invalid UTF-8 sequence");
  }
  // Only text that does not convert back is looked at character by
  // character, to find what the code page lacks.
  for (const wchar_t c : wide) {
    const std::wstring one(1, c);
    if (c == kReplacement && !valid) {
      continue;
    }
    if (CWin32Helper::fromANSI(CWin32Helper::toAnsi(one)) != one) {
      note(loss, describe(c));
    }
  }
}

}  // namespace

std::string toUtf8(std::string_view codePageText, TextLoss& loss) {
  const std::wstring wide = CWin32Helper::fromANSI(std::string(codePageText));
  // The page has no character for a byte it decodes as U+FFFD.
  for (const wchar_t c : wide) {
    if (c == kReplacement) {
      note(loss, "a byte sequence that code page " +
                     std::to_string(CWin32Helper::getAnsiCodePage()) + " does not define");
    }
  }
  return CWin32Helper::toUTF8(wide);
}

std::string toUtf8(std::string_view codePageText) {
  TextLoss loss;
  return toUtf8(codePageText, loss);
}

std::string fromUtf8(std::string_view utf8, TextLoss& loss) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t start = 0;
  while (true) {
    const std::size_t nul = utf8.find('\0', start);
    appendAnsi(std::string(utf8.substr(start, nul == std::string_view::npos ? nul : nul - start)),
               out, loss);
    if (nul == std::string_view::npos) {
      return out;
    }
    out += '\0';
    start = nul + 1;
  }
}

std::string fromUtf8(std::string_view utf8) {
  TextLoss loss;
  std::string ansi = fromUtf8(utf8, loss);
  if (loss.nCount != 0) {
    throw IOException(CWin32Helper::fromUTF8(loss.sFirst + " cannot be represented in code page " +
                                             std::to_string(CWin32Helper::getAnsiCodePage())));
  }
  return ansi;
}

}  // namespace qel::tree
