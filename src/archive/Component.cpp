#include "qel/archive/Component.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <utility>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/platform/ConsoleLogger.h"

namespace qel {

// ---- CBaseComponent -----------------------------------------------------

CBaseComponent::CBaseComponent(Type type, const std::string& name) : _eType(type), _sName(name) {}

CBaseComponent::CBaseComponent(Type type, const char* name, std::size_t length)
    : _eType(type), _sName(name, length) {}

CBaseComponent::CBaseComponent(const CBaseComponent& other)
    : Cloneable<CBaseComponent>(other),
      ISerialize(other),
      _eType(other._eType),
      _sName(other._sName) {}

CBaseComponent& CBaseComponent::operator=(const CBaseComponent& other) {
  _eType = other._eType;
  _sName = other._sName;
  return *this;
}

CBaseComponent::~CBaseComponent() = default;

// ---- CComponent ---------------------------------------------------------

CComponent::CComponent() : CBaseComponent(TYPE_COMPONENT, std::string()) {}

CComponent::CComponent(const std::string& name, const std::string& value)
    : CBaseComponent(TYPE_COMPONENT, name), _sValue(value) {}

CComponent::CComponent(const char* name, std::size_t nameLength, const char* value,
                       std::size_t valueLength)
    : CBaseComponent(TYPE_COMPONENT, name, nameLength), _sValue(value, valueLength) {}

CComponent::CComponent(const CComponent& other) = default;
CComponent& CComponent::operator=(const CComponent& other) = default;
CComponent::~CComponent() = default;

CBaseComponent* CComponent::clone() const {
  return new CComponent(_sName, _sValue);
}

void CComponent::serialize(CArchive& ar, CArchive::RetError& code) {
  if (ar.isStoring()) {
    if (ar.writeComponentRecord(TYPE_COMPONENT, 3, _sName.data(), _sName.size(),
                                CArchive::FIELD_STRING, _sValue.data(), _sValue.size(), code)) {
      return;
    }
    ar.writeShort(TYPE_COMPONENT, code);
    ar.writeText(_sName.data(), _sName.size(), code);
    ar.writeText(_sValue.data(), _sValue.size(), code);
    ar.writeEndLine(code);
    return;
  }
  // The kind has been read by the composite that loads this component.
  code = CArchive::RET_OK;
  if (!ar.readPlainString(_sName)) {
    ar.readString(_sName, code);
  }
  if (code == CArchive::RET_OK && !ar.readPlainString(_sValue)) {
    ar.readString(_sValue, code);
  }
}

// ---- CBinaryComponent ----------------------------------------------------

CBinaryComponent::CBinaryComponent()
    : CBaseComponent(TYPE_BINARY, std::string()), _pData(nullptr), _nSize(0) {}

CBinaryComponent::CBinaryComponent(const std::string& name)
    : CBaseComponent(TYPE_BINARY, name), _pData(nullptr), _nSize(0) {}

CBinaryComponent::CBinaryComponent(const char* name, std::size_t nameLength, const char* data,
                                   std::size_t size)
    : CBaseComponent(TYPE_BINARY, name, nameLength), _pData(nullptr), _nSize(0) {
  if (size != 0) {
    _pData = new unsigned char[size];
    std::memcpy(_pData, data, size);
    _nSize = static_cast<std::uint32_t>(size);
  }
}

CBinaryComponent::CBinaryComponent(const CBinaryComponent& other)
    : CBaseComponent(other), _pData(nullptr), _nSize(0) {
  if (other._nSize != 0) {
    _pData = new unsigned char[other._nSize];
    std::memcpy(_pData, other._pData, other._nSize);
    _nSize = other._nSize;
  }
}

CBinaryComponent& CBinaryComponent::operator=(const CBinaryComponent& other) {
  if (this == &other) {
    return *this;
  }
  unsigned char* copy = nullptr;
  if (other._nSize != 0) {
    copy = new unsigned char[other._nSize];
    std::memcpy(copy, other._pData, other._nSize);
  }
  CBaseComponent::operator=(other);
  delete[] _pData;
  _pData = copy;
  _nSize = other._nSize;
  return *this;
}

CBinaryComponent::~CBinaryComponent() {
  delete[] _pData;
}

unsigned char* CBinaryComponent::getData(unsigned int& size) const {
  size = _nSize;
  return _pData;
}

void CBinaryComponent::setData(const unsigned char* data, unsigned int size) {
  if (size == 0 || data == nullptr) {
    return;
  }
  if (_pData != nullptr && _nSize == size) {
    std::memmove(_pData, data, size);
    return;
  }
  // data may point into the array held, so it is copied before that goes.
  auto* fresh = new unsigned char[size];
  std::memcpy(fresh, data, size);
  delete[] _pData;
  _pData = fresh;
  _nSize = size;
}

unsigned int CBinaryComponent::copyData(unsigned char*& data) {
  if (_nSize != 0) {
    data = new unsigned char[_nSize];
    std::memcpy(data, _pData, _nSize);
  }
  return _nSize;
}

bool CBinaryComponent::isEqual(const unsigned char* data, unsigned int size) {
  if (size != _nSize) {
    return false;
  }
  if (data == _pData) {
    return true;
  }
  if (data == nullptr || _pData == nullptr) {
    return false;
  }
  return size == 0 || std::memcmp(data, _pData, size) == 0;
}

std::string CBinaryComponent::toString() {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(static_cast<std::size_t>(_nSize) * 2);
  for (std::uint32_t i = 0; i < _nSize; ++i) {
    const unsigned char byte = _pData[i];
    if (byte == 32) {
      text += ' ';
    } else {
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0xF];
    }
  }
  return text;
}

