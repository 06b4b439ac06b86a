#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Component.h"

using qel::CBaseComponent;
using qel::CBinaryComponent;
using qel::CComponent;
using qel::CComposite;

namespace {

std::vector<std::string> namesOf(CComposite& composite) {
  std::list<CBaseComponent*> children;
  composite.getChildren(children);
  std::vector<std::string> names;
  for (CBaseComponent* child : children) {
    names.push_back(child->getName());
  }
  return names;
}

// Counts destructions of the nodes of a test.
struct Tracked : CComponent {
  static int& destroyed() {
    static int count = 0;
    return count;
  }
  explicit Tracked(const std::string& name) : CComponent(name, "") {}
  ~Tracked() override { ++destroyed(); }
};

TEST(Component, NamesTypesAndValues) {
  CComponent unnamed("", "v");
  EXPECT_FALSE(unnamed.isValid());
  CComponent c("n", "v");
  EXPECT_TRUE(c.isValid());
  EXPECT_EQ(CBaseComponent::TYPE_COMPONENT, c.getType());
  c.setValue("w");
  EXPECT_EQ("w", c.getValue());
  std::unique_ptr<CBaseComponent> copy(c.clone());
  EXPECT_EQ("n", copy->getName());
  EXPECT_EQ("w", static_cast<CComponent&>(*copy).getValue());
  EXPECT_TRUE(CComposite().isRoot());
  EXPECT_FALSE(CComposite("x").isRoot());
  EXPECT_TRUE(CComposite("x").isComposite());
  EXPECT_EQ(CBaseComponent::TYPE_BINARY, CBinaryComponent("b").getType());
}

TEST(Composite, AddLeavesTheLastAddedAtTheEndUntilTheNextLookup) {
  CComposite root;
  root.add(new CComponent("c", ""));
  root.add(new CComponent("a", ""));
  root.add(new CComponent("b", ""));
  EXPECT_EQ((std::vector<std::string>{"a", "c", "b"}), namesOf(root));
  EXPECT_EQ(nullptr, root.find("zz"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), namesOf(root));
  EXPECT_TRUE(root.hasChildren());
  EXPECT_EQ(3u, root.getChildCount());
}

TEST(Composite, NamesCompareAsUnsignedBytes) {
  CComposite root;
  for (const char* name : {"\xC3\xA9", "b", "B", "", "ba", "a"}) {
    root.add(new CComponent(name, ""));
  }
  root.find("");
  EXPECT_EQ((std::vector<std::string>{"", "B", "a", "b", "ba", "\xC3\xA9"}), namesOf(root));
}

TEST(Composite, DuplicateNamesAreKeptAndLogged) {
  qel_test::LogCapture log;
  const bool previous = qel::DISPLAY_ERROR_LOGS;
  qel::DISPLAY_ERROR_LOGS = true;
  CComposite root;
  auto* first = new CComponent("a", "1");
  auto* second = new CComponent("a", "2");
  root.add(first);
  root.add(second);
  qel::DISPLAY_ERROR_LOGS = previous;
  ASSERT_EQ(1u, log.messages().size());
  EXPECT_EQ(L"1:CComposite::add ERROR - Already exist!!!", log.messages()[0]);
  EXPECT_EQ(2u, root.getChildCount());
  CBaseComponent* found = root.find("a");
  EXPECT_TRUE(found == first || found == second);
}

TEST(Composite, AddingTheSameChildTwiceOwnsItOnce) {
  Tracked::destroyed() = 0;
  {
    CComposite root;
    auto* child = new Tracked("t");
    root.add(child);
    root.add(child);
    root.add(&root);
    root.add(nullptr);
    EXPECT_EQ(1u, root.getChildCount());
  }
  EXPECT_EQ(1, Tracked::destroyed());
}

TEST(Composite, RemoveAndClearDestroyOwnChildrenOnly) {
  Tracked::destroyed() = 0;
  CComposite root;
  auto* a = new Tracked("a");
  auto* b = new Tracked("b");
  auto* c = new Tracked("c");
  root.add(b);
  root.add(c);
  root.add(a);
  Tracked stranger("s");
  root.remove(&stranger);
  EXPECT_EQ(0, Tracked::destroyed());
  root.remove(b);  // from the sorted part
  EXPECT_EQ(1, Tracked::destroyed());
  EXPECT_EQ((std::vector<std::string>{"c", "a"}), namesOf(root));
  root.remove(a);  // the last added
  EXPECT_EQ((std::vector<std::string>{"c"}), namesOf(root));
  root.clear();
  EXPECT_EQ(3, Tracked::destroyed());
  EXPECT_FALSE(root.hasChildren());
}

TEST(Composite, RemoveTellsSameNamedChildrenApartAndFindsRenamedOnes) {
  Tracked::destroyed() = 0;
  CComposite root;
  auto* first = new Tracked("d");
  auto* second = new Tracked("d");
  auto* renamed = new Tracked("b");
  root.add(first);
  root.add(renamed);
  root.add(second);
  root.add(new Tracked("a"));
  EXPECT_EQ(4u, root.getChildCount());
  // A child renamed by assignment while in the list is still its child.
  static_cast<CBaseComponent&>(*renamed) = CComponent("x", "");
  Tracked stranger("d");
  root.remove(&stranger);
  EXPECT_EQ(0, Tracked::destroyed());
  root.remove(second);
  EXPECT_EQ(1, Tracked::destroyed());
  EXPECT_EQ(first, root.find("d"));
  root.remove(renamed);
  EXPECT_EQ(2, Tracked::destroyed());
  EXPECT_EQ((std::vector<std::string>{"a", "d"}), namesOf(root));
  // Adding a child that is already there, among others of its name, keeps
  // one entry.
  root.add(new Tracked("d"));
  root.add(first);
  EXPECT_EQ(3u, root.getChildCount());
  root.clear();
  EXPECT_EQ(5, Tracked::destroyed());
}

TEST(Composite, GetChildrenGoesBeforeWhatTheListHolds) {
  CComposite root;
  root.add(new CComponent("a", ""));
  root.add(new CComponent("b", ""));
  CComponent x("x", "");
  std::list<CBaseComponent*> out{&x};
  root.getChildren(out);
  ASSERT_EQ(3u, out.size());
  EXPECT_EQ("a", out.front()->getName());
  EXPECT_EQ(&x, out.back());
}

TEST(Composite, CloneAndCopiesAreDeep) {
  auto* source = new CComposite("top");
  auto* inner = new CComposite("inner");
  inner->add(new CComponent("k", "v"));
  auto* bin = new CBinaryComponent("b");
  const unsigned char bytes[] = {1, 2, 3};
  bin->setData(bytes, 3);
  inner->add(bin);
  source->add(inner);
  source->add(new CComponent("z", "last"));

  std::unique_ptr<CBaseComponent> cloned(source->clone());
  CComposite copied(*source);
  CComposite assigned("old");
  assigned.add(new CComponent("gone", ""));
  assigned = *source;
  delete source;

  for (CComposite* tree : {static_cast<CComposite*>(cloned.get()), &copied, &assigned}) {
    EXPECT_EQ("top", tree->getName());
    EXPECT_EQ((std::vector<std::string>{"inner", "z"}), namesOf(*tree));
    auto* innerCopy = dynamic_cast<CComposite*>(tree->find("inner"));
    ASSERT_NE(nullptr, innerCopy);
    auto* k = dynamic_cast<CComponent*>(innerCopy->find("k"));
    ASSERT_NE(nullptr, k);
    EXPECT_EQ("v", k->getValue());
    auto* b = dynamic_cast<CBinaryComponent*>(innerCopy->find("b"));
    ASSERT_NE(nullptr, b);
    EXPECT_TRUE(b->isEqual(bytes, 3));
  }
  CComposite& alias = assigned;
  assigned = alias;  // self-assignment keeps the tree
  EXPECT_EQ(2u, assigned.getChildCount());
}

TEST(Composite, LargeListsStayFast) {
  // Random names in random order: quadratic work would not finish here.
  CComposite root;
  std::mt19937 random(7);
  const int count = 200000;
  std::vector<std::string> sample;
  for (int i = 0; i < count; ++i) {
    const std::string name = std::to_string(random());
    if (i % 200 == 0) {
      sample.push_back(name);
    }
    root.add(new CComponent(name, ""));
  }
  for (const std::string& name : sample) {
    CBaseComponent* found = root.find(name);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(name, found->getName());
  }
  const std::vector<std::string> names = namesOf(root);
  ASSERT_EQ(static_cast<std::size_t>(count), names.size());
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
}

TEST(Composite, ListsSurviveRemovalsRefillsAndAssignments) {
  // Entries given back by remove and clear are used again; assignment
  // exchanges whole lists between composites.
  Tracked::destroyed() = 0;
  std::mt19937 random(11);
  CComposite first("first");
  std::vector<Tracked*> added;
  for (int i = 0; i < 3000; ++i) {
    added.push_back(new Tracked(std::to_string(random() % 100000)));
    first.add(added.back());
  }
  for (std::size_t i = 0; i < added.size(); i += 2) {
    first.remove(added[i]);
  }
  EXPECT_EQ(1500, Tracked::destroyed());
  for (int i = 0; i < 1500; ++i) {
    first.add(new Tracked("r" + std::to_string(i)));
  }
  std::vector<std::string> names = namesOf(first);
  ASSERT_EQ(3000u, names.size());
  first.find("");
  names = namesOf(first);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(added[1], first.find(added[1]->getName()));

  CComposite second("second");
  second.add(new Tracked("only"));
  second = first;  // the 1 child of second goes, copies of the 3000 come
  EXPECT_EQ(1501, Tracked::destroyed());
  first.clear();
  EXPECT_EQ(4501, Tracked::destroyed());
  first.add(new CComponent("again", "1"));
  EXPECT_EQ(1u, first.getChildCount());
  EXPECT_EQ(names, namesOf(second));
}

TEST(Composite, DeepTreesDoNotReachTheCallStack) {
  auto* root = new CComposite();
  CComposite* current = root;
  for (int depth = 0; depth < 300000; ++depth) {
    auto* next = new CComposite("n");
    current->add(next);
    current = next;
  }
  std::unique_ptr<CBaseComponent> copy(root->clone());
  delete root;
  EXPECT_TRUE(static_cast<CComposite*>(copy.get())->hasChildren());
}

TEST(BinaryComponent, ByteOperations) {
  CBinaryComponent b("b");
  unsigned int size = 9;
  EXPECT_EQ(nullptr, b.getData(size));
  EXPECT_EQ(0u, size);
  unsigned char marker = 0;
  unsigned char* out = &marker;
  EXPECT_EQ(0u, b.copyData(out));
  EXPECT_EQ(&marker, out);
  EXPECT_TRUE(b.isEqual(nullptr, 0));

  const unsigned char first[] = {0x01, 0x20, 0xAB};
  b.setData(first, 3);
  unsigned char* held = b.getData(size);
  EXPECT_EQ(3u, size);
  EXPECT_EQ("01 ab", b.toString());
  b.setData(first, 0);  // keeps the bytes
  EXPECT_TRUE(b.isEqual(first, 3));
  const unsigned char second[] = {0x20, 0x20, 0x0A};
  b.setData(second, 3);  // same size: the array is reused
  EXPECT_EQ(held, b.getData(size));
  EXPECT_EQ("  0a", b.toString());
  EXPECT_TRUE(b.isEqual(held, 3));
  EXPECT_FALSE(b.isEqual(first, 3));
  EXPECT_FALSE(b.isEqual(second, 2));
  EXPECT_FALSE(b.isEqual(nullptr, 3));

  EXPECT_EQ(3u, b.copyData(out));
  std::unique_ptr<unsigned char[]> owned(out);
  EXPECT_NE(held, out);
  EXPECT_EQ(0x0A, out[2]);

  // Copies own their bytes.
  CBinaryComponent assigned("x");
  assigned.setData(first, 2);
  assigned = b;
  unsigned int assignedSize = 0;
  EXPECT_NE(held, assigned.getData(assignedSize));
  EXPECT_TRUE(assigned.isEqual(second, 3));
  CBinaryComponent copied(b);
  EXPECT_NE(held, copied.getData(assignedSize));
  std::unique_ptr<CBaseComponent> cloned(b.clone());
  EXPECT_TRUE(static_cast<CBinaryComponent&>(*cloned).isEqual(second, 3));
  b.setData(b.getData(size) + 1, 2);  // from its own array
  EXPECT_TRUE(b.isEqual(second + 1, 2));
}

// ---- large lists ------------------------------------------------------------
// A large list files its children by name as well; these compare it with a
// plain model of the list: a multimap keyed by the name each child was added
// with, and the last added child apart until the next lookup.

class ListModel {
 public:
  void add(CBaseComponent* child) {
    settle();
    const auto range = _sorted.equal_range(child->getName());
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == child) {
        return;
      }
    }
    _pLast = child;
  }
  CBaseComponent* find(const std::string& name) {
    settle();
    const auto it = _sorted.lower_bound(name);
    return it == _sorted.end() || it->first != name ? nullptr : it->second;
  }
  void remove(CBaseComponent* child) {
    if (child == _pLast) {
      _pLast = nullptr;
      return;
    }
    const auto range = _sorted.equal_range(child->getName());
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == child) {
        _sorted.erase(it);
        return;
      }
    }
    for (auto it = _sorted.begin(); it != _sorted.end(); ++it) {
      if (it->second == child) {
        _sorted.erase(it);
        return;
      }
    }
  }
  std::vector<CBaseComponent*> order() const {
    std::vector<CBaseComponent*> out;
    for (const auto& entry : _sorted) {
      out.push_back(entry.second);
    }
    if (_pLast != nullptr) {
      out.push_back(_pLast);
    }
    return out;
  }
  std::size_t size() const { return _sorted.size() + (_pLast != nullptr ? 1 : 0); }

 private:
  void settle() {
    if (_pLast != nullptr) {
      _sorted.emplace(_pLast->getName(), _pLast);
      _pLast = nullptr;
    }
  }

  std::multimap<std::string, CBaseComponent*> _sorted;
  CBaseComponent* _pLast = nullptr;
};

