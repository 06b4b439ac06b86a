// Composites, their leaves, and the sorted child list and name index beneath them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "archive/ChildList.h"
#include "qel/archive/Component.h"

using qel::CBaseComponent;
using qel::CBinaryComponent;
using qel::CComponent;
using qel::CComposite;
using qel_test::childrenOf;
using qel_test::describeTree;

namespace {

std::vector<std::string> namesOf(CComposite& composite) {
  std::vector<std::string> names;
  for (CBaseComponent* child : childrenOf(composite)) {
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

// Renames a child by assignment while it is in a list.
void renameChild(CBaseComponent* child, const std::string& name) {
  *child = CComponent(name, "");
}

TEST(Composite, ListOrderSortsByUnsignedBytesAtEachLookup) {
  // The last added child waits at the end until a lookup sorts it in.
  CComposite root;
  for (const char* name : {"\xC3\xA9", "b", "B", "", "ba", "a"}) {
    root.add(new CComponent(name, ""));
  }
  EXPECT_EQ((std::vector<std::string>{"", "B", "b", "ba", "\xC3\xA9", "a"}), namesOf(root));
  EXPECT_EQ(nullptr, root.find("zz"));
  EXPECT_EQ((std::vector<std::string>{"", "B", "a", "b", "ba", "\xC3\xA9"}), namesOf(root));
  EXPECT_TRUE(root.hasChildren() && root.getChildCount() == 6);
  CComponent x("x", "");
  std::list<CBaseComponent*> out{&x};
  root.getChildren(out);
  EXPECT_TRUE(out.size() == 7 && out.front()->getName().empty() && out.back() == &x);
  EXPECT_TRUE(root.isRoot() && !CComposite("x").isRoot() && root.isComposite());
  EXPECT_TRUE(CComponent("n", "").isValid() && !CComponent("", "v").isValid());
}

TEST(Composite, OwnsEachChildOnceAndDestroysOnlyItsOwn) {
  Tracked::destroyed() = 0;
  {
    qel_test::LogCapture log;
    CComposite root;
    auto* first = new Tracked("d");
    auto* second = new Tracked("d");
    auto* renamed = new Tracked("b");
    auto* last = new Tracked("a");
    for (CBaseComponent* child : {first, renamed, second, last}) {
      root.add(child);
    }
    // A name already there is kept and logged.
    ASSERT_EQ(1u, log.messages().size());
    EXPECT_EQ(L"1:CComposite::add ERROR - Already exist!!!", log.messages()[0]);
    // Adding a child already there (last added, sorted, a duplicate), null or self.
    for (CBaseComponent* again :
         std::vector<CBaseComponent*>{last, first, second, &root, nullptr}) {
      root.add(again);
    }
    EXPECT_EQ(4u, root.getChildCount());
    renameChild(renamed, "x");
    Tracked stranger("d");
    root.remove(&stranger);
    root.remove(nullptr);
    EXPECT_EQ(0, Tracked::destroyed());
    root.remove(second);
    EXPECT_EQ(first, root.find("d"));
    root.remove(renamed);
    auto* lastAdded = new Tracked("c");
    root.add(lastAdded);
    root.remove(lastAdded);
    EXPECT_EQ(3, Tracked::destroyed());
    EXPECT_EQ((std::vector<std::string>{"a", "d"}), namesOf(root));
    root.clear();
    EXPECT_EQ(5, Tracked::destroyed());
    EXPECT_FALSE(root.hasChildren());
    root.add(new Tracked("again"));
  }
  EXPECT_EQ(7, Tracked::destroyed());
}

TEST(Composite, ClonesCopiesAndAssignmentsAreDeep) {
  auto* source = qel_test::compositeOf(
      {qel_test::compositeOf({new CComponent("k", "v"), qel_test::binaryOf("b", "\1\2\3")},
                             "inner")},
      "top");
  for (int i = 0; i < 300; ++i) {  // a large list, its last child not sorted in
    source->add(new CComponent("z" + std::to_string(i * 7919 % 1000), std::to_string(i)));
  }
  const std::string described = describeTree(*source);
  std::unique_ptr<CBaseComponent> cloned(source->clone());
  CComposite copied(*source);
  CComposite assigned("old");
  for (int i = 0; i < 100; ++i) {
    assigned.add(new CComponent("old" + std::to_string(i), ""));
  }
  assigned.find("old1");
  assigned = *source;
  delete source;
  for (CComposite* tree : {static_cast<CComposite*>(cloned.get()), &copied, &assigned}) {
    SCOPED_TRACE(tree == &copied ? "copied" : tree == &assigned ? "assigned" : "cloned");
    EXPECT_TRUE(described == describeTree(*tree));
    EXPECT_EQ(nullptr, tree->find("old1"));
    EXPECT_EQ(
        "7",
        static_cast<CComponent*>(tree->find("z" + std::to_string(7 * 7919 % 1000)))->getValue());
  }
  const std::string before = describeTree(assigned);
  CComposite& alias = assigned;
  assigned = alias;
  EXPECT_TRUE(before == describeTree(assigned));
}

TEST(BinaryComponent, ByteOperations) {
  CBinaryComponent b("b");
  unsigned int size = 9;
  unsigned char marker = 0;
  unsigned char* out = &marker;
  EXPECT_TRUE(b.getData(size) == nullptr && size == 0 && b.isEqual(nullptr, 0));
  EXPECT_EQ(0u, b.copyData(out));
  EXPECT_EQ(&marker, out);
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
  EXPECT_FALSE(b.isEqual(first, 3) || b.isEqual(second, 2) || b.isEqual(nullptr, 3));
  EXPECT_EQ(3u, b.copyData(out));
  std::unique_ptr<unsigned char[]> owned(out);
  EXPECT_TRUE(out != held && out[2] == 0x0A);
  // Copies own their bytes.
  CBinaryComponent assigned("x");
  assigned.setData(first, 2);
  assigned = b;
  CBinaryComponent copied(b);
  std::unique_ptr<CBaseComponent> cloned(b.clone());
  for (CBinaryComponent* copy :
       {&assigned, &copied, static_cast<CBinaryComponent*>(cloned.get())}) {
    EXPECT_NE(held, copy->getData(size));
    EXPECT_TRUE(copy->isEqual(second, 3));
  }
  b.setData(b.getData(size) + 1, 2);  // from its own array
  EXPECT_TRUE(b.isEqual(second + 1, 2));
}

// ---- large lists ------------------------------------------------------------
// A large list that lookups search often keeps a name index beside it; what a
// lookup gives must stay the first child of the name in list order.

void expectLookupsFollowTheList(CComposite& root, const std::vector<std::string>& names) {
  root.find("");
  const std::vector<CBaseComponent*> children = childrenOf(root);
  ASSERT_TRUE(std::is_sorted(
      children.begin(), children.end(),
      [](CBaseComponent* a, CBaseComponent* b) { return a->getName() < b->getName(); }));
  for (const std::string& name : names) {
    const auto first = std::find_if(children.begin(), children.end(),
                                    [&](CBaseComponent* c) { return c->getName() == name; });
    ASSERT_EQ(first == children.end() ? nullptr : *first, root.find(name)) << name;
  }
}

TEST(CompositeLargeList, LookupsRemovalsAndAdditionsFollowTheList) {
  // Names of 1 to 40 bytes, shared, differing only at the end, with NUL bytes.
  std::vector<std::string> names;
  for (int i = 0; i < 400; ++i) {
    names.push_back(i % 4 == 0   ? "a long common start of names/" + std::to_string(i % 60)
                    : i % 4 == 1 ? std::string("nul") + '\0' + std::to_string(i % 30)
                                 : std::to_string(i * 7919 % 1000).substr(0, 1 + i % 3));
  }
  for (std::size_t length : {15u, 16u, 17u}) {
    names.push_back(std::string(length, 'x'));
  }
  qel_test::LogCapture quiet;
  Tracked::destroyed() = 0;
  CComposite root;
  std::vector<CBaseComponent*> live;
  for (const std::string& name : names) {
    live.push_back(new Tracked(name));
    root.add(live.back());
  }
  expectLookupsFollowTheList(root, names);
  // Removing the child a lookup gives makes the next of its name the one.
  for (std::size_t i = 0; i < live.size(); i += 3) {
    root.remove(live[i]);
  }
  expectLookupsFollowTheList(root, names);
  // Many more children than the index first had room for.
  std::vector<std::string> more = names;
  for (int i = 0; i < 3000; ++i) {
    more.push_back(names[static_cast<std::size_t>(i * 31) % names.size()] + "+");
    root.add(new Tracked(more.back()));
    root.add(live[1]);  // already there
  }
  expectLookupsFollowTheList(root, more);
  EXPECT_EQ(names.size() - (names.size() + 2) / 3 + 3000, root.getChildCount());
  // Emptied child by child, lookups stay right on the way.
  for (std::size_t i = 0; root.hasChildren(); ++i) {
    root.remove(root.find(childrenOf(root)[i * 7919 % root.getChildCount()]->getName()));
    if (i % 400 == 0) {
      expectLookupsFollowTheList(root, more);
    }
  }
  EXPECT_EQ(static_cast<int>(names.size()) + 3000, Tracked::destroyed());
  EXPECT_EQ(nullptr, root.find(names[0]));
  // Small again: the list works as before the index.
  root.add(new CComponent("b", ""));
  root.add(new CComponent("a", ""));
  EXPECT_EQ((std::vector<std::string>{"b", "a"}), namesOf(root));
  EXPECT_NE(nullptr, root.find("b"));
}

TEST(CompositeLargeList, ListsGrownAtTheEndAndRenamedChildren) {
  // Rising names as a list loads; renamed children stay filed under the old name.
  qel_test::LogCapture quiet;
  Tracked::destroyed() = 0;
  CComposite root;
  std::vector<CBaseComponent*> dups;
  for (int i = 0; i < 300; ++i) {
    root.add(new Tracked("k" + std::to_string(1000 + i)));
    for (int d = 0; i == 150 && d < 3; ++d) {
      dups.push_back(new Tracked("k1150"));
      root.add(dups.back());
    }
  }
  CBaseComponent* renamed = root.find("k1200");
  renameChild(renamed, "zzz");
  for (int lookup = 0; lookup < 10; ++lookup) {  // enough for the index
    EXPECT_EQ(renamed, root.find("k1200"));
    EXPECT_EQ(nullptr, root.find("zzz"));
    EXPECT_EQ(nullptr, root.find("k11500"));
  }
  CBaseComponent* firstDup = root.find("k1150");
  EXPECT_NE(dups[0], firstDup);
  root.add(new Tracked("a"));
  auto* second1299 = new Tracked("k1299");
  root.add(second1299);
  EXPECT_NE(second1299, root.find("k1299"));
  EXPECT_NE(nullptr, root.find("a"));
  root.remove(firstDup);
  EXPECT_EQ(dups[0], root.find("k1150"));
  root.remove(renamed);
  EXPECT_EQ(nullptr, root.find("k1200"));
  CBaseComponent* renamedInIndex = root.find("k1100");
  renameChild(renamedInIndex, "k1101");
  root.remove(renamedInIndex);
  EXPECT_EQ(nullptr, root.find("k1100"));
  EXPECT_EQ(3, Tracked::destroyed());
  EXPECT_EQ(302u, root.getChildCount());
  EXPECT_EQ("a", childrenOf(root).front()->getName());
  EXPECT_EQ(dups[0], childrenOf(root)[150]);
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

}  // namespace
