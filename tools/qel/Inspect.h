#ifndef QEL_TOOLS_QEL_INSPECT_H_
#define QEL_TOOLS_QEL_INSPECT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"

namespace qeltool {

// Why a record did not read, in words: "the file ends inside the record"
// and so on.
const char* codeWords(qel::CArchive::RetError code);

// "string", "data" and so on; nullptr for a type digit no field has.
const char* fieldTypeName(int type);

// Loads the component tree of path into root.  Any defect (missing,
// unreadable, empty, malformed, records after the end of the tree) ends in
// a Failure naming the file, the code, the record and its byte offset.
void loadTree(const std::string& path, qel::CComposite& root);
// loadTree with a progress bar on a terminal (the file is read twice: as a
// tree, then to check that no record follows it).
void loadTreeWithProgress(const std::string& path, qel::CComposite& root);

// Reads every record of any archive and, when out is given, prints each
// one: number, byte offset, declared length and field count, then each
// field's type and value.  Returns the number of records.  A malformed
// record ends in a Failure naming the code, the record and its offset; the
// records before it have been printed.
std::uint32_t walkRecords(const std::string& path, std::ostream* out);

// One record as walkRecords reads it: each field's type digit and value.
struct RecordEntry {
  std::uint32_t number = 0;
  std::uint64_t offset = 0;
  std::int32_t length = 0;
  std::int32_t declaredFields = 0;
  std::vector<std::pair<int, std::string>> fields;
};
// walkRecords handing each record to each (after printing it to out, if
// given).
std::uint32_t walkRecords(const std::string& path, std::ostream* out,
                          const std::function<void(const RecordEntry&)>& each);

// The tree as an indented outline: "[name]" for a composite, "name = value"
// for text with control characters escaped, "name = <binary, N bytes> hex"
// for binary data.  Names and values are shown in UTF-8.
// Indentation grows by two spaces a level down to kMaxIndentLevels; below,
// a line starts with the indentation of that level and "(depth N) ".
// Printing stops early once out fails.
constexpr std::size_t kMaxIndentLevels = 64;
void printOutline(qel::CComposite& root, std::ostream& out);

// The first deviation of bytes from the record framing (a length of four
// hexadecimal digits, a line feed after the record, a field count of two,
// each field's type digit, three-digit length and '0' separator, the
// closing '0', as many fields as declared), as "record N at byte offset O:
// what, at byte offset P"; empty when every record is framed as it must be.
std::string framingDeviation(const std::string& bytes);

// The byte offset just past the record that starts at offset in bytes,
// read from its length; offset itself when no length can be read there.
std::uint64_t recordEnd(const std::string& bytes, std::uint64_t offset);

// All components below root.
std::size_t countComponents(qel::CComposite& root);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_INSPECT_H_
