#ifndef QEL_SRC_ARCHIVE_TREELOAD_H_
#define QEL_SRC_ARCHIVE_TREELOAD_H_

#include <string>

#include "qel/archive/TreeFile.h"

namespace qel {

// Loads file into root; *trailing tells whether a record follows the end of
// the tree (only asked when the tree loaded whole).
CTreeFile::LoadReport loadTree(const CFile& file, CComposite& root, bool* trailing);

// Creates the directory that is to hold file when it is missing (only the
// last one, as the system's mkdir does).
void createParentDirectory(const CFile& file);

// Why what loadTree reported is not a whole tree, naming the file
// ("<path>: truncated at record 3, byte offset 120: ..."); empty when it is
// one, or when the file is missing or empty (an empty tree).
std::wstring wholeTreeFailure(const CFile& file, const CTreeFile::LoadReport& report,
                              bool trailing);

}  // namespace qel

#endif  // QEL_SRC_ARCHIVE_TREELOAD_H_
