#include <gtest/gtest.h>

#include <algorithm>
#include <list>
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

}  // namespace
