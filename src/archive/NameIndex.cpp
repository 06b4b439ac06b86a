#include "archive/NameIndex.h"

#include <cstring>
#include <utility>

namespace qel {

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

void NameIndex::freeName(Slot& slot) {
  if (slot.nLength > kInline) {
    delete[] slot.name.pText;
  }
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

}  // namespace qel
