#ifndef QEL_ARCHIVE_COMPONENT_H_
#define QEL_ARCHIVE_COMPONENT_H_

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>

#include "qel/archive/Archive.h"
#include "qel/archive/TreeFile.h"
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
  // A composite files a child under the name it had when it was added:
  // rename a child after taking it out of the list (CComposite::detach), or
  // lookups by the new name may miss it.
  void setName(const std::string& name) { _sName = name; }

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

  // An unnamed, empty leaf, for serialize to load into.
  CComponent();
  // A leaf whose name and value are the bytes given.
  CComponent(const char* name, std::size_t nameLength, const char* value, std::size_t valueLength);

  CBaseComponent* clone() const override;
  void serialize(CArchive& ar, CArchive::RetError& code) override;

 protected:
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

  // An unnamed leaf without bytes, for serialize to load into.
  CBinaryComponent();
  // A leaf named by the nameLength bytes at name, holding a copy of the
  // size bytes at data.
  CBinaryComponent(const char* name, std::size_t nameLength, const char* data, std::size_t size);

  CBaseComponent* clone() const override;
  void serialize(CArchive& ar, CArchive::RetError& code) override;

 protected:
  unsigned char* _pData;
  std::uint32_t _nSize;
};

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
  bool hasChildren() const;
  std::size_t getChildCount() const;

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
  // Exchanges the children of the two composites; their names stay.
  void swapChildren(CComposite& other) noexcept;
  // A child with that name, or null.  Sorts the list.
  CBaseComponent* find(const std::string& name);
  // The index-th child (0-based) named name in list order, or null.  Unlike
  // find, it leaves the list in the order it has.  O(log n + index).
  CBaseComponent* findInList(std::string_view name, std::size_t index);
  const CBaseComponent* findInList(std::string_view name, std::size_t index) const;
  // Takes child out of the list without destroying it: the caller owns it
  // then.  Null, changing nothing, when it is no child.
  CBaseComponent* detach(CBaseComponent* child);

  // A place in the child list, for walking it in list order without
  // sorting it: pChild is the child there, null past the last one.  Valid
  // until the list changes.
  struct ChildPosition {
    CBaseComponent* pChild;
    const void* pNode;
    std::uint32_t nIndex;
  };
  ChildPosition firstChild() const;
  ChildPosition nextChild(const ChildPosition& position) const;

  CBaseComponent* clone() const override;
  void serialize(CArchive& ar, CArchive::RetError& code) override;

 private:
  // The child list and its name index live in the library.
  struct Children;
  std::unique_ptr<Children> _pChildren;
};

// A date as a record of its own: GMT flag, Julian day, milliseconds.
QEL_API CArchive& operator<<(CArchive& ar, CDateTime date);
// Reads the three fields of the current record (the caller has called
// readStartLine); a field that cannot be read gives false or 0.
QEL_API CArchive& operator>>(CArchive& ar, CDateTime& date);

}  // namespace qel

#endif  // QEL_ARCHIVE_COMPONENT_H_