std::vector<CBaseComponent*> childrenOf(CComposite& composite) {
  std::list<CBaseComponent*> children;
  composite.getChildren(children);
  return std::vector<CBaseComponent*>(children.begin(), children.end());
}

// Keeps duplicate names from being logged while a test runs.
class QuietLogs {
 public:
  QuietLogs() : _bPrevious(qel::DISPLAY_ERROR_LOGS) { qel::DISPLAY_ERROR_LOGS = false; }
  ~QuietLogs() { qel::DISPLAY_ERROR_LOGS = _bPrevious; }

 private:
  bool _bPrevious;
};

TEST(CompositeLargeList, RandomWorkFollowsTheModel) {
  QuietLogs quiet;
  std::mt19937 random(2024);
  // Names of 1 to 40 bytes, many shared by several children, some longer
  // than a name the index keeps in place, some differing only at the end
  // of a long common start, a few with a NUL byte inside.
  std::vector<std::string> pool;
  for (int i = 0; i < 60000; ++i) {
    std::string name;
    switch (random() % 8) {
      case 0:
        name = "a long common start of names/" + std::to_string(random() % 5000);
        break;
      case 1:
        name = std::string("nul") + '\0' + std::to_string(random() % 3000);
        break;
      default: {
        const std::size_t length = 1 + random() % 20;
        for (std::size_t c = 0; c < length; ++c) {
          name += static_cast<char>('a' + random() % 26);
        }
        break;
      }
    }
    pool.push_back(name);
  }
  CComposite composite("big");
  ListModel model;
  std::vector<CBaseComponent*> live;
  auto compareOrder = [&] {
    ASSERT_EQ(model.size(), composite.getChildCount());
    ASSERT_TRUE(model.order() == childrenOf(composite));
  };
  std::size_t added = 0;
  for (int step = 0; step < 180000; ++step) {
    const unsigned kind = random() % 100;
    if (kind < 70) {
      auto* child = new CComponent(pool[random() % pool.size()], "");
      composite.add(child);
      model.add(child);
      live.push_back(child);
      ++added;
    } else if (kind < 85) {
      const std::string& name = pool[random() % pool.size()];
      ASSERT_EQ(model.find(name), composite.find(name)) << "step " << step;
    } else if (kind < 95 && !live.empty()) {
      const std::size_t at = random() % live.size();
      CBaseComponent* child = live[at];
      live[at] = live.back();
      live.pop_back();
      model.remove(child);
      composite.remove(child);
    } else if (!live.empty()) {
      // A child that is there already is not added again.
      CBaseComponent* child = live[random() % live.size()];
      composite.add(child);
      model.add(child);
    }
    if (step % 30000 == 0) {
      compareOrder();
    }
  }
  EXPECT_GT(added, 100000u);
  EXPECT_GT(live.size(), 100000u - 20000u);
  compareOrder();
  for (const std::string& name : pool) {
    ASSERT_EQ(model.find(name), composite.find(name));
  }
  // Emptying it child by child leaves every lookup right on the way.
  std::shuffle(live.begin(), live.end(), random);
  for (std::size_t i = 0; i < live.size(); ++i) {
    const std::string name = live[i]->getName();
    model.remove(live[i]);
    composite.remove(live[i]);
    if (i % 97 == 0) {
      ASSERT_EQ(model.find(name), composite.find(name));
    }
  }
  EXPECT_FALSE(composite.hasChildren());
  EXPECT_EQ(nullptr, composite.find(pool[0]));
}

