// The sorted child list against std::multimap, which keeps equal keys in order.
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

// Children are distinct, so the entry a search stops at tells where.
void expectSameLowerBound(const Model& model, const ChildList& list, const std::string& name) {
  const auto expected = model.lower_bound(name);
  const auto found = list.lowerBound(name);
  ASSERT_EQ(expected == model.end(), found == list.end()) << name;
  if (expected != model.end()) {
    ASSERT_EQ(expected->second, found->second) << name;
  }
}

// Names longer than a name kept in place, with a NUL byte, or short.
std::string nameOf(std::size_t n) {
  return n % 4 == 0   ? "a name well past sixteen bytes " + std::to_string(n)
         : n % 4 == 1 ? std::string("z") + '\0' + std::to_string(n)
                      : std::to_string(n * 7919 % 100003);
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

TEST(ChildList, NamesOrderAsStdStringOrdersThem) {
  // Bytes count as unsigned, in the first eight bytes, after them, in a tail.
  std::vector<std::string> names = {
      "",         "a",           "ab",           "abcdefgh",           "abcdefgh\x80",
      "abcdefgz", "abcdefg\xff", "\xc3\xa9t",    "zzzzzzzzzzzzzzzzzz", "\x7f",
      "\x80",     "abcdefghi",   "abcdefgh\x01", "abcdefghijklmnop",   "abcdefghijklmnoq"};
  names.push_back(std::string("a\0", 2));
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      EXPECT_EQ(a < b, qel::nameLess(a, b)) << a << " / " << b;
    }
  }
}

TEST(ChildList, InsertionsLookupsAndErasuresFollowAMultimap) {
  // Few names (runs across leaves), then many (three inner levels).
  for (const std::size_t pool : {40u, 30000u}) {
    SCOPED_TRACE("names: " + std::to_string(pool));
    ChildList list;
    Model model;
    std::vector<std::pair<std::string, CBaseComponent*>> live;
    for (std::size_t i = 0; i < 32000; ++i) {
      const std::string name = nameOf(i * 7919 % pool);
      model.emplace(name, fakeChild(i));
      list.insert(name, fakeChild(i));
      live.emplace_back(name, fakeChild(i));
    }
    expectSame(model, list);
    for (std::size_t n = 0; n < pool + 2; n += 1 + pool / 200) {
      expectSameLowerBound(model, list, nameOf(n));
      expectSameLowerBound(model, list, nameOf(n) + "~");
    }
    // Emptying most of it out of order merges and drops leaves.
    for (std::size_t i = 0; i < live.size(); ++i) {
      if (i % 3 != 0 || i % 7 == 1) {
        eraseFromBoth(model, list, live[i].first, live[i].second);
      }
    }
    expectSame(model, list);
    for (std::size_t i = 0; i + 10 < live.size(); i += 3) {
      if (i % 7 != 1) {
        eraseFromBoth(model, list, live[i].first, live[i].second);
      }
    }
    expectSame(model, list);
    list.clear();  // then usable again
    EXPECT_TRUE(list.empty() && list.size() == 0 && list.begin() == list.end() &&
                list.lowerBound("") == list.end());
    list.insert("x", fakeChild(1));
    EXPECT_TRUE(list.size() == 1 && list.back().first.view() == "x");
  }
}

TEST(ChildList, GrowingAtTheEndAndThenInside) {
  ChildList list;
  Model model;
  char name[16];
  for (std::size_t i = 0; i < 40000; ++i) {
    std::snprintf(name, sizeof(name), "n%07zu", i);
    list.append(name, fakeChild(i));
    model.emplace(name, fakeChild(i));
  }
  expectSame(model, list);
  // Between stored pairs, then before all of them.
  for (std::size_t i = 0; i < 40000; i += 97) {
    std::snprintf(name, sizeof(name), "n%07zu+", i);
    list.insert(name, fakeChild(200000 + i));
    model.emplace(name, fakeChild(200000 + i));
  }
  list.insert("a", fakeChild(999999));
  model.emplace("a", fakeChild(999999));
  expectSame(model, list);
  for (const char* probe : {"", "n0020000", "n0020079+", "o"}) {
    expectSameLowerBound(model, list, probe);
  }
}

}  // namespace
