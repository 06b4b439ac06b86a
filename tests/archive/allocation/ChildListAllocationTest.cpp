// Every allocation of a child list change failed in turn (global allocation
// functions replaced in this binary): the list is as it was and still works.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "archive/ChildList.h"
#include "qel/archive/Component.h"

// Allocations left before one fails; negative: none fails.
static long g_allocationsLeft = -1;

static void* allocate(std::size_t size, std::size_t alignment) {
  if (g_allocationsLeft == 0) {
    g_allocationsLeft = -1;
    throw std::bad_alloc();
  }
  if (g_allocationsLeft > 0) {
    --g_allocationsLeft;
  }
  void* memory = alignment <= alignof(std::max_align_t)
                     ? std::malloc(size + 1)
                     : std::aligned_alloc(alignment, (size / alignment + 1) * alignment);
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return memory;
}

// Names are arrays; a sanitizer's runtime defines the forms not replaced here.
void* operator new(std::size_t size) {
  return allocate(size, 0);
}
void* operator new[](std::size_t size) {
  return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
  std::free(memory);
}

namespace {

using qel::ChildList;
// The list's model: std::multimap keeps equal names in their order.
using Model = std::multimap<std::string, qel::CBaseComponent*>;

// Distinct fake children: the list only stores and compares the pointers.
qel::CBaseComponent* fakeChild(std::size_t n) {
  return reinterpret_cast<qel::CBaseComponent*>(static_cast<std::uintptr_t>(n + 1) * 16);
}

// Whether the list holds the model's entries, in its order.
bool sameEntries(const Model& model, const ChildList& list) {
  auto it = list.begin();
  for (const auto& entry : model) {
    if (it == list.end() || it->first.view() != entry.first || it->second != entry.second) {
      return false;
    }
    ++it;
  }
  return it == list.end() && model.size() == list.size() && model.empty() == list.empty();
}

// Names longer than a name kept in place, so that filing one allocates.
std::string longName(std::size_t n) {
  char text[48];
  std::snprintf(text, sizeof text, "a name of more than sixteen bytes %06zu", n);
  return text;
}

TEST(ChildListAllocation, EveryFailedAllocationOfASplitOrAppendLeavesTheListAsItWas) {
  // 32 full leaves under a full root: an insertion inside splits up to a new
  // root; an append adds a leaf.  With one entry fewer, an append fills the
  // last leaf, allocating only the long name.
  struct Case {
    const char* what;
    bool append;
    std::size_t entries;
    long allocations;  // a name, a leaf, and for the split a key and two inner nodes
  };
  for (const Case& c : {Case{"insert", false, 30 * 32, 4}, Case{"append", true, 30 * 32, 2},
                        Case{"append into room", true, 30 * 32 - 1, 1}}) {
    SCOPED_TRACE(c.what);
    const bool append = c.append;
    const std::string name = longName(append ? 100000 : 2 * 480 + 1);
    long failAt = 0;
    for (;; ++failAt) {
      ChildList list;
      Model model;
      for (std::size_t i = 0; i < c.entries; ++i) {
        list.append(longName(2 * i), fakeChild(i));
        model.emplace(longName(2 * i), fakeChild(i));
      }
      bool thrown = false;
      g_allocationsLeft = failAt;
      try {
        append ? list.append(name, fakeChild(100000)) : list.insert(name, fakeChild(100000));
      } catch (const std::bad_alloc&) {
        thrown = true;
      }
      g_allocationsLeft = -1;
      if (!thrown) {
        // Every allocation of the change has now been failed once.
        model.emplace(name, fakeChild(100000));
        EXPECT_TRUE(sameEntries(model, list));
        break;
      }
      ASSERT_TRUE(sameEntries(model, list)) << "after failing allocation " << failAt;
      // Still usable: the same change and an erase go through.
      list.insert(name, fakeChild(100000));
      model.emplace(name, fakeChild(100000));
      ASSERT_TRUE(sameEntries(model, list));
      list.erase(list.lowerBound(name));
      model.erase(model.find(name));
      ASSERT_TRUE(sameEntries(model, list));
    }
    EXPECT_GE(failAt, c.allocations);
  }
}

}  // namespace
