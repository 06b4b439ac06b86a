#ifndef QEL_ARCHIVE_COMPONENT_H_
#define QEL_ARCHIVE_COMPONENT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "qel/archive/Archive.h"
#include "qel/core/Export.h"
#include "qel/datetime/DateTime.h"

namespace qel {

template <typename T>
class QEL_API Cloneable {
 public:
  Cloneable() = default;
  Cloneable(const Cloneable&) {}
  Cloneable& operator=(const Cloneable&) { return *this; }
  virtual ~Cloneable() {}
  virtual T* clone() const = 0;
};

class QEL_API ISerialize {
 public:
  // Stores when ar is storing, loads otherwise.
  virtual void serialize(CArchive& ar, CArchive::RetError& code) = 0;

 protected:
  ~ISerialize() = default;
};

// A named node of a component tree.
class QEL_API CBaseComponent : public Cloneable<CBaseComponent>, public ISerialize {
 public:
  enum Type { TYPE_COMPONENT = 1, TYPE_COMPOSITE = 2, TYPE_END = 3, TYPE_BINARY = 4 };

  CBaseComponent(Type type, const std::string& name);
  CBaseComponent(const CBaseComponent& other);
  CBaseComponent& operator=(const CBaseComponent& other);
  ~CBaseComponent() override;

  const std::string& getName() const { return _sName; }
  Type getType() const { return _eType; }
  bool isValid() const { return !_sName.empty(); }
  bool isComposite() const { return _eType == TYPE_COMPOSITE; }

 protected:
  // The name is the length bytes at name.
  CBaseComponent(Type type, const char* name, std::size_t length);

  Type _eType;
  std::string _sName;
};

// A leaf holding a text value.
class QEL_API CComponent : public CBaseComponent {
 public:
  CComponent(const std::string& name, const std::string& value);
  CComponent(const CComponent& other);
  CComponent& operator=(const CComponent& other);
  ~CComponent() override;

  const std::string& getValue() const { return _sValue; }
  void setValue(const std::string& value) { _sValue = value; }

  CBaseComponent* clone() const override;
  void serialize(CArchive& ar, CArchive::RetError& code) override;

 protected:
  friend class CComposite;
  CComponent();
  // A loaded leaf: name and value are the bytes given.
  CComponent(const char* name, std::size_t nameLength, const char* value, std::size_t valueLength);

  std::string _sValue;
};

// A leaf holding a byte array.
class QEL_API CBinaryComponent : public CBaseComponent {
 public:
  explicit CBinaryComponent(const std::string& name);
  // Copies own a copy of the bytes.
  CBinaryComponent(const CBinaryComponent& other);
  CBinaryComponent& operator=(const CBinaryComponent& other);
  ~CBinaryComponent() override;

  // The component's own array (null when empty); size receives the count.
  unsigned char* getData(unsigned int& size) const;
  // Replaces the bytes by a copy of size bytes at data.  Size 0 (or null
  // data) keeps the bytes held.
  void setData(const unsigned char* data, unsigned int size);
  // A new[] copy for the caller, who frees it with delete[]; data is left
  // untouched when there are no bytes.  Returns the count.
  unsigned int copyData(unsigned char*& data);
  bool isEqual(const unsigned char* data, unsigned int size);
  // Each byte as two lower-case hexadecimal digits, a space byte as a space.
  std::string toString();

  CBaseComponent* clone() const override;
  void serialize(CArchive& ar, CArchive::RetError& code) override;

 protected:
  friend class CComposite;
  CBinaryComponent();
  // A loaded leaf: the name and a copy of the size bytes at data.
  CBinaryComponent(const char* name, std::size_t nameLength, const char* data, std::size_t size);

  unsigned char* _pData;
  std::uint32_t _nSize;
};

namespace detail {

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
#if (defined(__GNUC__) || defined(__clang__)) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
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

// The children of a large composite by name: for each name, the child that
// a lookup returns (the first of that name in list order).  Open addressing
// with linear probing; a slot holds the low half of the name's hash (which
// also gives its home slot, so the index holds at most 2^32 names), the child
// and the name itself
// (names of up to 16 bytes in the slot, longer ones in a block of their
// own), so that a lookup mostly reads one slot and nothing else.
class NameIndex {
 public:
  NameIndex() = default;
  NameIndex(const NameIndex&) = delete;
  NameIndex& operator=(const NameIndex&) = delete;
  ~NameIndex() { reset(); }

  bool active() const { return _pSlots != nullptr; }
  // Makes the index usable (empty) with room for about count names.
  void activate(std::size_t count);
  // Frees everything: the index is inactive again.
  void reset();
  void swap(NameIndex& other) noexcept;

  // The child filed under name, or null.
  CBaseComponent* find(std::string_view name) const { return find(name, hashOf(name)); }
  // The same for a name whose hash (hashOf) is known.
  CBaseComponent* find(std::string_view name, std::uint64_t hash) const;
  // Files child under name unless the name is there already.
  void insert(std::string_view name, CBaseComponent* child);
  // Files child under name in place of the one there (or takes the name out
  // when child is null).
  void assign(std::string_view name, CBaseComponent* child);
  // Starts fetching the slot where a lookup of a name of that hash begins.
  void prefetch(std::uint64_t hash) const;

