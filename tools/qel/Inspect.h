#ifndef QEL_TOOLS_QEL_INSPECT_H_
#define QEL_TOOLS_QEL_INSPECT_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"

namespace qeltool {

// "RET_BAD_FORMAT" and so on.
const char* codeName(qel::CArchive::RetError code);

// "string", "data" and so on; nullptr for a type digit no field has.
const char* fieldTypeName(int type);

// Loads the component tree of path into root.  Any defect (missing,
// unreadable, empty, malformed, records after the end of the tree) ends in
// a Failure naming the file, the code, the record and its byte offset.
void loadTree(const std::string& path, qel::CComposite& root);

// Reads every record of any archive and, when out is given, prints each
// one: number, byte offset, declared length and field count, then each
// field's type and value.  Returns the number of records.  A malformed
// record ends in a Failure naming the code, the record and its offset; the
// records before it have been printed.
std::uint32_t walkRecords(const std::string& path, std::ostream* out);

// The tree as an indented outline: "[name]" for a composite, "name = value"
// for text with control characters escaped, "name = <binary, N bytes> hex"
// for binary data.  Names and values are shown in UTF-8.
void printOutline(qel::CComposite& root, std::ostream& out);

// All components below root.
std::size_t countComponents(qel::CComposite& root);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_INSPECT_H_
