#include <memory>
#include <typeinfo>
#include <utility>
#include <vector>

#include "archive/ChildList.h"
#include "archive/NameIndex.h"
#include "archive/TreeRecords.h"
#include "core/Compiler.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/platform/ConsoleLogger.h"

namespace qel {

// The list of a composite: the sorted part, keyed by each child's name at
// insertion, the last added child not yet sorted in, and (for a large list
// that lookups search again and again) a name index beside it.
struct QEL_INTERNAL CComposite::Children {
  // A list of this many children that lookups have had to search this many
  // times files them all in a name index, which later additions then keep
  // up to date.
  static constexpr std::size_t kIndexFrom = 64;
  static constexpr std::uint32_t kSearchesBeforeIndex = 8;

  ChildList sorted;
  // Empty until a lookup in a large list needs it (one that only grows at
  // its end, as a loaded list does, never needs it); then every child of
  // sorted by name.
  NameIndex index;
  // Searches of the sorted list since it was last emptied, while it has no
  // index.
  std::uint32_t nSearches = 0;
  // The last added child, not yet sorted in; null when none.
  CBaseComponent* pLast = nullptr;

  bool empty() const { return pLast == nullptr && sorted.empty(); }
  std::size_t size() const { return sorted.size() + (pLast != nullptr ? 1 : 0); }

  template <typename F>
  void forEach(F f) const {
    for (const auto& entry : sorted) {
      f(entry.second);
    }
    if (pLast != nullptr) {
      f(pLast);
    }
  }

  // Takes the children out, leaving the list empty.
  void release(std::vector<CBaseComponent*>& out) {
    forEach([&out](CBaseComponent* child) { out.push_back(child); });
    sorted.clear();
    dropIndex();
    pLast = nullptr;
  }

  // Frees the name index; lookups search the list until they build it again.
  void dropIndex() {
    index.reset();
    nSearches = 0;
  }

  // The entry of a child among the entries filed under name, or the end.
  ChildList::iterator filedUnder(std::string_view name, const CBaseComponent* child) const {
    for (auto it = sorted.lowerBound(name); it != sorted.end() && it->first.view() == name; ++it) {
      if (it->second == child) {
        return it;
      }
    }
    return sorted.end();
  }

  // The entry of a child in the sorted part, or the end.
  ChildList::iterator locate(const CBaseComponent* child) const {
    // A child is filed under its name, unless it was renamed (by assignment)
    // after it was added; then only a walk through the list finds it.
    const auto filed = filedUnder(child->getName(), child);
    if (filed != sorted.end()) {
      return filed;
    }
    for (auto it = sorted.begin(); it != sorted.end(); ++it) {
      if (it->second == child) {
        return it;
      }
    }
    return sorted.end();
  }

  // Brings the last added child into name order (and into the index of a
  // large list).  Inline: it runs on every add, where a call of its own
  // costs about 4% of the add.  Returns the child it settled when that went
  // to the end of the sorted part, else null.
  inline const CBaseComponent* settle();
  // Files every child of the sorted part in the name index.
  void buildIndex();
  CBaseComponent* find(std::string_view name);
  // Takes child out of the list; false when it is no child.
  bool remove(CBaseComponent* child);
  // Appends child as CComposite::add does; mayBeChild false skips the
  // search for child among those of its name (a child just made is none).
  inline void add(CBaseComponent* child, bool mayBeChild);