CBaseComponent* CBinaryComponent::clone() const {
  return new CBinaryComponent(*this);
}

void CBinaryComponent::serialize(CArchive& ar, CArchive::RetError& code) {
  if (ar.isStoring()) {
    if (ar.writeComponentRecord(TYPE_BINARY, 3, _sName.data(), _sName.size(), CArchive::FIELD_DATA,
                                reinterpret_cast<const char*>(_pData), _nSize, code)) {
      return;
    }
    ar.writeShort(TYPE_BINARY, code);
    ar.writeText(_sName.data(), _sName.size(), code);
    ar.writeData(_pData, _nSize, code);
    ar.writeEndLine(code);
    return;
  }
  code = CArchive::RET_OK;
  if (!ar.readPlainString(_sName)) {
    ar.readString(_sName, code);
  }
  if (code != CArchive::RET_OK) {
    return;
  }
  unsigned char* data = nullptr;
  unsigned int size = 0;
  if (!ar.readPlainData(data, size)) {
    ar.readData(&data, size, code);
  }
  if (code != CArchive::RET_OK) {
    delete[] data;
    return;
  }
  // The loaded bytes (none for an empty value) replace those held.
  delete[] _pData;
  _pData = data;
  _nSize = data == nullptr ? 0 : size;
}

// ---- NameIndex ------------------------------------------------------------

namespace detail {

void NameIndex::activate(std::size_t count) {
  reset();
  std::size_t capacity = 16;
  while (capacity / 4 * 3 < count + 1) {
    capacity *= 2;
  }
  _pSlots = new Slot[capacity]();
  _nMask = capacity - 1;
  _nCount = 0;
}

void NameIndex::reset() {
  if (_pSlots == nullptr) {
    return;
  }
  for (std::size_t i = 0; i <= _nMask; ++i) {
    if (_pSlots[i].pChild != nullptr) {
      freeName(_pSlots[i]);
    }
  }
  delete[] _pSlots;
  _pSlots = nullptr;
  _nMask = 0;
  _nCount = 0;
}

void NameIndex::swap(NameIndex& other) noexcept {
  std::swap(_pSlots, other._pSlots);
  std::swap(_nMask, other._nMask);
  std::swap(_nCount, other._nCount);
}

std::uint64_t NameIndex::hashOf(std::string_view name) {
  // Eight bytes at a time, each word mixed in by a multiplication; the
  // length goes in first, so that names that differ only in trailing NUL
  // bytes hash apart.
  const char* p = name.data();
  std::size_t left = name.size();
  std::uint64_t hash = 0x9E3779B97F4A7C15ULL * (left + 1);
  while (left >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
    hash ^= hash >> 31;
    p += 8;
    left -= 8;
  }
  if (left > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, left);
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
    hash ^= hash >> 31;
  }
  hash *= 0x94D049BB133111EBULL;
  hash ^= hash >> 32;
  return hash;
}

