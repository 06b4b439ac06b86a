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

// The entries of one composite's child list, taken from blocks that hold
// many of them: one allocation per block instead of one per child, and the
// entries of a loaded list lie side by side in list order.  Entries given
// back are reused; the blocks go when the pool does or when reset is
// called with no entry in use.
class ChildPool {
 public:
  ChildPool() = default;
  ChildPool(const ChildPool&) = delete;
  ChildPool& operator=(const ChildPool&) = delete;
  ~ChildPool() { reset(); }

  // Entries of the first size asked for come from the blocks.
  bool serves(std::size_t size) {
    if (_nSlot == 0) {
      _nSlot = (size + alignof(void*) - 1) / alignof(void*) * alignof(void*);
    }
    return size <= _nSlot;
  }
  void* take() {
    if (_pFree != nullptr) {
      void* entry = _pFree;
      _pFree = *static_cast<void**>(entry);
      return entry;
    }
    if (_pCursor == _pEnd) {
      grow();
    }
    void* entry = _pCursor;
    _pCursor += _nSlot;
    return entry;
  }
  void give(void* entry) {
    *static_cast<void**>(entry) = _pFree;
    _pFree = entry;
  }
  void reset() {
    while (_pBlocks != nullptr) {
      void* next = *static_cast<void**>(_pBlocks);
      ::operator delete(_pBlocks, kBlockAlignment);
      _pBlocks = next;
    }
    _pFree = nullptr;
    _pCursor = nullptr;
    _pEnd = nullptr;
    _nNextCount = kFirstCount;
  }

 private:
  static constexpr std::size_t kFirstCount = 8;
  static constexpr std::size_t kLargestCount = 1024;
  // Blocks start on a cache line and their entries after a header of one
  // line, so that an entry of a line's size lies in exactly one.
  static constexpr std::size_t kHeader = 64;
  static constexpr std::align_val_t kBlockAlignment{64};

  void grow() {
    auto* block =
        static_cast<char*>(::operator new(kHeader + _nSlot * _nNextCount, kBlockAlignment));
    *reinterpret_cast<void**>(block) = _pBlocks;
    _pBlocks = block;
    _pCursor = block + kHeader;
    _pEnd = _pCursor + _nSlot * _nNextCount;
    if (_nNextCount < kLargestCount) {
      _nNextCount *= 2;
    }
  }

  std::size_t _nSlot = 0;
  std::size_t _nNextCount = kFirstCount;
  void* _pBlocks = nullptr;
  void* _pFree = nullptr;
  char* _pCursor = nullptr;
  char* _pEnd = nullptr;
};

// Allocates single entries of a child list from the list's pool; anything
// else from the heap.  Copies share the pool, which lives as long as one of
// them.
template <typename T>
class ChildAllocator {
 public:
  using value_type = T;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  ChildAllocator() : _pPool(std::make_shared<ChildPool>()) {}
  template <typename U>
  ChildAllocator(const ChildAllocator<U>& other) noexcept : _pPool(other.pool()) {}

  T* allocate(std::size_t n) {
    if (n == 1 && _pPool->serves(sizeof(T))) {
      return static_cast<T*>(_pPool->take());
    }
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n == 1 && _pPool->serves(sizeof(T))) {
      _pPool->give(p);
    } else {
      ::operator delete(p);
    }
  }

  const std::shared_ptr<ChildPool>& pool() const noexcept { return _pPool; }

  template <typename U>
  bool operator==(const ChildAllocator<U>& other) const noexcept {
    return _pPool == other.pool();
  }
  template <typename U>
  bool operator!=(const ChildAllocator<U>& other) const noexcept {
    return _pPool != other.pool();
  }

 private:
  std::shared_ptr<ChildPool> _pPool;
};

// The name under which a child list files a child: up to 16 bytes in
// place, a longer one in a block of its own.  With the tree's links and the
// child it makes a list entry of 64 bytes, one cache line in the pool.
class ChildKey {
 public:
  explicit ChildKey(std::string_view name) : _nLength(name.size()) {
    char* to = _nLength > kInline ? (_u.pText = new char[_nLength]) : _u.text;
    if (_nLength != 0) {
      std::memcpy(to, name.data(), _nLength);
    }
  }
  ChildKey(const ChildKey& other) : ChildKey(other.view()) {}
  ChildKey& operator=(const ChildKey&) = delete;
  ~ChildKey() {
    if (_nLength > kInline) {
      delete[] _u.pText;
    }
  }

  std::string_view view() const {
    return std::string_view(_nLength > kInline ? _u.pText : _u.text, _nLength);
  }

 private:
  static constexpr std::size_t kInline = 16;
  union {
    char text[kInline];
    char* pText;
  } _u;
  std::size_t _nLength;
};

// Orders keys as std::string orders the names, and compares keys with names
// directly.
struct ChildKeyLess {
  using is_transparent = void;
  bool operator()(const ChildKey& a, const ChildKey& b) const { return a.view() < b.view(); }
  bool operator()(const ChildKey& a, std::string_view b) const { return a.view() < b; }
  bool operator()(std::string_view a, const ChildKey& b) const { return a < b.view(); }
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
// Additions cost O(log n); lookups O(log n), or O(1) on average in a large
// list, which keeps a name index beside the sorted list.
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
  using ChildMap =
      std::multimap<detail::ChildKey, CBaseComponent*, detail::ChildKeyLess,
                    detail::ChildAllocator<std::pair<const detail::ChildKey, CBaseComponent*>>>;

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
  // The entry of a child in the sorted part, or the end.
  ChildMap::iterator locate(const CBaseComponent* child);
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
