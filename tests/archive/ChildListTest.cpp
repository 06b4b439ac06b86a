// The sorted child list checked against std::multimap, which files equal
// keys in the order they come as the list must: random work in lists that
// grow past several tree levels, names that repeat across leaf boundaries,
// lists that grow at their end, and lists emptied again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "archive/ChildList.h"
#include "archive/ChildListModel.h"
#include "qel/archive/Component.h"

namespace {

using qel::CBaseComponent;
using qel::ChildList;
using Model = qel::testing::ChildListModel;
using qel::testing::fakeChild;

void expectSame(const Model& model, const ChildList& list) {
  ASSERT_TRUE(qel::testing::sameEntries(model, list));
  if (!model.empty()) {
    EXPECT_EQ(model.rbegin()->first, list.back().first.view());
    EXPECT_EQ(model.rbegin()->second, list.back().second);
  }
}

// The position of the model's lower bound, counted from the start, and the
// same for the list.
std::size_t modelIndex(const Model& model, const std::string& name) {
  return static_cast<std::size_t>(std::distance(model.begin(), model.lower_bound(name)));
}

std::size_t listIndex(const ChildList& list, const std::string& name) {
  std::size_t index = 0;
  const ChildList::iterator target = list.lowerBound(name);
  for (auto it = list.begin(); it != target; ++it) {
    ++index;
  }
  return index;
}

std::string randomName(std::mt19937& random, int pool) {
  const unsigned n = random() % static_cast<unsigned>(pool);
  switch (n % 4) {
    case 0:  // longer than a name kept in place
      return "a name well past sixteen bytes " + std::to_string(n);
    case 1:
      return std::string("z") + '\0' + std::to_string(n);
    default:
      return std::to_string(n * 7919 % 100003);
  }
}

TEST(ChildList, NamesOrderAsStdStringOrdersThem) {
  // Bytes above 0x7F (UTF-8) count as unsigned, within the first eight
  // bytes, after them and in a shorter tail; a prefix comes first.
  const std::vector<std::string> names = {"",
                                          "a",
                                          "ab",
                                          std::string("a\0", 2),
                                          "abcdefgh",
                                          "abcdefgh\x80",
                                          "abcdefgz",
                                          "abcdefg\xff",
                                          "\xc3\xa9t\xc3\xa9",
                                          "zzzzzzzzzzzzzzzzzz",
                                          "abcdefghijklmnop",
                                          "abcdefghijklmnoq",
                                          "\x7f",
                                          "\x80",
                                          "abcdefghi",
                                          "abcdefgh\x01"};
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      EXPECT_EQ(a < b, qel::nameLess(a, b)) << a << " / " << b;
    }
  }
}

TEST(ChildList, StartsEmpty) {
  ChildList list;
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(0u, list.size());
  EXPECT_EQ(list.begin(), list.end());
  EXPECT_EQ(list.end(), list.lowerBound("anything"));
  list.clear();
  EXPECT_TRUE(list.empty());
}

// Takes the entry of name and child out of both.
void eraseFromBoth(Model& model, ChildList& list, const std::string& name, CBaseComponent* child) {
  auto range = model.equal_range(name);
  while (range.first->second != child) {
    ++range.first;
  }
  model.erase(range.first);
  auto it = list.lowerBound(name);
  while (it != list.end() && it->second != child) {
    ++it;
  }
  ASSERT_NE(list.end(), it) << name;
  list.erase(it);
}