TEST(CompositeLargeList, SameNamesKeepTheirOrderAsTheListGrows) {
  QuietLogs quiet;
  CComposite root;
  auto* first = new CComponent("dup", "1");
  auto* second = new CComponent("dup", "2");
  auto* third = new CComponent("dup", "3");
  root.add(first);
  // Names in falling order: each goes before the ones already there.
  for (int i = 199; i >= 0; --i) {
    char name[8];
    std::snprintf(name, sizeof(name), "n%03d", i);
    root.add(new CComponent(name, ""));
    if (i == 180) {
      root.add(second);
    } else if (i == 20) {
      root.add(third);
    }
  }
  EXPECT_EQ(first, root.find("dup"));
  const std::vector<CBaseComponent*> order = childrenOf(root);
  ASSERT_EQ(203u, order.size());
  EXPECT_EQ(first, order[0]);
  EXPECT_EQ(second, order[1]);
  EXPECT_EQ(third, order[2]);
  EXPECT_EQ("n000", order[3]->getName());
  EXPECT_EQ("n199", order.back()->getName());

  // Removing the child a lookup gives makes the next of its name the one.
  root.remove(first);
  EXPECT_EQ(second, root.find("dup"));
  root.add(new CComponent("a", ""));
  root.remove(second);
  EXPECT_EQ(third, root.find("dup"));
  root.remove(third);
  EXPECT_EQ(nullptr, root.find("dup"));
  EXPECT_EQ(201u, root.getChildCount());
  EXPECT_EQ("a", childrenOf(root).front()->getName());
}