bool NameIndex::holds(const Slot& slot, std::uint32_t tag, std::string_view name) {
  if (slot.nTag != tag || slot.nLength != name.size()) {
    return false;
  }
  const char* text = slot.nLength <= kInline ? slot.name.text : slot.name.pText;
  return std::memcmp(text, name.data(), name.size()) == 0;
}

void NameIndex::freeName(Slot& slot) {
  if (slot.nLength > kInline) {
    delete[] slot.name.pText;
  }
}

NameIndex::Slot* NameIndex::probe(std::string_view name, std::uint64_t hash) const {
  const auto tag = static_cast<std::uint32_t>(hash);
  std::size_t i = tag & _nMask;
  for (;;) {
    Slot& slot = _pSlots[i];
    if (slot.pChild == nullptr || holds(slot, tag, name)) {
      return &slot;
    }
    i = (i + 1) & _nMask;
  }
}

CBaseComponent* NameIndex::find(std::string_view name, std::uint64_t hash) const {
  if (_pSlots == nullptr) {
    return nullptr;
  }
  return probe(name, hash)->pChild;
}

void NameIndex::insert(std::string_view name, CBaseComponent* child) {
  if ((_nCount + 1) > (_nMask + 1) / 4 * 3) {
    grow();
  }
  const std::uint64_t hash = hashOf(name);
  Slot* slot = probe(name, hash);
  if (slot->pChild != nullptr) {
    return;
  }
  slot->nTag = static_cast<std::uint32_t>(hash);
  slot->nLength = static_cast<std::uint32_t>(name.size());
  if (name.size() <= kInline) {
    std::memcpy(slot->name.text, name.data(), name.size());
  } else {
    slot->name.pText = new char[name.size()];
    std::memcpy(slot->name.pText, name.data(), name.size());
  }
  slot->pChild = child;
  ++_nCount;
}

void NameIndex::prefetch(std::uint64_t hash) const {
#if defined(__GNUC__) || defined(__clang__)
  if (_pSlots != nullptr) {
    __builtin_prefetch(&_pSlots[static_cast<std::uint32_t>(hash) & _nMask]);
  }
#else
  (void)hash;
#endif
}

void NameIndex::assign(std::string_view name, CBaseComponent* child) {
  if (_pSlots == nullptr) {
    return;
  }
  Slot* slot = probe(name, hashOf(name));
  if (slot->pChild == nullptr) {
    if (child != nullptr) {
      insert(name, child);
    }
  } else if (child != nullptr) {
    slot->pChild = child;
  } else {
    erase(slot);
  }
}

void NameIndex::erase(Slot* slot) {
  freeName(*slot);
  --_nCount;
  // Moves back the slots after it whose probe passed the freed one.
  std::size_t hole = static_cast<std::size_t>(slot - _pSlots);
  std::size_t i = hole;
  for (;;) {
    i = (i + 1) & _nMask;
    Slot& next = _pSlots[i];
    if (next.pChild == nullptr) {
      break;
    }
    const std::size_t home = next.nTag & _nMask;
    // next stays if its home lies cyclically in (hole, i].
    const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (!stays) {
      _pSlots[hole] = next;
      hole = i;
    }
  }
  _pSlots[hole].pChild = nullptr;
}

void NameIndex::grow() {
  Slot* old = _pSlots;
  const std::size_t oldCapacity = _nMask + 1;
  const std::size_t capacity = oldCapacity * 2;
  _pSlots = new Slot[capacity]();
  _nMask = capacity - 1;
  for (std::size_t i = 0; i < oldCapacity; ++i) {
    const Slot& from = old[i];
    if (from.pChild == nullptr) {
      continue;
    }
    // The names are distinct: each goes to the first free slot from its home.
    std::size_t j = from.nTag & _nMask;
    while (_pSlots[j].pChild != nullptr) {
      j = (j + 1) & _nMask;
    }
    _pSlots[j] = from;
  }
  delete[] old;
}

}  // namespace detail