TEST(ChildList, RandomWorkFollowsAMultimap) {
  std::mt19937 random(77);
  ChildList list;
  Model model;
  std::vector<std::pair<std::string, CBaseComponent*>> live;
  auto takeRandom = [&]() {
    const std::size_t at = random() % live.size();
    std::pair<std::string, CBaseComponent*> taken = live[at];
    live[at] = live.back();
    live.pop_back();
    return taken;
  };
  std::size_t made = 0;
  // Few distinct names, so that runs of one name span several leaves, and
  // enough entries for three levels of inner nodes.
  for (int round = 0; round < 3; ++round) {
    const int pool = round == 0 ? 40 : 30000;
    for (int step = 0; step < 60000; ++step) {
      const unsigned kind = random() % 100;
      if (kind < 65 || live.empty()) {
        const std::string name = randomName(random, pool);
        CBaseComponent* child = fakeChild(made++);
        model.emplace(name, child);
        list.insert(name, child);
        live.emplace_back(name, child);
      } else if (kind < 80) {
        // Children are distinct, so the entry a search stops at tells where.
        const std::string name = randomName(random, pool);
        const auto expected = model.lower_bound(name);
        const auto found = list.lowerBound(name);
        if (expected == model.end()) {
          ASSERT_EQ(list.end(), found) << name;
        } else {
          ASSERT_NE(list.end(), found) << name;
          ASSERT_EQ(expected->second, found->second) << name;
        }
      } else {
        const auto taken = takeRandom();
        eraseFromBoth(model, list, taken.first, taken.second);
      }
      if (step % 20000 == 0) {
        expectSame(model, list);
      }
    }
    expectSame(model, list);
    // Emptying most of it in random order merges and drops leaves.
    while (live.size() > 10) {
      const auto taken = takeRandom();
      eraseFromBoth(model, list, taken.first, taken.second);
    }
    expectSame(model, list);
  }
}

TEST(ChildList, EqualNamesKeepTheirOrderAcrossLeaves) {
  ChildList list;
  Model model;
  for (std::size_t i = 0; i < 500; ++i) {
    const std::string name = i % 3 == 0 ? "same" : "other" + std::to_string(i % 7);
    list.insert(name, fakeChild(i));
    model.emplace(name, fakeChild(i));
  }
  expectSame(model, list);
  auto it = list.lowerBound("same");
  std::size_t count = 0;
  std::size_t previous = 0;
  for (; it != list.end() && it->first.view() == "same"; ++it, ++count) {
    const std::size_t n = reinterpret_cast<std::uintptr_t>(it->second) / 16 - 1;
    if (count > 0) {
      EXPECT_LT(previous, n);
    }
    previous = n;
  }
  EXPECT_EQ(167u, count);
}

TEST(ChildList, GrowingAtTheEndAndThenInside) {
  ChildList list;
  Model model;
  char name[16];
  for (int i = 0; i < 100000; ++i) {
    std::snprintf(name, sizeof(name), "n%07d", i);
    list.append(name, fakeChild(static_cast<std::size_t>(i)));
    model.emplace(name, fakeChild(static_cast<std::size_t>(i)));
  }
  expectSame(model, list);
  // Between every stored pair, then before all of them.
  for (int i = 0; i < 100000; i += 97) {
    std::snprintf(name, sizeof(name), "n%07d+", i);
    list.insert(name, fakeChild(200000u + static_cast<std::size_t>(i)));
    model.emplace(name, fakeChild(200000u + static_cast<std::size_t>(i)));
  }
  list.insert("a", fakeChild(999999));
  model.emplace("a", fakeChild(999999));
  expectSame(model, list);
  EXPECT_EQ(0u, listIndex(list, ""));
  EXPECT_EQ(list.end(), list.lowerBound("o"));
  EXPECT_EQ(modelIndex(model, "n0050000"), listIndex(list, "n0050000"));
}

TEST(ChildList, SwapAndClear) {
  ChildList a;
  ChildList b;
  for (std::size_t i = 0; i < 1000; ++i) {
    a.insert(std::to_string(i), fakeChild(i));
  }
  b.insert("only", fakeChild(5000));
  a.swap(b);
  EXPECT_EQ(1u, a.size());
  EXPECT_EQ("only", a.begin()->first.view());
  EXPECT_EQ(1000u, b.size());
  EXPECT_EQ(b.end(), b.lowerBound("a"));
  b.clear();
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.begin(), b.end());
  // Usable again after clearing.
  b.insert("x", fakeChild(1));
  EXPECT_EQ(1u, b.size());
  EXPECT_EQ("x", b.back().first.view());
}

}  // namespace
