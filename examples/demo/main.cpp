// A short tour of the library: text conversion, hash codes and exceptions.
#include <cstdio>
#include <string>
#include <vector>

#include "qel/QelCore.h"

using qel::CHashCode;
using qel::CStringHelper;

int main(int argc, char** argv) {
  const std::string text = argc > 1 ? argv[1] : "Caf\xC3\xA9 settings";
  const std::wstring wide = CStringHelper::fromUTF8(text);
  std::printf("text             : %s\n", text.c_str());
  std::printf("code points      : %zu\n", wide.size());
  std::printf("ANSI bytes       : %zu\n", CStringHelper::toAnsi(wide).size());
  std::printf("hash code        : %d\n", CHashCode::createHash(-1, text));

  std::vector<std::wstring> fields;
  CStringHelper::split(wide, L' ', fields);
  std::printf("words            : %zu\n", fields.size());

  try {
    throw qel::IOException(L"Write error");
  } catch (const qel::CException& e) {
    std::printf("exception        : %s\n", e.what());
  }
  return 0;
}