// ---- CComposite -----------------------------------------------------------

CComposite::CComposite() : CBaseComponent(TYPE_COMPOSITE, std::string()), _pLast(nullptr) {}

CComposite::CComposite(const std::string& name)
    : CBaseComponent(TYPE_COMPOSITE, name), _pLast(nullptr) {}

CComposite::CComposite(const CComposite& other) : CBaseComponent(other), _pLast(nullptr) {
  std::unique_ptr<CBaseComponent> copy(other.clone());
  swapChildren(static_cast<CComposite&>(*copy));
}

CComposite& CComposite::operator=(const CComposite& other) {
  if (this == &other) {
    return *this;
  }
  std::unique_ptr<CBaseComponent> copy(other.clone());
  CBaseComponent::operator=(other);
  // The previous children go with the copy.
  swapChildren(static_cast<CComposite&>(*copy));
  return *this;
}

CComposite::~CComposite() {
  std::vector<CBaseComponent*> nodes;
  releaseChildren(nodes);
  destroyAll(nodes);
}

template <typename F>
void CComposite::forEachChild(F f) const {
  for (const auto& entry : _children) {
    f(entry.second);
  }
  if (_pLast != nullptr) {
    f(_pLast);
  }
}

void CComposite::releaseChildren(std::vector<CBaseComponent*>& out) {
  for (const auto& entry : _children) {
    out.push_back(entry.second);
  }
  if (_pLast != nullptr) {
    out.push_back(_pLast);
  }
  _children.clear();
  dropIndex();
  _pLast = nullptr;
}

void CComposite::swapChildren(CComposite& other) {
  _children.swap(other._children);
  _index.swap(other._index);
  std::swap(_nSearches, other._nSearches);
  std::swap(_pLast, other._pLast);
}

CComposite::ChildMap::iterator CComposite::filedUnder(std::string_view name,
                                                      const CBaseComponent* child) const {
  for (auto it = _children.lowerBound(name); it != _children.end() && it->first.view() == name;
       ++it) {
    if (it->second == child) {
      return it;
    }
  }
  return _children.end();
}

void CComposite::dropIndex() {
  _index.reset();
  _nSearches = 0;
}

CComposite::ChildMap::iterator CComposite::locate(const CBaseComponent* child) {
  // A child is filed under its name, unless it was renamed (by assignment)
  // after it was added; then only a walk through the list finds it.
  const auto filed = filedUnder(child->getName(), child);
  if (filed != _children.end()) {
    return filed;
  }
  for (auto it = _children.begin(); it != _children.end(); ++it) {
    if (it->second == child) {
      return it;
    }
  }
  return _children.end();
}

void CComposite::settle() {
  if (_pLast == nullptr) {
    return;
  }
  CBaseComponent* child = _pLast;
  // Children mostly come in name order (loading a stored list): then the
  // end of the sorted part is their place.  Should memory run out, the
  // child stays the last added one, still owned.
  const std::string_view key(child->getName());
  if (_children.empty() || !detail::nameLess(key, _children.back().first.view())) {
    _children.append(key, child);
  } else {
    _children.insert(key, child);
  }
  _pLast = nullptr;
  if (_index.active()) {
    try {
      _index.insert(key, child);
    } catch (...) {
      // The index only speeds up lookups: without room for it, lookups
      // search the list until it can be built again.
      dropIndex();
    }
  }
}

void CComposite::buildIndex() {
  try {
    _index.activate(_children.size() * 2);
    // The first child of each name in list order is the one filed.
    for (const auto& entry : _children) {
      _index.insert(entry.first.view(), entry.second);
    }
  } catch (...) {
    // A part of an index would miss names.
    _index.reset();
    throw;
  }
}

