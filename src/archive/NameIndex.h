#ifndef QEL_SRC_ARCHIVE_NAMEINDEX_H_
#define QEL_SRC_ARCHIVE_NAMEINDEX_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/Compiler.h"

namespace qel {

class CBaseComponent;
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

// Inline: lookups run these on every add and find of a large list.

inline std::uint64_t NameIndex::hashOf(std::string_view name) {
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

inline bool NameIndex::holds(const Slot& slot, std::uint32_t tag, std::string_view name) {
  if (slot.nTag != tag || slot.nLength != name.size()) {
    return false;
  }
  const char* text = slot.nLength <= kInline ? slot.name.text : slot.name.pText;
  return std::memcmp(text, name.data(), name.size()) == 0;
}

inline NameIndex::Slot* NameIndex::probe(std::string_view name, std::uint64_t hash) const {
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

inline CBaseComponent* NameIndex::find(std::string_view name, std::uint64_t hash) const {
  if (_pSlots == nullptr) {
    return nullptr;
  }
  return probe(name, hash)->pChild;
}

inline void NameIndex::prefetch(std::uint64_t hash) const {
  if (_pSlots != nullptr) {
    QEL_PREFETCH(&_pSlots[static_cast<std::uint32_t>(hash) & _nMask]);
  }
}

}  // namespace qel

#endif  // QEL_SRC_ARCHIVE_NAMEINDEX_H_
