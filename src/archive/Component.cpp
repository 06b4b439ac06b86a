#include "qel/archive/Component.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <utility>
#include <vector>

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
  forEachChild([&out](CBaseComponent* child) { out.push_back(child); });
  _children.clear();
  // No entry is in use now: the pool's blocks can go.
  _children.get_allocator().pool()->reset();
  _pLast = nullptr;
}

void CComposite::swapChildren(CComposite& other) {
  _children.swap(other._children);
  std::swap(_pLast, other._pLast);
}

CComposite::ChildMap::iterator CComposite::locate(const CBaseComponent* child) {
  // A child is filed under its name, unless it was renamed (by assignment)
  // after it was added; then only a walk through the list finds it.
  const auto range = _children.equal_range(child->getName());
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == child) {
      return it;
    }
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
  // Children mostly come in name order (loading a stored list), so the end
  // is tried first.
  _children.emplace_hint(_children.end(), child->getName(), child);
  _pLast = nullptr;
}

void CComposite::getChildren(std::list<CBaseComponent*>& out) {
  const auto front = out.begin();
  forEachChild([&out, front](CBaseComponent* child) { out.insert(front, child); });
}

CBaseComponent* CComposite::find(const std::string& name) {
  settle();
  // A name after every present one (the usual case while a stored list is
  // loaded) needs no search.
  if (_children.empty() || _children.rbegin()->first < name) {
    return nullptr;
  }
  const auto position = _children.lower_bound(name);
  if (position == _children.end() || position->first != name) {
    return nullptr;
  }
  return position->second;
}

void CComposite::add(CBaseComponent* child) {
  if (child == nullptr || child == this) {
    return;
  }
  const bool present = find(child->getName()) != nullptr;
  if (present && DISPLAY_ERROR_LOGS) {
    ConsoleLogger::LogMessage(LOG_ERROR, "CComposite::add ERROR - Already exist!!!");
  }
  if (present) {
    // Owning a child twice would destroy it twice.
    const auto range = _children.equal_range(child->getName());
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == child) {
        return;
      }
    }
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
    _children.erase(entry);
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
    // An unnamed composite writes no start record: its children are framed
    // by its parent's records.
    if (!composite->_sName.empty() &&
        !ar.writeComponentRecord(TYPE_COMPOSITE, 2, composite->_sName.data(),
                                 composite->_sName.size(), CArchive::FIELD_STRING, nullptr, 0,
                                 code)) {
      ar.writeShort(TYPE_COMPOSITE, code);
      ar.writeText(composite->_sName.data(), composite->_sName.size(), code);
      ar.writeEndLine(code);
    }
    stack.push_back(Frame{composite, composite->_children.begin(), false});
  };
  open(this);
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
    if (child->isComposite() && typeid(*child) == typeid(CComposite)) {
      open(static_cast<const CComposite*>(child));
      continue;
    }
    child->serialize(ar, code);
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