void CComposite::getChildren(std::list<CBaseComponent*>& out) {
  const auto front = out.begin();
  forEachChild([&out, front](CBaseComponent* child) { out.insert(front, child); });
}

CBaseComponent* CComposite::find(const std::string& name) {
  settle();
  if (_index.active()) {
    return _index.find(name);
  }
  // A name after every present one (the usual case while a stored list is
  // loaded) needs no search, and no index: a list that only ever grows at
  // its end never builds one.
  if (_children.empty() || detail::nameLess(_children.back().first.view(), name)) {
    return nullptr;
  }
  // A large list that is searched again and again gets its index; one
  // search (the one child out of order at the end of a stored list, say)
  // is cheaper done in the sorted list.
  if (_children.size() >= kIndexFrom && ++_nSearches >= kSearchesBeforeIndex) {
    buildIndex();
    return _index.find(name);
  }
  const auto position = _children.lowerBound(name);
  if (position == _children.end() || position->first.view() != name) {
    return nullptr;
  }
  return position->second;
}

void CComposite::add(CBaseComponent* child) {
  if (child == nullptr || child == this) {
    return;
  }
  const std::string& name = child->getName();
  const CBaseComponent* found = nullptr;
  if (_index.active()) {
    // The index slot of the name comes from memory while the child added
    // before is sorted in.
    const std::uint64_t hash = detail::NameIndex::hashOf(name);
    _index.prefetch(hash);
    settle();
    found = _index.find(name, hash);
  } else {
    found = find(name);
  }
  if (found != nullptr && DISPLAY_ERROR_LOGS) {
    ConsoleLogger::LogMessage(LOG_ERROR, "CComposite::add ERROR - Already exist!!!");
  }
  if (found == child) {
    return;
  }
  // Owning a child twice would destroy it twice.
  if (found != nullptr && filedUnder(name, child) != _children.end()) {
    return;
  }
  _pLast = child;
}

void CComposite::remove(CBaseComponent* child) {
  if (child == nullptr) {
    return;
  }
  if (child == _pLast) {
    _pLast = nullptr;
  } else {
    const auto entry = locate(child);
    if (entry == _children.end()) {
      return;
    }
    if (_index.active() && _index.find(entry->first.view()) == child) {
      // Lookups of the name now give the next child of that name, if any.
      const std::string name(entry->first.view());
      _children.erase(entry);
      const auto next = _children.lowerBound(name);
      try {
        _index.assign(
            name, next == _children.end() || next->first.view() != name ? nullptr : next->second);
      } catch (...) {
        // An index that still files the child would give it out after it is
        // gone; lookups search the list until the index is built again.
        dropIndex();
      }
    } else {
      _children.erase(entry);
    }
  }
  std::vector<CBaseComponent*> nodes(1, child);
  destroyAll(nodes);
}

void CComposite::clear() {
  std::vector<CBaseComponent*> nodes;
  releaseChildren(nodes);
  destroyAll(nodes);
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
    source->forEachChild([&pending, target](CBaseComponent* child) {
      if (child->isComposite() && typeid(*child) == typeid(CComposite)) {
        auto* copy = new CComposite(child->getName());
        target->add(copy);
        pending.emplace_back(static_cast<const CComposite*>(child), copy);
      } else {
        std::unique_ptr<CBaseComponent> copy(child->clone());
        target->add(copy.get());
        copy.release();
      }
    });
  }
  return root.release();
}

void CComposite::serialize(CArchive& ar, CArchive::RetError& code) {
  if (ar.isStoring()) {
    store(ar, code);
  } else {
    load(ar, code);
  }
}

