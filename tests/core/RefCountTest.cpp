#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "qel/core/RefCount.h"
#include "support/Threads.h"

using qel::CAtomicCounter;
using qel::CAtomicLong;
using qel::CRefCountable;
using qel::CWeakRefCountable;
using qel::SmartPtr;
using qel_test::onThreads;

namespace {

// Counts its destructions in a counter owned by the test.
template <typename Base>
class Counted : public Base {
 public:
  explicit Counted(int* destroyed) : _destroyed(destroyed) {}
  ~Counted() override { ++*_destroyed; }
  SmartPtr<Counted> next;  // an owned object

 private:
  int* _destroyed;
};
using Tracked = Counted<CRefCountable>;

class TrackedChild : public Tracked {
 public:
  using Tracked::Tracked;
};

// Counts final releases instead of deleting itself.
class FinalReleaseCounter : public CRefCountable {
 public:
  std::atomic<int> finalReleases{0};

 protected:
  void onFinalRelease() override { ++finalReleases; }
};

// The two counters: signed and unsigned 32-bit values with the same
// operations.
template <typename C>
class AtomicCounter : public ::testing::Test {
 protected:
  using V = std::conditional_t<std::is_same<C, CAtomicCounter>::value, std::int32_t, std::uint32_t>;
};
template <typename C>
class AtomicCounterConcurrency : public AtomicCounter<C> {};
using Counters = ::testing::Types<CAtomicCounter, CAtomicLong>;
// Names the instantiations after the class under test.
struct ClassName {
  template <typename T>
  static std::string GetName(int) {
    return std::is_same<T, CAtomicCounter>::value  ? "CAtomicCounter"
           : std::is_same<T, CAtomicLong>::value   ? "CAtomicLong"
           : std::is_same<T, CRefCountable>::value ? "CRefCountable"
                                                   : "CWeakRefCountable";
  }
};
TYPED_TEST_SUITE(AtomicCounter, Counters, ClassName);
TYPED_TEST_SUITE(AtomicCounterConcurrency, Counters, ClassName);

// The strong (atomic) and the weak (plain) count.
template <typename B>
class RefCountable : public ::testing::Test {};
using CountBases = ::testing::Types<CRefCountable, CWeakRefCountable>;
TYPED_TEST_SUITE(RefCountable, CountBases, ClassName);

}  // namespace

TYPED_TEST(AtomicCounter, PrefixGivesNewValuePostfixOldBothWrapAt32Bits) {
  using V = typename TestFixture::V;
  const V lo = std::numeric_limits<V>::min();
  const V hi = std::numeric_limits<V>::max();
  EXPECT_EQ(V(0), static_cast<V>(TypeParam()));
  // The elements of a braced list are evaluated in order.
  TypeParam counter(V(10));
  EXPECT_EQ((std::vector<V>{11, 11, 12, 11, 11, 10}),
            (std::vector<V>{++counter, counter++, counter, --counter, counter--, counter}));
  TypeParam top(hi);
  EXPECT_EQ((std::vector<V>{lo, lo, hi, lo, hi}),
            (std::vector<V>{++top, top--, top++, top, --top}));
  TypeParam minusOne(static_cast<V>(-1));
  EXPECT_EQ(V(0), ++minusOne);
  // Assignment stores the value; copies take it.
  EXPECT_EQ(hi, counter = hi);
  TypeParam copy(counter);
  EXPECT_EQ(hi, static_cast<V>(copy));
  copy = TypeParam(V(7));
  EXPECT_EQ(V(7), static_cast<V>(copy));
  EXPECT_EQ(hi, static_cast<V>(counter));
}

TYPED_TEST(AtomicCounterConcurrency, InterlockedIncrementsAndDecrementsAreNotLost) {
  using V = typename TestFixture::V;
  TypeParam counter;
  onThreads(4, [&counter](int) {
    for (int i = 0; i < 5000; ++i) {
      ++counter;
      counter++;
      --counter;
      counter--;
      ++counter;
    }
  });
  EXPECT_EQ(V(20000), static_cast<V>(counter));
}

TYPED_TEST(RefCountable, CountsOnePerReferenceAndDestroysAtZero) {
  int destroyed = 0;
  auto* object = new Counted<TypeParam>(&destroyed);
  EXPECT_EQ(0u, object->getRefCount());
  object->addRef();
  object->addRef();
  EXPECT_EQ(2u, object->getRefCount());
  object->release();
  EXPECT_EQ(0, destroyed);
  {
    SmartPtr<Counted<TypeParam>> first(object);
    SmartPtr<Counted<TypeParam>> second(first);
    SmartPtr<Counted<TypeParam>> third;
    third = second;
    EXPECT_EQ(4u, object->getRefCount());
  }
  EXPECT_EQ(1u, object->getRefCount());
  object->release();
  EXPECT_EQ(1, destroyed);

  FinalReleaseCounter counter;
  counter.addRef();
  counter.release();
  EXPECT_EQ(1, counter.finalReleases.load());
}

