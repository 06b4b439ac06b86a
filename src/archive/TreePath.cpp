#include "archive/TreePath.h"

#include <limits>

#include "qel/archive/Tree.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"

namespace qel::tree {

namespace {

[[noreturn]] void malformed(std::string_view path, const wchar_t* what) {
  throw IOException(displayPath(path) + L": " + what);
}

// Reads "[digits]" at path[at], which must close the name; at is left after it.
std::size_t readIndex(std::string_view path, std::size_t& at) {
  std::size_t index = 0;
  std::size_t digits = 0;
  for (++at; at < path.size() && path[at] >= '0' && path[at] <= '9'; ++at, ++digits) {
    const auto digit = static_cast<std::size_t>(path[at] - '0');
    if (index > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
      malformed(path, L"index out of range");
    }
    index = index * 10 + digit;
  }
  if (digits == 0 || at == path.size() || path[at] != ']') {
    malformed(path, L"an index is \"[\", digits and \"]\" (write \"\\[\" for the character)");
  }
  ++at;
  if (at < path.size() && path[at] != '/') {
    malformed(path, L"an index must close its name");
  }
  return index;
}

}  // namespace

std::vector<PathStep> parsePath(std::string_view path) {
  std::vector<PathStep> steps;
  if (path.empty()) {
    return steps;
  }
  PathStep step{std::string(), 0};
  std::size_t at = 0;
  while (true) {
    if (at == path.size() || path[at] == '/') {
      steps.push_back(std::move(step));
      step = PathStep{std::string(), 0};
      if (at == path.size()) {
        return steps;
      }
      ++at;
      if (at == path.size()) {
        // A path that ends in '/' names an empty name last.
        steps.push_back(std::move(step));
        return steps;
      }
      continue;
    }
    const char c = path[at];
    if (c == '\\') {
      if (at + 1 == path.size() ||
          (path[at + 1] != '/' && path[at + 1] != '\\' && path[at + 1] != '[')) {
        malformed(path, L"\"\\\" escapes only \"/\", \"\\\" and \"[\"");
      }
      step.name += path[at + 1];
      at += 2;
    } else if (c == '[') {
      step.index = readIndex(path, at);
    } else {
      step.name += c;
      ++at;
    }
  }
}

std::string pathSegment(std::string_view name, std::size_t index) {
  std::string segment = escapeName(name);
  if (index != 0 || name.empty()) {
    segment += "[" + std::to_string(index) + "]";
  }
  return segment;
}

std::wstring displayPath(std::string_view path) {
  return CWin32Helper::fromANSI(std::string(path));
}

std::string escapeName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    if (c == '\\' || c == '/' || c == '[') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

}  // namespace qel::tree
