#ifndef QEL_SRC_ARCHIVE_CHILDLIST_H_
#define QEL_SRC_ARCHIVE_CHILDLIST_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/Compiler.h"
namespace qel {

class CBaseComponent;

// The name under which a child list files a child (its name when it was
// added): up to 16 bytes in place, a longer one in a block of its own.  A
// plain value that the list copies and moves as bytes; the list frees a
// long name when it lets go of it.
struct ChildName {
  static constexpr std::size_t kInline = 16;
  union {
    char text[kInline];
    char* pText;
  } u;
  std::size_t nLength;

  static ChildName make(std::string_view name);
  // The same, written straight into into: a name made aside and copied
  // would be read back in wider pieces than it was written in, which the
  // processor cannot forward.  When a long name's block cannot be had,
  // into is left as it was.
  static void makeAt(ChildName& into, std::string_view name);
  void release() {
    if (nLength > kInline) {
      delete[] u.pText;
    }
  }
  std::string_view view() const {
    return std::string_view(nLength > kInline ? u.pText : u.text, nLength);
  }
};

// Whether name a comes before name b in the order of std::string (bytes as
// unsigned values, then the shorter first).  Inline and eight bytes at a
// time: names are short, and every step of a search in a child list
// compares two of them.
inline bool nameLess(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  std::size_t i = 0;
  for (; i + 8 <= common; i += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
#if defined(QEL_LITTLE_ENDIAN_BUILTINS)
      // The first differing byte decides: in memory order as a big number.
      return __builtin_bswap64(x) < __builtin_bswap64(y);
#else
      break;
#endif
    }
  }
  for (; i < common; ++i) {
    if (a[i] != b[i]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
  }
  return a.size() < b.size();
}

struct ChildEntry {
  ChildName first;
  CBaseComponent* second;
};

struct ChildInner;

// The nodes of a child list: a B+ tree whose leaves hold the entries in list
// order and are chained, and whose inner nodes hold for each child but the
// first a name no greater than any in it and no less than any before it.
struct ChildNode {
  ChildInner* pParent;
  std::uint32_t nCount;  // entries of a leaf, children of an inner node
  bool bLeaf;
};

struct ChildLeaf : ChildNode {
  static constexpr std::uint32_t kCapacity = 30;
  ChildLeaf* pNext;
  ChildLeaf* pPrev;
  ChildEntry entries[kCapacity];
};

struct ChildInner : ChildNode {
  static constexpr std::uint32_t kCapacity = 32;
  ChildName keys[kCapacity - 1];  // keys[i] bounds kids[i] from above and kids[i + 1] from below
  ChildNode* kids[kCapacity];
};

// The sorted part of a composite's child list: entries ordered by name,
// equal names in the order they came.  Entries of 32 bytes lie side by side
// in leaves of about a kilobyte, so that walking the list reads memory in
// order and finding a place in a large list touches a few nodes, each
// fetched in one go.  No leaf is empty; the tree is empty when the list is.
class ChildList {
 public:
  class iterator {
   public:
    iterator() = default;
    const ChildEntry& operator*() const { return _pLeaf->entries[_nIndex]; }
    const ChildEntry* operator->() const { return &_pLeaf->entries[_nIndex]; }
    iterator& operator++() {
      if (++_nIndex == _pLeaf->nCount) {
        _pLeaf = _pLeaf->pNext;
        _nIndex = 0;
      }
      return *this;
    }
    bool operator==(const iterator& other) const {
      return _pLeaf == other._pLeaf && _nIndex == other._nIndex;
    }
    bool operator!=(const iterator& other) const { return !(*this == other); }
    // The leaf of the entry, to resume a walk from.
    const ChildLeaf* leaf() const { return _pLeaf; }

   private:
    friend class ChildList;
    iterator(ChildLeaf* leaf, std::uint32_t index) : _pLeaf(leaf), _nIndex(index) {}
    ChildLeaf* _pLeaf = nullptr;
    std::uint32_t _nIndex = 0;
  };
  using const_iterator = iterator;

  ChildList() = default;
  ChildList(const ChildList&) = delete;
  ChildList& operator=(const ChildList&) = delete;
  ~ChildList() { clear(); }

  bool empty() const { return _nSize == 0; }
  std::size_t size() const { return _nSize; }
  iterator begin() const { return iterator(_pFirst, 0); }
  iterator end() const { return iterator(); }
  // The last entry; the list must not be empty.
  const ChildEntry& back() const { return _pLast->entries[_pLast->nCount - 1]; }

  // Files child under name after every entry of that name.
  void insert(std::string_view name, CBaseComponent* child);
  // The same for a name that no entry's name exceeds: the entry goes last.
  void append(std::string_view name, CBaseComponent* child);
  // The first entry whose name is not less than name, or the end.
  iterator lowerBound(std::string_view name) const;
  void erase(iterator position);
  void clear();
  void swap(ChildList& other) noexcept;

 private:
  // The leaf where a search for name ends: the one that would hold the
  // first entry not less than name, or (after) the first greater than it.
  ChildLeaf* leafFor(std::string_view name, bool after) const;
  // Nodes allocated before a split changes anything.
  struct Spares {
    // Enough for a tree of any height that memory can hold.
    static constexpr int kMost = 24;
    ChildLeaf* pLeaf = nullptr;
    ChildInner* inner[kMost];
    int nInner = 0;
    ChildInner* take();
    void free();
  };
  // Puts entry (whose name it takes over) at index at of leaf.
  void insertAt(ChildLeaf* leaf, std::uint32_t at, const ChildEntry& entry, bool append);
  // Files right in left's parent after left, under key (which it takes),
  // splitting full ancestors with the spare nodes.
  void adopt(ChildNode* left, ChildName key, ChildNode* right, Spares& spares);
  // Takes node (emptied) out of the tree and frees it.
  void drop(ChildNode* node);

  ChildNode* _pRoot = nullptr;
  ChildLeaf* _pFirst = nullptr;
  ChildLeaf* _pLast = nullptr;
  std::size_t _nSize = 0;
};

}  // namespace qel

#endif  // QEL_SRC_ARCHIVE_CHILDLIST_H_