TEST(CompositeLargeList, ListsGrownAtTheEndAnswerLookupsInside) {
  QuietLogs quiet;
  // Names in rising order, as a stored list loads, with a run of equal
  // names and a child renamed after it was added.
  CComposite root;
  std::vector<CBaseComponent*> dups;
  for (int i = 0; i < 300; ++i) {
    char name[8];
    std::snprintf(name, sizeof(name), "k%03d", i);
    root.add(new CComponent(name, ""));
    if (i == 150) {
      for (int d = 0; d < 3; ++d) {
        dups.push_back(new CComponent("k150", std::to_string(d)));
        root.add(dups.back());
      }
    }
  }
  CBaseComponent* renamed = root.find("k200");
  ASSERT_NE(nullptr, renamed);
  static_cast<CBaseComponent&>(*renamed) = CComponent("zzz", "");
  // Lookups before the end: the first child of a name, in list order.
  EXPECT_NE(nullptr, root.find("k000"));
  EXPECT_NE(dups[0], root.find("k150"));
  EXPECT_EQ("", static_cast<CComponent*>(root.find("k150"))->getValue());
  EXPECT_EQ(renamed, root.find("k200"));
  EXPECT_EQ(nullptr, root.find("zzz"));
  EXPECT_EQ(nullptr, root.find("k1500"));
  // Additions after the first such lookup keep every name findable.
  root.add(new CComponent("a", "front"));
  root.add(new CComponent("k299", "second"));
  EXPECT_EQ("front", static_cast<CComponent*>(root.find("a"))->getValue());
  EXPECT_EQ("", static_cast<CComponent*>(root.find("k299"))->getValue());
  root.remove(root.find("k150"));
  EXPECT_EQ(dups[0], root.find("k150"));
  EXPECT_EQ(304u, root.getChildCount());
  const std::vector<CBaseComponent*> order = childrenOf(root);
  EXPECT_EQ("a", order.front()->getName());
  EXPECT_EQ(dups[0], order[151]);
}