  static void store(const CComposite& root, CArchive& ar, CArchive::RetError& code);
  static void load(CComposite& root, CArchive& ar, CArchive::RetError& code);
  // Destroys the nodes in order, taking the children of every composite
  // among them into the queue first, so that the depth of a tree never
  // reaches the call stack.
  static void destroyAll(std::vector<CBaseComponent*>& nodes);
};

inline const CBaseComponent* CComposite::Children::settle() {
  if (pLast == nullptr) {
    return nullptr;
  }
  CBaseComponent* child = pLast;
  // Children mostly come in name order (loading a stored list): then the
  // end of the sorted part is their place.  Should memory run out, the
  // child stays the last added one, still owned.
  const std::string_view key(child->getName());
  const bool atEnd = sorted.empty() || !nameLess(key, sorted.back().first.view());
  if (atEnd) {
    sorted.append(key, child);
  } else {
    sorted.insert(key, child);
  }
  pLast = nullptr;
  if (index.active()) {
    try {
      index.insert(key, child);
    } catch (...) {
      // The index only speeds up lookups: without room for it, lookups
      // search the list until it can be built again.
      dropIndex();
    }
  }
  return atEnd ? child : nullptr;
}

void CComposite::Children::buildIndex() {
  try {
    index.activate(sorted.size() * 2);
    // The first child of each name in list order is the one filed.
    for (const auto& entry : sorted) {
      index.insert(entry.first.view(), entry.second);
    }
  } catch (...) {
    // A part of an index would miss names.
    index.reset();
    throw;
  }
}

CBaseComponent* CComposite::Children::find(std::string_view name) {
  const CBaseComponent* settledLast = settle();
  if (index.active()) {
    return index.find(name);
  }
  // A name after every present one (the usual case while a stored list is
  // loaded) needs no search, and no index: a list that only ever grows at
  // its end never builds one.  The greatest name is read from the child
  // just settled at the end rather than from its entry, whose bytes were
  // written a moment ago in pieces narrower than the comparison's words.
  if (sorted.empty() || nameLess(settledLast != nullptr ? std::string_view(settledLast->getName())
                                                        : sorted.back().first.view(),
                                 name)) {
    return nullptr;
  }
  // A large list that is searched again and again gets its index; one
  // search (the one child out of order at the end of a stored list, say)
  // is cheaper done in the sorted list.
  if (sorted.size() >= kIndexFrom && ++nSearches >= kSearchesBeforeIndex) {
    buildIndex();
    return index.find(name);
  }
  const auto position = sorted.lowerBound(name);
  if (position == sorted.end() || position->first.view() != name) {
    return nullptr;
  }
  return position->second;
}

bool CComposite::Children::remove(CBaseComponent* child) {
  if (child == pLast) {
    pLast = nullptr;
    return true;
  }
  const auto entry = locate(child);
  if (entry == sorted.end()) {
    return false;
  }
  if (index.active() && index.find(entry->first.view()) == child) {
    // Lookups of the name now give the next child of that name, if any.
    const std::string name(entry->first.view());
    sorted.erase(entry);
    const auto next = sorted.lowerBound(name);
    try {
      index.assign(name,
                   next == sorted.end() || next->first.view() != name ? nullptr : next->second);
    } catch (...) {
      // An index that still files the child would give it out after it is
      // gone; lookups search the list until the index is built again.
      dropIndex();
    }
  } else {
    sorted.erase(entry);
  }
  return true;
}

// ---- CComposite -------------------------------------------------------------

CComposite::CComposite()
    : CBaseComponent(TYPE_COMPOSITE, std::string()), _pChildren(new Children) {}

CComposite::CComposite(const std::string& name)
    : CBaseComponent(TYPE_COMPOSITE, name), _pChildren(new Children) {}

CComposite::CComposite(const CComposite& other) : CBaseComponent(other), _pChildren(new Children) {
  std::unique_ptr<CBaseComponent> copy(other.clone());
  _pChildren.swap(static_cast<CComposite&>(*copy)._pChildren);
}

CComposite& CComposite::operator=(const CComposite& other) {
  if (this == &other) {
    return *this;
  }
  std::unique_ptr<CBaseComponent> copy(other.clone());
  CBaseComponent::operator=(other);
  // The previous children go with the copy.
  _pChildren.swap(static_cast<CComposite&>(*copy)._pChildren);
  return *this;
}

CComposite::~CComposite() {
  if (_pChildren) {
    clear();
  }
}

bool CComposite::hasChildren() const {
  return !_pChildren->empty();
}

std::size_t CComposite::getChildCount() const {
  return _pChildren->size();
}

void CComposite::getChildren(std::list<CBaseComponent*>& out) {
  const auto front = out.begin();
  _pChildren->forEach([&out, front](CBaseComponent* child) { out.insert(front, child); });
}

CBaseComponent* CComposite::find(const std::string& name) {
  return _pChildren->find(name);
}

const CBaseComponent* CComposite::findInList(std::string_view name, std::size_t index) const {
  const Children& children = *_pChildren;
  // The children of one name lie side by side in the sorted part, in the
  // order they came; the last added one follows them all.
  for (auto it = children.sorted.lowerBound(name);
       it != children.sorted.end() && it->first.view() == name; ++it) {
    if (index == 0) {
      return it->second;
    }
    --index;
  }
  const CBaseComponent* last = children.pLast;
  return index == 0 && last != nullptr && last->getName() == name ? last : nullptr;
}

CBaseComponent* CComposite::findInList(std::string_view name, std::size_t index) {
  return const_cast<CBaseComponent*>(std::as_const(*this).findInList(name, index));
}

CBaseComponent* CComposite::detach(CBaseComponent* child) {
  return child != nullptr && _pChildren->remove(child) ? child : nullptr;
}

CComposite::ChildPosition CComposite::firstChild() const {
  const Children& children = *_pChildren;
  if (children.sorted.empty()) {
    return ChildPosition{children.pLast, nullptr, 0};
  }
  const auto first = children.sorted.begin();
  return ChildPosition{first->second, first.leaf(), 0};
}

CComposite::ChildPosition CComposite::nextChild(const ChildPosition& position) const {
  const auto* leaf = static_cast<const ChildLeaf*>(position.pNode);
  if (leaf == nullptr) {
    // The last added child was the last one.
    return ChildPosition{nullptr, nullptr, 0};
  }
  std::uint32_t index = position.nIndex + 1;
  if (index == leaf->nCount) {
    leaf = leaf->pNext;
    index = 0;
  }
  if (leaf == nullptr) {
    return ChildPosition{_pChildren->pLast, nullptr, 0};
  }
  return ChildPosition{leaf->entries[index].second, leaf, index};
}

inline void CComposite::Children::add(CBaseComponent* child, bool mayBeChild) {
  const std::string& name = child->getName();
  const CBaseComponent* found = nullptr;
  if (index.active()) {
    // The index slot of the name comes from memory while the child added
    // before is sorted in.
    const std::uint64_t hash = NameIndex::hashOf(name);
    index.prefetch(hash);
    settle();
    found = index.find(name, hash);
  } else {
    found = find(name);
  }
  if (found != nullptr && DISPLAY_ERROR_LOGS) {
    ConsoleLogger::LogMessage(LOG_ERROR, "CComposite::add ERROR - Already exist!!!");
  }
  if (found == child) {
    return;
  }
  // Owning a child twice would destroy it twice.  The search runs through
  // every child of the name, so a loaded child, new for certain, skips it:
  // thousands of children of one name would make loading quadratic.
  if (mayBeChild && found != nullptr && filedUnder(name, child) != sorted.end()) {
    return;
  }
  pLast = child;
}

void CComposite::add(CBaseComponent* child) {
  if (child == nullptr || child == this) {
    return;
  }
  _pChildren->add(child, true);
}

void CComposite::remove(CBaseComponent* child) {
  if (child == nullptr) {
    return;
  }
  if (!_pChildren->remove(child)) {
    return;
  }
  std::vector<CBaseComponent*> nodes(1, child);
  Children::destroyAll(nodes);
}

void CComposite::clear() {
  std::vector<CBaseComponent*> nodes;
  _pChildren->release(nodes);
  Children::destroyAll(nodes);
}

void CComposite::swapChildren(CComposite& other) noexcept {
  _pChildren.swap(other._pChildren);
}

CBaseComponent* CComposite::clone() const {
  std::unique_ptr<CComposite> root(new CComposite(_sName));
  // Plain composites are copied here rather than through their own clone,
  // so that the depth of a tree never reaches the call stack.
  std::vector<std::pair<const CComposite*, CComposite*>> pending(1, {this, root.get()});
  while (!pending.empty()) {
    const CComposite* source = pending.back().first;
    CComposite* target = pending.back().second;
    pending.pop_back();
    source->_pChildren->forEach([&pending, target](CBaseComponent* child) {
      if (child->isComposite() && typeid(*child) == typeid(CComposite)) {
        auto* copy = new CComposite(child->getName());
        target->_pChildren->add(copy, false);
        pending.emplace_back(static_cast<const CComposite*>(child), copy);
      } else {
        std::unique_ptr<CBaseComponent> copy(child->clone());
        target->_pChildren->add(copy.get(), false);
        // The target owns the copy now.
        static_cast<void>(copy.release());
      }
    });
  }
  return root.release();
}

void CComposite::serialize(CArchive& ar, CArchive::RetError& code) {
  if (ar.isStoring()) {
    Children::store(*this, ar, code);
  } else {
    Children::load(*this, ar, code);
  }
}

void CComposite::Children::destroyAll(std::vector<CBaseComponent*>& nodes) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    CBaseComponent* node = nodes[i];
    // The type asks first: a leaf, most nodes of a tree, needs no cast.
    if (node->isComposite()) {
      if (auto* composite = dynamic_cast<CComposite*>(node)) {
        composite->_pChildren->release(nodes);
      }
    }
    delete node;
  }
}

