#include "qel/archive/Component.h"

#include <cstring>

#include "archive/TreeRecords.h"
#include "core/Text.h"

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
    if (TreeRecords::writeRecord(ar, TYPE_COMPONENT, 3, _sName.data(), _sName.size(),
                                 CArchive::FIELD_STRING, _sValue.data(), _sValue.size(), code)) {
      return;
    }
    ar.writeShort(TYPE_COMPONENT, code);
    TreeRecords::writeText(ar, _sName.data(), _sName.size(), code);
    TreeRecords::writeText(ar, _sValue.data(), _sValue.size(), code);
    ar.writeEndLine(code);
    return;
  }
  // The kind has been read by the composite that loads this component.
  code = CArchive::RET_OK;
  if (!TreeRecords::readString(ar, _sName)) {
    ar.readString(_sName, code);
  }
  if (code == CArchive::RET_OK && !TreeRecords::readString(ar, _sValue)) {
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
  std::string text;
  text.reserve(static_cast<std::size_t>(_nSize) * 2);
  for (std::uint32_t i = 0; i < _nSize; ++i) {
    const unsigned char byte = _pData[i];
    if (byte == 32) {
      text += ' ';
    } else {
      text += chars::kLowerHexDigits[byte >> 4];
      text += chars::kLowerHexDigits[byte & 0xF];
    }
  }
  return text;
}

CBaseComponent* CBinaryComponent::clone() const {
  return new CBinaryComponent(*this);
}

void CBinaryComponent::serialize(CArchive& ar, CArchive::RetError& code) {
  if (ar.isStoring()) {
    if (TreeRecords::writeRecord(ar, TYPE_BINARY, 3, _sName.data(), _sName.size(),
                                 CArchive::FIELD_DATA, reinterpret_cast<const char*>(_pData),
                                 _nSize, code)) {
      return;
    }
    ar.writeShort(TYPE_BINARY, code);
    TreeRecords::writeText(ar, _sName.data(), _sName.size(), code);
    ar.writeData(_pData, _nSize, code);
    ar.writeEndLine(code);
    return;
  }
  code = CArchive::RET_OK;
  if (!TreeRecords::readString(ar, _sName)) {
    ar.readString(_sName, code);
  }
  if (code != CArchive::RET_OK) {
    return;
  }
  unsigned char* data = nullptr;
  unsigned int size = 0;
  if (!TreeRecords::readData(ar, data, size)) {
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

}  // namespace qel