TEST(SmartPtr, AssignmentsMovesAndResetsKeepCountsExact) {
  int destroyed = 0;
  SmartPtr<Tracked> pointer(new Tracked(&destroyed));
  Tracked* raw = pointer.get();
  SmartPtr<Tracked>& alias = pointer;
  pointer = alias;
  pointer = pointer.get();
  EXPECT_EQ(1u, raw->getRefCount());
  SmartPtr<Tracked> same(pointer);
  pointer = same;
  same = raw;
  EXPECT_EQ(2u, raw->getRefCount());
  same = new Tracked(&destroyed);  // a raw pointer takes a count
  EXPECT_EQ(1u, same->getRefCount());
  same = pointer;  // the old one goes
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(2u, raw->getRefCount());

  SmartPtr<Tracked> moved(std::move(same));
  EXPECT_TRUE(same.isNull());
  SmartPtr<Tracked> target(new Tracked(&destroyed));
  target = std::move(moved);
  EXPECT_EQ(2, destroyed);
  SmartPtr<Tracked>& targetAlias = target;
  target = std::move(targetAlias);
  EXPECT_EQ(raw, target.get());
  EXPECT_EQ(2u, raw->getRefCount());
  target.reset();
  target.reset();
  pointer = static_cast<Tracked*>(nullptr);
  EXPECT_EQ(3, destroyed);

  const SmartPtr<Tracked> empty;
  EXPECT_TRUE(empty.isNull() && !empty && empty.get() == nullptr && empty == nullptr);
  SmartPtr<Tracked> held(new Tracked(&destroyed));
  SmartPtr<Tracked> copy(empty);
  held = copy;
  EXPECT_EQ(4, destroyed);
  EXPECT_TRUE(held.isNull() && copy.isNull());
}

TEST(SmartPtr, ConvertsToPointerOfBaseClassAndReachesTheObject) {
  int destroyed = 0;
  SmartPtr<TrackedChild> child(new TrackedChild(&destroyed));
  SmartPtr<Tracked> base(child);
  EXPECT_EQ(2u, child->getRefCount());
  EXPECT_TRUE(base == child);
  EXPECT_EQ(&*base, child.get());
  child = SmartPtr<TrackedChild>();
  EXPECT_EQ(0, destroyed);
  base = SmartPtr<Tracked>();
  EXPECT_EQ(1, destroyed);
}

// The owned object gains its count before the owner goes: a child outlives
// its parent while referenced, also when the last reference to the parent
// is replaced by one to the child that the parent owns (the right-hand side
// then lives inside the object the assignment frees).
TEST(SmartPtr, AssignmentAddsTheNewReferenceBeforeReleasingTheOld) {
  int destroyed = 0;
  SmartPtr<Tracked> parent(new Tracked(&destroyed));
  parent->next = new Tracked(&destroyed);
  SmartPtr<Tracked> child;
  child = parent->next;
  EXPECT_EQ(2u, child->getRefCount());
  parent = SmartPtr<Tracked>();
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(1u, child->getRefCount());

  child->next = new Tracked(&destroyed);
  Tracked* grandchild = child->next.get();
  child = child->next;
  EXPECT_EQ(2, destroyed);
  EXPECT_EQ(grandchild, child.get());
  EXPECT_EQ(1u, child->getRefCount());
  child = SmartPtr<Tracked>();
  EXPECT_EQ(3, destroyed);
}

// The last release comes from whichever thread ends last, and deletes once.
TEST(SmartPtrConcurrency, CopiesInManyThreadsReleaseExactlyOnce) {
  for (int round = 0; round < 50; ++round) {
    int destroyed = 0;
    FinalReleaseCounter object;
    std::vector<SmartPtr<FinalReleaseCounter>> owners(4, SmartPtr<FinalReleaseCounter>(&object));
    std::vector<SmartPtr<Tracked>> pointers(4, SmartPtr<Tracked>(new Tracked(&destroyed)));
    onThreads(4, [&owners, &pointers](int t) {
      pointers[t].reset();
      for (int i = 0; i < 400; ++i) {
        SmartPtr<FinalReleaseCounter> copy(owners[t]);
        SmartPtr<FinalReleaseCounter> another;
        another = copy;
      }
      owners[t].reset();
    });
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(1, object.finalReleases.load());
    EXPECT_EQ(0u, object.getRefCount());
  }
}