void CComposite::Children::store(const CComposite& root, CArchive& ar, CArchive::RetError& code) {
  struct Frame {
    const CComposite* pComposite;
    ChildList::iterator next;
    bool bLastDone;
  };
  std::vector<Frame> stack;
  auto open = [&ar, &code, &stack](const CComposite* composite) {
    // The composite storing starts at writes no start record when it has no
    // name: its children are framed by its end record alone.  Every other
    // composite writes one, an unnamed one with an empty name, so that its
    // end record cannot end its parent's loading.
    if ((!stack.empty() || !composite->getName().empty()) &&
        !TreeRecords::writeRecord(ar, TYPE_COMPOSITE, 2, composite->getName().data(),
                                  composite->getName().size(), CArchive::FIELD_STRING, nullptr, 0,
                                  code)) {
      ar.writeShort(TYPE_COMPOSITE, code);
      TreeRecords::writeText(ar, composite->getName().data(), composite->getName().size(), code);
      ar.writeEndLine(code);
    }
    stack.push_back(Frame{composite, composite->_pChildren->sorted.begin(), false});
  };
  // A component that the archive refuses (a value too long, a line feed in
  // a strict archive) is named in the message by its path below this one.
  // A failure of the file itself passes as it is.
  auto refusal = [&stack](const CBaseComponent* child, const IOException& e) {
    std::string path;
    for (std::size_t i = 1; i < stack.size(); ++i) {
      path += stack[i].pComposite->getName();
      path += '/';
    }
    if (child != nullptr) {
      path += child->getName();
    } else if (!path.empty()) {
      path.pop_back();
    }
    return IOException(CWin32Helper::fromANSI(path) + L": " + e.getMessage());
  };
  try {
    open(&root);
  } catch (const IOException& e) {
    if (TreeRecords::writeFailed(ar)) {
      throw;
    }
    throw refusal(nullptr, e);
  }
  CArchive::RetError failure = CArchive::RET_OK;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    CBaseComponent* child = nullptr;
    if (failure == CArchive::RET_OK) {
      if (frame.next != frame.pComposite->_pChildren->sorted.end()) {
        child = frame.next->second;
        ++frame.next;
      } else if (!frame.bLastDone) {
        frame.bLastDone = true;
        child = frame.pComposite->_pChildren->pLast;
      }
    }
    if (child == nullptr) {
      if (!TreeRecords::writeRecord(ar, TYPE_END, 1, nullptr, 0, CArchive::FIELD_STRING, nullptr, 0,
                                    code)) {
        ar.writeShort(TYPE_END, code);
        ar.writeEndLine(code);
      }
      stack.pop_back();
      continue;
    }
    try {
      if (child->isComposite() && typeid(*child) == typeid(CComposite)) {
        open(static_cast<const CComposite*>(child));
        continue;
      }
      child->serialize(ar, code);
    } catch (const IOException& e) {
      if (TreeRecords::writeFailed(ar)) {
        throw;
      }
      throw refusal(child, e);
    }
    if (code != CArchive::RET_OK) {
      // Every open composite still gets its end record.
      failure = code;
    }
  }
  if (failure != CArchive::RET_OK) {
    code = failure;
  }
}

