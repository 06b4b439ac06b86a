#ifndef QEL_TOOLS_QEL_LISTFORM_H_
#define QEL_TOOLS_QEL_LISTFORM_H_

#include <string>
#include <vector>

#include "TreeJson.h"
#include "qel/archive/Component.h"

// The flat listing of a tree, one entry per line, as list prints it and
// apply and diff read it:
//
//   PATH=VALUE          a text value
//   PATH:texthex=HEX    a text value whose bytes have no UTF-8 form
//   PATH:hex=HEX        a binary value
//   PATH/               an empty composite
//   -PATH               (apply only) removes the entry at PATH
//
// PATH is the path that qel::tree looks the entry up with ("name[i]" for
// the second and later of a name, "\/", "\\" and "\[" inside names), in
// UTF-8, with "=", ":" and control characters escaped as "\=", "\:", "\n",
// "\r", "\t" and "\xHH", and a leading "-" or "#" as "\-" or "\#"; a path
// that has no UTF-8 form gives its bytes in the code page, every byte from
// 0x80 up as "\xHH".  VALUE
// has "\", control characters and DEL escaped ("\\", "\n", "\r", "\t",
// "\xHH"); anything else, "=" included, stands for itself.
namespace qeltool {

// The "format" member of the JSON listing that list --json prints.
constexpr const char* kListFormat = "qel-list";

struct ListEntry {
  enum Kind { kText, kBinary, kComposite, kRemove };
  Kind kind = kText;
  // The tree path and the value as the tree holds them: ANSI bytes.
  std::string path;
  std::string value;
};

// Every leaf below root and every empty composite, in walk order.
std::vector<ListEntry> listEntries(const qel::CComposite& root);

// The entry as a listing line, without the line feed.
std::string formatLine(const ListEntry& entry);
// The path as a listing shows it.
std::string listPath(const std::string& treePath);
// The path in UTF-8 with only its control characters escaped, as ls shows
// names: what a command's PATH argument takes.
std::string shownPath(const std::string& treePath);

// One listing line; where ("FILE: line N") names it in a Failure.
ListEntry parseLine(const std::string& line, const std::string& where);

// {"path": ..., "value" | "textHex" | "hex": ...}, {"path", "composite": true}
// or {"path", "remove": true}; paths and text in UTF-8, a path without a
// UTF-8 form as "pathHex" (its bytes in the code page).
Json entryToJson(const ListEntry& entry);
ListEntry entryFromJson(const Json& node, const std::string& where);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_LISTFORM_H_