TEST(CompositeLargeList, LongAndSimilarNames) {
  CComposite root;
  const std::string base(40, 'x');
  std::vector<std::string> names;
  for (std::size_t length : {1u, 15u, 16u, 17u, 31u, 40u}) {
    names.push_back(base.substr(0, length));
    names.push_back(base.substr(0, length - 1) + "y");
  }
  names.push_back(std::string("ab") + '\0' + "c");
  names.push_back("ab");
  for (int i = 0; i < 100; ++i) {
    names.push_back(base + std::to_string(i));
  }
  // In random order, so that most wait to be sorted in.
  std::vector<std::string> shuffled = names;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
  for (const std::string& name : shuffled) {
    root.add(new CComponent(name, name));
  }
  for (const std::string& name : names) {
    CBaseComponent* found = root.find(name);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(name, static_cast<CComponent*>(found)->getValue());
  }
  EXPECT_EQ(nullptr, root.find(base.substr(0, 18)));
  EXPECT_EQ(nullptr, root.find(base + "100"));
  EXPECT_EQ(nullptr, root.find(std::string("ab") + '\0'));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, namesOf(root));
}

TEST(CompositeLargeList, RenamedAndReaddedChildren) {
  QuietLogs quiet;
  Tracked::destroyed() = 0;
  {
    CComposite root;
    std::vector<Tracked*> children;
    for (int i = 99; i >= 0; --i) {
      children.push_back(new Tracked("m" + std::to_string(i)));
      root.add(children.back());
    }
    // Filed under the name it was added with, as long as it is there.
    Tracked* renamed = children[10];
    const std::string old = renamed->getName();
    static_cast<CBaseComponent&>(*renamed) = CComponent("zzz", "");
    EXPECT_EQ(renamed, root.find(old));
    EXPECT_EQ(nullptr, root.find("zzz"));

    // A second child of a name, not yet sorted in, is not added twice.
    auto* twin = new Tracked("m5");
    root.add(twin);
    root.add(new Tracked("m0"));
    root.add(twin);
    root.add(children[50]);
    EXPECT_EQ(102u, root.getChildCount());
    EXPECT_EQ(children[94], root.find("m5"));

    root.remove(renamed);
    EXPECT_EQ(1, Tracked::destroyed());
    EXPECT_EQ(nullptr, root.find(old));
    EXPECT_EQ(101u, root.getChildCount());
    root.remove(children[94]);
    EXPECT_EQ(twin, root.find("m5"));
  }
  EXPECT_EQ(102, Tracked::destroyed());
}