void CComposite::Children::load(CComposite& root, CArchive& ar, CArchive::RetError& code) {
  // The composites whose end record has not come yet, innermost last.
  std::vector<CComposite*> open(1, &root);
  for (;;) {
    TreeRecords::startRecord(ar, code);
    if (code != CArchive::RET_OK) {
      return;
    }
    short kind = 0;
    if (!TreeRecords::readShort(ar, kind)) {
      ar.readShort(kind, code);
    }
    if (code != CArchive::RET_OK) {
      return;
    }
    CComposite* current = open.back();
    switch (kind) {
      case TYPE_COMPONENT:
      case TYPE_BINARY: {
        // The usual record, a name and a value in the plain layout, makes
        // its leaf straight from the record; anything else is read field by
        // field, which also reports what is wrong with it.
        const char* name = nullptr;
        const char* value = nullptr;
        std::size_t nameLength = 0;
        std::size_t valueLength = 0;
        if (TreeRecords::readPair(
                ar, kind == TYPE_COMPONENT ? CArchive::FIELD_STRING : CArchive::FIELD_DATA, name,
                nameLength, value, valueLength)) {
          CBaseComponent* leaf = nullptr;
          if (kind == TYPE_COMPONENT) {
            leaf = new CComponent(name, nameLength, value, valueLength);
          } else {
            leaf = new CBinaryComponent(name, nameLength, value, valueLength);
          }
          std::unique_ptr<CBaseComponent> owned(leaf);
          current->_pChildren->add(leaf, false);
          // The composite owns the leaf now.
          static_cast<void>(owned.release());
          break;
        }
        std::unique_ptr<CBaseComponent> child;
        if (kind == TYPE_COMPONENT) {
          child.reset(new CComponent());
        } else {
          child.reset(new CBinaryComponent());
        }
        child->serialize(ar, code);
        if (code != CArchive::RET_OK) {
          return;
        }
        current->_pChildren->add(child.get(), false);
        static_cast<void>(child.release());
        break;
      }
      case TYPE_COMPOSITE: {
        std::string name;
        if (!TreeRecords::readString(ar, name)) {
          ar.readString(name, code);
        }
        if (code != CArchive::RET_OK) {
          return;
        }
        auto* child = new CComposite(name);
        current->_pChildren->add(child, false);
        open.push_back(child);
        break;
      }
      default:
        // The end record, or a kind this library does not know: either ends
        // the current composite, and its parent goes on.
        open.pop_back();
        if (open.empty()) {
          return;
        }
        break;
    }
  }
}

}  // namespace qel