void CComposite::store(CArchive& ar, CArchive::RetError& code) {
  struct Frame {
    const CComposite* pComposite;
    ChildMap::const_iterator next;
    bool bLastDone;
  };
  std::vector<Frame> stack;
  auto open = [&ar, &code, &stack](const CComposite* composite) {
    // The composite storing starts at writes no start record when it has no
    // name: its children are framed by its end record alone.  Every other
    // composite writes one, an unnamed one with an empty name, so that its
    // end record cannot end its parent's loading.
    if ((!stack.empty() || !composite->_sName.empty()) &&
        !ar.writeComponentRecord(TYPE_COMPOSITE, 2, composite->_sName.data(),
                                 composite->_sName.size(), CArchive::FIELD_STRING, nullptr, 0,
                                 code)) {
      ar.writeShort(TYPE_COMPOSITE, code);
      ar.writeText(composite->_sName.data(), composite->_sName.size(), code);
      ar.writeEndLine(code);
    }
    stack.push_back(Frame{composite, composite->_children.begin(), false});
  };
  // A component that the archive refuses (a value too long, a line feed in
  // a strict archive) is named in the message by its path below this one.
  // A failure of the file itself passes as it is.
  auto refusal = [&stack](const CBaseComponent* child, const IOException& e) {
    std::string path;
    for (std::size_t i = 1; i < stack.size(); ++i) {
      path += stack[i].pComposite->_sName;
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
    open(this);
  } catch (const IOException& e) {
    if (ar._bWriteFailed) {
      throw;
    }
    throw refusal(nullptr, e);
  }
  CArchive::RetError failure = CArchive::RET_OK;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    CBaseComponent* child = nullptr;
    if (failure == CArchive::RET_OK) {
      if (frame.next != frame.pComposite->_children.end()) {
        child = frame.next->second;
        ++frame.next;
      } else if (!frame.bLastDone) {
        frame.bLastDone = true;
        child = frame.pComposite->_pLast;
      }
    }
    if (child == nullptr) {
      if (!ar.writeComponentRecord(TYPE_END, 1, nullptr, 0, CArchive::FIELD_STRING, nullptr, 0,
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
      if (ar._bWriteFailed) {
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

void CComposite::load(CArchive& ar, CArchive::RetError& code) {
  // The composites whose end record has not come yet, innermost last.
  std::vector<CComposite*> open(1, this);
  for (;;) {
    ar.readStartLine(code);
    if (code != CArchive::RET_OK) {
      return;
    }
    short kind = 0;
    if (!ar.readPlainShort(kind)) {
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
        if (ar.readPlainPair(kind == TYPE_COMPONENT ? CArchive::FIELD_STRING : CArchive::FIELD_DATA,
                             name, nameLength, value, valueLength)) {
          CBaseComponent* leaf = nullptr;
          if (kind == TYPE_COMPONENT) {
            leaf = new CComponent(name, nameLength, value, valueLength);
          } else {
            leaf = new CBinaryComponent(name, nameLength, value, valueLength);
          }
          std::unique_ptr<CBaseComponent> owned(leaf);
          current->add(leaf);
          owned.release();
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
        current->add(child.get());
        child.release();
        break;
      }
      case TYPE_COMPOSITE: {
        std::string name;
        if (!ar.readPlainString(name)) {
          ar.readString(name, code);
        }
        if (code != CArchive::RET_OK) {
          return;
        }
        auto* child = new CComposite(name);
        current->add(child);
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

void CComposite::destroyAll(std::vector<CBaseComponent*>& nodes) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    CBaseComponent* node = nodes[i];
    if (auto* composite = dynamic_cast<CComposite*>(node)) {
      composite->releaseChildren(nodes);
    }
    delete node;
  }
}

// ---- date records -------------------------------------------------------

CArchive& operator<<(CArchive& ar, CDateTime date) {
  CArchive::RetError code = CArchive::RET_OK;
  ar.writeBoolean(date.isGMTTime(), code);
  ar.writeULong(date.getJD(), code);
  ar.writeULong(date.getms(), code);
  ar.writeEndLine(code);
  return ar;
}

CArchive& operator>>(CArchive& ar, CDateTime& date) {
  CArchive::RetError code = CArchive::RET_OK;
  bool gmt = false;
  std::uint32_t julianDay = 0;
  std::uint32_t milliseconds = 0;
  ar.readBoolean(gmt, code);
  ar.readULong(julianDay, code);
  ar.readULong(milliseconds, code);
  date.forceGMT(gmt);
  date.setJD(julianDay);
  date.setms(milliseconds);
  return ar;
}

}  // namespace qel