TEST(CompositeLargeList, CopiesAssignmentsAndClearing) {
  std::mt19937 random(9);
  CComposite source("s");
  for (int i = 0; i < 500; ++i) {
    source.add(new CComponent(std::to_string(random() % 100000), std::to_string(i)));
  }
  // Copies made while children wait to be sorted in.
  CComposite copied(source);
  CComposite assigned("a");
  for (int i = 0; i < 300; ++i) {
    assigned.add(new CComponent("old" + std::to_string(i), ""));
  }
  assigned = source;
  // The last added child of the source is the last of the copies too.
  const std::vector<std::string> names = namesOf(source);
  for (CComposite* copy : {&copied, &assigned}) {
    EXPECT_EQ(names, namesOf(*copy));
  }
  EXPECT_EQ(nullptr, assigned.find("old1"));
  for (CComposite* copy : {&copied, &assigned}) {
    for (const std::string& name : names) {
      CBaseComponent* mine = copy->find(name);
      CBaseComponent* theirs = source.find(name);
      ASSERT_NE(nullptr, mine);
      ASSERT_NE(mine, theirs);
      EXPECT_EQ(static_cast<CComponent*>(theirs)->getValue(),
                static_cast<CComponent*>(mine)->getValue());
    }
  }
  source.clear();
  EXPECT_EQ(nullptr, source.find(names[0]));
  EXPECT_EQ(0u, source.getChildCount());
  // Small again: the list works as before the index.
  source.add(new CComponent("b", ""));
  source.add(new CComponent("a", ""));
  EXPECT_EQ((std::vector<std::string>{"b", "a"}), namesOf(source));
  EXPECT_NE(nullptr, source.find("b"));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), namesOf(source));
}

}  // namespace
