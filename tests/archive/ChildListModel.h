#ifndef QEL_TESTS_ARCHIVE_CHILDLISTMODEL_H_
#define QEL_TESTS_ARCHIVE_CHILDLISTMODEL_H_

// A child list's model: std::multimap keeps equal names in their order.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "archive/ChildList.h"
#include "qel/archive/Component.h"

namespace qel {
namespace testing {

using ChildListModel = std::multimap<std::string, CBaseComponent*>;

// Distinct fake children: the list only stores and compares the pointers.
inline CBaseComponent* fakeChild(std::size_t n) {
  return reinterpret_cast<CBaseComponent*>(static_cast<std::uintptr_t>(n + 1) * 16);
}

// Whether the list holds the model's entries, in its order.
inline bool sameEntries(const ChildListModel& model, const ChildList& list) {
  auto it = list.begin();
  for (const auto& entry : model) {
    if (it == list.end() || it->first.view() != entry.first || it->second != entry.second) {
      return false;
    }
    ++it;
  }
  return it == list.end() && model.size() == list.size() && model.empty() == list.empty();
}

}  // namespace testing
}  // namespace qel

#endif  // QEL_TESTS_ARCHIVE_CHILDLISTMODEL_H_
