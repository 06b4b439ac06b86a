#ifndef QEL_ARCHIVE_TREE_H_
#define QEL_ARCHIVE_TREE_H_

#include <cstddef>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "qel/archive/Component.h"
#include "qel/core/Export.h"

// Paths, typed values and walks over a component tree.
//
// A path is names separated by '/'; inside a name "\/", "\\" and "\[" stand
// for the character itself.  "name[i]" is the i-th child of that name in list
// order (0-based), "name" alone the first; the empty path is the root.  A
// malformed path (another escape, a '\' at the end, an index that is not
// "[digits]" closing the name) throws IOException naming it.  Names are bytes
// in the ANSI code page, as the tree holds them; toUtf8 and fromUtf8 convert
// at the edge.  No operation here reorders a child list.
namespace qel::tree {

// The node at path, or null when there is none.
QEL_API const CBaseComponent* lookup(const CComposite& root, std::string_view path);
QEL_API CBaseComponent* lookup(CComposite& root, std::string_view path);

// The value of the text component at path; empty when there is none or the
// node there is not a text component.
QEL_API std::optional<std::string> getText(const CComposite& root, std::string_view path);

// The text component's value at path parsed as T, the whole text and nothing
// else: bool is "1", "0", "true" or "false"; integers are decimal with an
// optional '-' for signed types, without overflow; double is a finite
// decimal or exponent form.  fallback when the value is missing or does not
// parse.  std::string gives the text as it is.
template <typename T>
T get(const CComposite& /*root*/, std::string_view /*path*/, T fallback) {
  static_assert(sizeof(T) == 0,
                "tree::get reads bool, int, long, long long, unsigned, unsigned long, "
                "unsigned long long, double and std::string");
  return fallback;
}
template <>
QEL_API bool get<bool>(const CComposite& root, std::string_view path, bool fallback);
template <>
QEL_API int get<int>(const CComposite& root, std::string_view path, int fallback);
template <>
QEL_API long get<long>(const CComposite& root, std::string_view path, long fallback);
template <>
QEL_API long long get<long long>(const CComposite& root, std::string_view path, long long fallback);
template <>
QEL_API unsigned get<unsigned>(const CComposite& root, std::string_view path, unsigned fallback);
template <>
QEL_API unsigned long get<unsigned long>(const CComposite& root, std::string_view path,
                                         unsigned long fallback);
template <>
QEL_API unsigned long long get<unsigned long long>(const CComposite& root, std::string_view path,
                                                   unsigned long long fallback);
template <>
QEL_API double get<double>(const CComposite& root, std::string_view path, double fallback);
template <>
QEL_API std::string get<std::string>(const CComposite& root, std::string_view path,
                                     std::string fallback);
// So that a literal fallback reads the text: get(root, "a/b", "none").
inline std::string get(const CComposite& root, std::string_view path, const char* fallback) {
  return get<std::string>(root, path, fallback);
}

// Replaces the value of the text component at path, or adds it, and any
// composite missing on the way, through CComposite::add.  A missing
// "name[i]" is added when the composite has i children of that name.
// Throws IOException naming the path when it runs through a leaf, names the
// root, a composite or a binary component, or has an index beyond the next.
QEL_API CComponent& setText(CComposite& root, std::string_view path, std::string_view value);
// The same for a binary component, holding a copy of the size bytes at data.
QEL_API CBinaryComponent& setData(CComposite& root, std::string_view path,
                                  const unsigned char* data, unsigned int size);

// Removes and destroys the node at path; false when there is none.  The
// root cannot be removed (IOException).
QEL_API bool remove(CComposite& root, std::string_view path);
// Moves the node at from, with what it holds, to path to (renaming it when
// only the last name differs), adding missing composites on the way as
// setText does; it goes last in its new list.  False, changing nothing,
// when there is no node at from.  Throws IOException when to exists, lies
// inside from or cannot be made.
QEL_API bool move(CComposite& root, std::string_view from, std::string_view to);

// The children of a composite in list order, for range-for.
template <typename Node>
class ChildRange {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = CBaseComponent;
    using difference_type = std::ptrdiff_t;
    using pointer = Node*;
    using reference = Node&;

    iterator() = default;
    Node& operator*() const { return *_position.pChild; }
    Node* operator->() const { return _position.pChild; }
    iterator& operator++() {
      _position = _pOwner->nextChild(_position);
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const iterator& other) const {
      return _position.pChild == other._position.pChild;
    }
    bool operator!=(const iterator& other) const { return !(*this == other); }

   private:
    friend class ChildRange;
    iterator(const CComposite* owner, CComposite::ChildPosition position)
        : _pOwner(owner), _position(position) {}
    const CComposite* _pOwner = nullptr;
    CComposite::ChildPosition _position{nullptr, nullptr, 0};
  };

  explicit ChildRange(const CComposite& composite) : _pComposite(&composite) {}
  iterator begin() const { return iterator(_pComposite, _pComposite->firstChild()); }
  iterator end() const { return iterator(); }

 private:
  const CComposite* _pComposite;
};

inline ChildRange<const CBaseComponent> children(const CComposite& composite) {
  return ChildRange<const CBaseComponent>(composite);
}
inline ChildRange<CBaseComponent> children(CComposite& composite) {
  return ChildRange<CBaseComponent>(composite);
}

// Calls f for every node below root, depth first in list order, a composite
// before its children, with the path that looks the node up.  Iterative:
// the depth of the tree never reaches the call stack.  f must not change
// the tree.
QEL_API void visit(
    const CComposite& root,
    const std::function<void(const std::string& path, const CBaseComponent& node)>& f);

// name with '\', '/' and '[' escaped, to be joined into a path with '/'.
QEL_API std::string escapeName(std::string_view name);

// What a conversion could not carry over: how many characters, and the
// first of them described ("\"\xe6\x97\xa5\" (U+65E5)", or "an invalid UTF-8
// sequence").
struct TextLoss {
  std::size_t nCount = 0;
  std::string sFirst;
};

// The UTF-8 form of text in the ANSI code page (CWin32Helper::setAnsiCodePage),
// NUL bytes included.
QEL_API std::string toUtf8(std::string_view codePageText);
// The same, counting in loss the bytes that have no character in the page.
QEL_API std::string toUtf8(std::string_view codePageText, TextLoss& loss);
// The ANSI form of UTF-8 text, NUL bytes included.  Throws IOException
// naming the first character the code page cannot represent, or an invalid
// UTF-8 sequence.
QEL_API std::string fromUtf8(std::string_view utf8);
// The same, replacing what the page lacks as the page does and reporting it
// in loss instead of throwing.
QEL_API std::string fromUtf8(std::string_view utf8, TextLoss& loss);

}  // namespace qel::tree

#endif  // QEL_ARCHIVE_TREE_H_
