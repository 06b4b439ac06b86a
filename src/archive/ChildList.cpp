// The sorted child list of a composite: a B+ tree of entries.  Leaves that
// fill up split in two, except the last leaf when an entry goes after all
// others (a list being loaded), which is left full and followed by a new one;
// leaves that empty go, and a leaf that falls below a quarter takes in the
// entries of the next leaf of the same parent when they fit.
#include <cstring>
#include <new>
#include <string_view>

#include "archive/ChildList.h"
#include "core/Compiler.h"

namespace qel {
namespace {

// The size of one child pointer of an inner node, which memmove counts in
// (a pointer's size is what is meant).
constexpr std::size_t kKidSize = sizeof(ChildInner::kids[0]);  // NOLINT(bugprone-sizeof-expression)

// Starts fetching the bytes [begin, begin + size) a line at a time, so that
// a node read by a binary search comes from memory in one go rather than a
// line per step.
inline void prefetchBytes(const void* begin, std::size_t size) {
  const char* p = static_cast<const char*>(begin);
  for (std::size_t offset = 0; offset < size; offset += 64) {
    QEL_PREFETCH(p + offset);
  }
}

template <typename Node>
Node* newNode(bool leaf) {
  void* memory = ::operator new(sizeof(Node));
  Node* node = static_cast<Node*>(memory);
  node->pParent = nullptr;
  node->nCount = 0;
  node->bLeaf = leaf;
  return node;
}

void freeNode(ChildNode* node) {
  ::operator delete(node);
}

ChildLeaf* newLeaf() {
  ChildLeaf* leaf = newNode<ChildLeaf>(true);
  leaf->pNext = nullptr;
  leaf->pPrev = nullptr;
  return leaf;
}

std::uint32_t indexOfKid(const ChildInner* parent, const ChildNode* kid) {
  std::uint32_t i = 0;
  while (parent->kids[i] != kid) {
    ++i;
  }
  return i;
}

// Frees the names of an inner node and of the nodes below it, and the nodes.
void freeSubtree(ChildNode* node) {
  if (node->bLeaf) {
    auto* leaf = static_cast<ChildLeaf*>(node);
    for (std::uint32_t i = 0; i < leaf->nCount; ++i) {
      leaf->entries[i].first.release();
    }
  } else {
    auto* inner = static_cast<ChildInner*>(node);
    for (std::uint32_t i = 0; i < inner->nCount; ++i) {
      if (i > 0) {
        inner->keys[i - 1].release();
      }
      freeSubtree(inner->kids[i]);
    }
  }
  freeNode(node);
}

// The index in leaf of the first entry not less than name or (after) the
// first greater than it; the leaf's count when there is none.
std::uint32_t indexIn(const ChildLeaf* leaf, std::string_view name, bool after) {
  std::uint32_t low = 0;
  std::uint32_t high = leaf->nCount;
  while (low < high) {
    const std::uint32_t middle = (low + high) / 2;
    const std::string_view key = leaf->entries[middle].first.view();
    if (after ? !nameLess(name, key) : nameLess(key, name)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

}  // namespace

ChildInner* ChildList::Spares::take() {
  return inner[--nInner];
}

void ChildList::Spares::free() {
  if (pLeaf != nullptr) {
    freeNode(pLeaf);
  }
  while (nInner > 0) {
    freeNode(inner[--nInner]);
  }
}

void ChildName::makeAt(ChildName& into, std::string_view name) {
  char* to = into.u.text;
  if (name.size() > kInline) {
    to = new char[name.size()];
    into.u.pText = to;
  }
  into.nLength = name.size();
  if (!name.empty()) {
    std::memcpy(to, name.data(), name.size());
  }
}

ChildName ChildName::make(std::string_view name) {
  ChildName made;
  makeAt(made, name);
  return made;
}

ChildLeaf* ChildList::leafFor(std::string_view name, bool after) const {
  ChildNode* node = _pRoot;
  while (!node->bLeaf) {
    auto* inner = static_cast<ChildInner*>(node);
    prefetchBytes(inner->keys, (inner->nCount - 1) * sizeof(ChildName));
    // The child to go down: past every key below name (or not above it).
    std::uint32_t low = 0;
    std::uint32_t high = inner->nCount - 1;
    while (low < high) {
      const std::uint32_t middle = (low + high) / 2;
      const std::string_view key = inner->keys[middle].view();
      if (after ? !nameLess(name, key) : nameLess(key, name)) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    node = inner->kids[low];
  }
  auto* leaf = static_cast<ChildLeaf*>(node);
  prefetchBytes(leaf->entries, leaf->nCount * sizeof(ChildEntry));
  return leaf;
}

ChildList::iterator ChildList::lowerBound(std::string_view name) const {
  if (_pRoot == nullptr) {
    return end();
  }
  ChildLeaf* leaf = leafFor(name, false);
  const std::uint32_t low = indexIn(leaf, name, false);
  if (low == leaf->nCount) {
    // Every name here is less: the next leaf starts with one that is not.
    return iterator(leaf->pNext, 0);
  }
  return iterator(leaf, low);
}

void ChildList::insert(std::string_view name, CBaseComponent* child) {
  if (_pRoot == nullptr) {
    append(name, child);
    return;
  }
  ChildLeaf* leaf = leafFor(name, true);
  insertAt(leaf, indexIn(leaf, name, true), ChildEntry{ChildName::make(name), child}, false);
}

void ChildList::append(std::string_view name, CBaseComponent* child) {
  if (_pLast != nullptr && _pLast->nCount < ChildLeaf::kCapacity) {
    // The usual case of a loaded list: the entry is written in its place.
    ChildEntry& entry = _pLast->entries[_pLast->nCount];
    ChildName::makeAt(entry.first, name);
    entry.second = child;
    ++_pLast->nCount;
    ++_nSize;
    return;
  }
  const ChildEntry entry{ChildName::make(name), child};
  if (_pRoot == nullptr) {
    ChildLeaf* leaf = nullptr;
    try {
      leaf = newLeaf();
    } catch (...) {
      ChildName unused = entry.first;
      unused.release();
      throw;
    }
    leaf->entries[0] = entry;
    leaf->nCount = 1;
    _pRoot = _pFirst = _pLast = leaf;
    _nSize = 1;
    return;
  }
  insertAt(_pLast, _pLast->nCount, entry, true);
}

void ChildList::insertAt(ChildLeaf* leaf, std::uint32_t at, const ChildEntry& entry, bool append) {
  if (leaf->nCount < ChildLeaf::kCapacity) {
    std::memmove(&leaf->entries[at + 1], &leaf->entries[at],
                 (leaf->nCount - at) * sizeof(ChildEntry));
    leaf->entries[at] = entry;
    ++leaf->nCount;
    ++_nSize;
    return;
  }
  // A full leaf splits.  Everything the split needs is allocated first, so
  // that running out of memory leaves the list as it was: the new leaf, the
  // key it goes under in its parent, and an inner node for every full
  // ancestor that splits in turn (and a new root when they all do).
  const std::uint32_t half = leaf->nCount / 2;
  Spares spares;
  ChildName key{};
  try {
    key = ChildName::make(append ? entry.first.view() : leaf->entries[half].first.view());
    spares.pLeaf = newLeaf();
    ChildInner* ancestor = leaf->pParent;
    while (ancestor != nullptr && ancestor->nCount == ChildInner::kCapacity) {
      spares.inner[spares.nInner++] = newNode<ChildInner>(false);
      ancestor = ancestor->pParent;
    }
    if (ancestor == nullptr) {
      spares.inner[spares.nInner++] = newNode<ChildInner>(false);
    }
  } catch (...) {
    key.release();
    ChildName unused = entry.first;
    unused.release();
    spares.free();
    throw;
  }
  ChildLeaf* right = spares.pLeaf;
  spares.pLeaf = nullptr;
  if (append) {
    // A list that grows at its end keeps its leaves full.
    right->entries[0] = entry;
    right->nCount = 1;
  } else {
    right->nCount = leaf->nCount - half;
    std::memcpy(right->entries, &leaf->entries[half], right->nCount * sizeof(ChildEntry));
    leaf->nCount = half;
    ChildLeaf* target = leaf;
    if (at > half) {
      target = right;
      at -= half;
    }
    std::memmove(&target->entries[at + 1], &target->entries[at],
                 (target->nCount - at) * sizeof(ChildEntry));
    target->entries[at] = entry;
    ++target->nCount;
  }
  right->pParent = leaf->pParent;
  right->pPrev = leaf;
  right->pNext = leaf->pNext;
  if (leaf->pNext != nullptr) {
    leaf->pNext->pPrev = right;
  } else {
    _pLast = right;
  }
  leaf->pNext = right;
  ++_nSize;
  adopt(leaf, key, right, spares);
}

void ChildList::adopt(ChildNode* left, ChildName key, ChildNode* right, Spares& spares) {
  ChildInner* parent = left->pParent;
  if (parent == nullptr) {
    ChildInner* root = spares.take();
    root->kids[0] = left;
    root->kids[1] = right;
    root->keys[0] = key;
    root->nCount = 2;
    left->pParent = root;
    right->pParent = root;
    _pRoot = root;
    return;
  }
  const std::uint32_t at = indexOfKid(parent, left) + 1;
  if (parent->nCount < ChildInner::kCapacity) {
    std::memmove(&parent->kids[at + 1], &parent->kids[at], (parent->nCount - at) * kKidSize);
    std::memmove(&parent->keys[at], &parent->keys[at - 1],
                 (parent->nCount - at) * sizeof(ChildName));
    parent->kids[at] = right;
    parent->keys[at - 1] = key;
    ++parent->nCount;
    right->pParent = parent;
    return;
  }
  // A full inner node: its children with the new one split in two halves,
  // and the key between the halves goes up.
  ChildNode* kids[ChildInner::kCapacity + 1];
  ChildName keys[ChildInner::kCapacity];
  std::memcpy(kids, parent->kids, at * kKidSize);
  kids[at] = right;
  std::memcpy(&kids[at + 1], &parent->kids[at], (parent->nCount - at) * kKidSize);
  std::memcpy(keys, parent->keys, (at - 1) * sizeof(ChildName));
  keys[at - 1] = key;
  std::memcpy(&keys[at], &parent->keys[at - 1], (parent->nCount - at) * sizeof(ChildName));
  constexpr std::uint32_t kTotal = ChildInner::kCapacity + 1;
  constexpr std::uint32_t kLeftCount = kTotal / 2;
  ChildInner* sibling = spares.take();
  parent->nCount = kLeftCount;
  std::memcpy(parent->kids, kids, kLeftCount * kKidSize);
  std::memcpy(parent->keys, keys, (kLeftCount - 1) * sizeof(ChildName));
  sibling->nCount = kTotal - kLeftCount;
  std::memcpy(sibling->kids, &kids[kLeftCount], sibling->nCount * kKidSize);
  std::memcpy(sibling->keys, &keys[kLeftCount], (sibling->nCount - 1) * sizeof(ChildName));
  for (std::uint32_t i = 0; i < parent->nCount; ++i) {
    parent->kids[i]->pParent = parent;
  }
  for (std::uint32_t i = 0; i < sibling->nCount; ++i) {
    sibling->kids[i]->pParent = sibling;
  }
  adopt(parent, keys[kLeftCount - 1], sibling, spares);
}

void ChildList::erase(iterator position) {
  ChildLeaf* leaf = position._pLeaf;
  const std::uint32_t at = position._nIndex;
  leaf->entries[at].first.release();
  std::memmove(&leaf->entries[at], &leaf->entries[at + 1],
               (leaf->nCount - at - 1) * sizeof(ChildEntry));
  --leaf->nCount;
  --_nSize;
  if (leaf->nCount == 0) {
    drop(leaf);
    return;
  }
  ChildLeaf* next = leaf->pNext;
  if (leaf->nCount < ChildLeaf::kCapacity / 4 && next != nullptr &&
      next->pParent == leaf->pParent && leaf->nCount + next->nCount <= ChildLeaf::kCapacity) {
    std::memcpy(&leaf->entries[leaf->nCount], next->entries, next->nCount * sizeof(ChildEntry));
    leaf->nCount += next->nCount;
    next->nCount = 0;
    drop(next);
  }
}

void ChildList::drop(ChildNode* node) {
  if (node->bLeaf) {
    auto* leaf = static_cast<ChildLeaf*>(node);
    (leaf->pPrev != nullptr ? leaf->pPrev->pNext : _pFirst) = leaf->pNext;
    (leaf->pNext != nullptr ? leaf->pNext->pPrev : _pLast) = leaf->pPrev;
  }
  ChildInner* parent = node->pParent;
  // The node's place in its parent, looked up while the node is there.
  const std::uint32_t at = parent != nullptr ? indexOfKid(parent, node) : 0;
  freeNode(node);
  if (parent == nullptr) {
    _pRoot = nullptr;
    return;
  }
  // The key between the node and its left neighbour goes with it (the one
  // after it when it is the first child).
  const std::uint32_t key = at > 0 ? at - 1 : 0;
  if (parent->nCount > 1) {
    parent->keys[key].release();
    std::memmove(&parent->keys[key], &parent->keys[key + 1],
                 (parent->nCount - 2 - key) * sizeof(ChildName));
  }
  std::memmove(&parent->kids[at], &parent->kids[at + 1], (parent->nCount - 1 - at) * kKidSize);
  --parent->nCount;
  if (parent->nCount == 0) {
    drop(parent);
  } else if (parent == _pRoot && parent->nCount == 1) {
    // A root with one child gives way to it.
    _pRoot = parent->kids[0];
    _pRoot->pParent = nullptr;
    freeNode(parent);
  }
}

void ChildList::clear() {
  if (_pRoot != nullptr) {
    freeSubtree(_pRoot);
  }
  _pRoot = nullptr;
  _pFirst = nullptr;
  _pLast = nullptr;
  _nSize = 0;
}

void ChildList::swap(ChildList& other) noexcept {
  std::swap(_pRoot, other._pRoot);
  std::swap(_pFirst, other._pFirst);
  std::swap(_pLast, other._pLast);
  std::swap(_nSize, other._nSize);
}

}  // namespace qel
