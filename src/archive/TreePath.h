#ifndef QEL_SRC_ARCHIVE_TREEPATH_H_
#define QEL_SRC_ARCHIVE_TREEPATH_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qel::tree {

// One name of a path: the index-th child named name (0 when not given).
struct PathStep {
  std::string name;
  std::size_t index;
};

// The steps of path, none for the empty path; a malformed path throws
// IOException naming it and what is wrong.
std::vector<PathStep> parsePath(std::string_view path);

// The part of a path that names the index-th child named name: the index
// is left out when it is 0, unless the name is empty.
std::string pathSegment(std::string_view name, std::size_t index);

// path in the form messages name it.
std::wstring displayPath(std::string_view path);

}  // namespace qel::tree

#endif  // QEL_SRC_ARCHIVE_TREEPATH_H_