  static std::uint64_t hashOf(std::string_view name);

 private:
  static constexpr std::size_t kInline = 16;
  struct Slot {
    CBaseComponent* pChild;  // null: the slot is free
    std::uint32_t nTag;
    std::uint32_t nLength;
    union {
      char text[kInline];
      char* pText;
    } name;
  };

  static bool holds(const Slot& slot, std::uint32_t tag, std::string_view name);
  static void freeName(Slot& slot);
  // The slot of name, or the free slot where it would go.
  Slot* probe(std::string_view name, std::uint64_t hash) const;
  void grow();
  void erase(Slot* slot);

  Slot* _pSlots = nullptr;
  std::size_t _nMask = 0;
  std::size_t _nCount = 0;
};

}  // namespace detail

// An inner node that owns an ordered list of children.
//
// The list order is that of a list that every name lookup sorts by name and
// to which add appends after a lookup: all children but the last added are
// in name order, the last added one is at the end until the next lookup.
// Children with equal names keep the order in which they were added.
// Additions cost O(log n), O(1) for a child whose name comes after every
// other (as a stored list loads); lookups O(log n), or O(1) on average in a
// large list that lookups search again and again, which then keeps a name
// index beside the sorted list.
class QEL_API CComposite : public CBaseComponent {
 public:
  CComposite();
  explicit CComposite(const std::string& name);
  // Copies hold deep copies of the children (as clone makes them).
  CComposite(const CComposite& other);
  CComposite& operator=(const CComposite& other);
  ~CComposite() override;

  bool isRoot() const { return _sName.empty(); }
  bool hasChildren() const { return _pLast != nullptr || !_children.empty(); }
  std::size_t getChildCount() const { return _children.size() + (_pLast != nullptr ? 1 : 0); }

  // Inserts the children, in list order, before the elements out holds.
  void getChildren(std::list<CBaseComponent*>& out);
  // Takes ownership of child and appends it; a name already present is
  // logged as an error notice, and both are kept.  A null child, the
  // composite itself or a child already in the list is not added again.
  void add(CBaseComponent* child);
  // Removes and destroys the child at that address, if it is one.  Costs
  // O(log n) for a child that still has the name it was added with, O(n)
  // for a renamed child or a pointer that is no child.
  void remove(CBaseComponent* child);
  void clear();
  // A child with that name, or null.  Sorts the list.
  CBaseComponent* find(const std::string& name);

  CBaseComponent* clone() const override;
  void serialize(CArchive& ar, CArchive::RetError& code) override;

 private:
  using ChildMap = detail::ChildList;

  // A list of this many children that lookups have had to search this many
  // times files them all in a name index, which later additions then keep
  // up to date.
  static constexpr std::size_t kIndexFrom = 64;
  static constexpr std::uint32_t kSearchesBeforeIndex = 8;

  // Brings the last added child into name order (and into the index of a
  // large list).
  void settle();
  // Files every child of the sorted part in the name index.
  void buildIndex();
  // The entry of a child among the entries filed under name, or the end.
  ChildMap::iterator filedUnder(std::string_view name, const CBaseComponent* child) const;
  // The entry of a child in the sorted part, or the end.
  ChildMap::iterator locate(const CBaseComponent* child);
  // Frees the name index; lookups search the list until they build it again.
  void dropIndex();
  template <typename F>
  void forEachChild(F f) const;
  void store(CArchive& ar, CArchive::RetError& code);
  void load(CArchive& ar, CArchive::RetError& code);
  // Takes the children out of this composite, leaving it empty.
  void releaseChildren(std::vector<CBaseComponent*>& out);
  // Destroys the nodes in order, taking the children of every composite
  // among them into the queue first, so that the depth of a tree never
  // reaches the call stack.
  static void destroyAll(std::vector<CBaseComponent*>& nodes);
  void swapChildren(CComposite& other);

  // The sorted part of the list, keyed by each child's name at insertion.
  ChildMap _children;
  // Empty until a lookup in a large list needs it (one that only grows at
  // its end, as a loaded list does, never needs it); then every child of
  // _children by name.
  detail::NameIndex _index;
  // Searches of the sorted list since it was last emptied, while it has no
  // index.
  std::uint32_t _nSearches = 0;
  // The last added child, not yet sorted in; null when none.
  CBaseComponent* _pLast;
};

// A date as a record of its own: GMT flag, Julian day, milliseconds.
QEL_API CArchive& operator<<(CArchive& ar, CDateTime date);
// Reads the three fields of the current record (the caller has called
// readStartLine); a field that cannot be read gives false or 0.
QEL_API CArchive& operator>>(CArchive& ar, CDateTime& date);

}  // namespace qel

#endif  // QEL_ARCHIVE_COMPONENT_H_
