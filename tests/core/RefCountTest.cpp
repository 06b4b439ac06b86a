#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "qel/core/RefCount.h"

using qel::CAtomicCounter;
using qel::CAtomicLong;
using qel::CRefCountable;
using qel::CWeakRefCountable;
using qel::SmartPtr;

namespace {

// Counts its destructions in a counter owned by the test.
class Tracked : public CRefCountable {
 public:
  explicit Tracked(int* destroyed) : _destroyed(destroyed) {}
  ~Tracked() override { ++*_destroyed; }

 private:
  int* _destroyed;
};

class TrackedChild : public Tracked {
 public:
  explicit TrackedChild(int* destroyed) : Tracked(destroyed) {}
};

// Owns the only other reference to its child; records the child's count
// when it dies.
class Parent : public CRefCountable {
 public:
  Parent(SmartPtr<Tracked> child, std::uint32_t* childCountAtDeath, int* destroyed)
      : _child(std::move(child)), _childCountAtDeath(childCountAtDeath), _destroyed(destroyed) {}
  ~Parent() override {
    *_childCountAtDeath = _child->getRefCount();
    ++*_destroyed;
  }
  SmartPtr<Tracked> _child;

 private:
  std::uint32_t* _childCountAtDeath;
  int* _destroyed;
};

// Counts final releases instead of deleting itself.
class FinalReleaseCounter : public CRefCountable {
 public:
  std::atomic<int> finalReleases{0};

 protected:
  void onFinalRelease() override { ++finalReleases; }
};

class WeakTracked : public CWeakRefCountable {
 public:
  explicit WeakTracked(int* destroyed) : _destroyed(destroyed) {}
  ~WeakTracked() override { ++*_destroyed; }

 private:
  int* _destroyed;
};

}  // namespace

TEST(AtomicCounter, StartsAtZeroOrTheGivenValue) {
  EXPECT_EQ(0, static_cast<int>(CAtomicCounter()));
  EXPECT_EQ(0u, static_cast<std::uint32_t>(CAtomicLong()));
  EXPECT_EQ(-5, static_cast<int>(CAtomicCounter(-5)));
  EXPECT_EQ(4000000000u, static_cast<std::uint32_t>(CAtomicLong(4000000000u)));
}

TEST(AtomicCounter, PrefixGivesNewValuePostfixGivesOld) {
  CAtomicCounter counter(10);
  EXPECT_EQ(11, ++counter);
  EXPECT_EQ(11, counter++);
  EXPECT_EQ(12, static_cast<int>(counter));
  EXPECT_EQ(11, --counter);
  EXPECT_EQ(11, counter--);
  EXPECT_EQ(10, static_cast<int>(counter));

  CAtomicLong unsignedCounter(7u);
  EXPECT_EQ(8u, ++unsignedCounter);
  EXPECT_EQ(8u, unsignedCounter++);
  EXPECT_EQ(8u, --unsignedCounter);
  EXPECT_EQ(8u, unsignedCounter--);
  EXPECT_EQ(7u, static_cast<std::uint32_t>(unsignedCounter));
}

TEST(AtomicCounter, UnsignedWrapsAt32Bits) {
  CAtomicLong prefix(0u);
  EXPECT_EQ(4294967295u, --prefix);
  EXPECT_EQ(4294967295u, static_cast<std::uint32_t>(prefix));

  CAtomicLong postfix(0u);
  EXPECT_EQ(0u, postfix--);
  EXPECT_EQ(4294967295u, static_cast<std::uint32_t>(postfix));

  CAtomicLong top(4294967295u);
  EXPECT_EQ(0u, ++top);
  CAtomicLong topPostfix(4294967295u);
  EXPECT_EQ(4294967295u, topPostfix++);
  EXPECT_EQ(0u, static_cast<std::uint32_t>(topPostfix));
}

TEST(AtomicCounter, SignedWrapsAt32Bits) {
  CAtomicCounter prefix(2147483647);
  EXPECT_EQ(-2147483647 - 1, ++prefix);
  EXPECT_EQ(-2147483647 - 1, static_cast<int>(prefix));

  CAtomicCounter postfix(2147483647);
  EXPECT_EQ(2147483647, postfix++);
  EXPECT_EQ(-2147483647 - 1, static_cast<int>(postfix));

  CAtomicCounter bottom(-2147483647 - 1);
  EXPECT_EQ(2147483647, --bottom);
  CAtomicCounter bottomPostfix(-2147483647 - 1);
  EXPECT_EQ(-2147483647 - 1, bottomPostfix--);
  EXPECT_EQ(2147483647, static_cast<int>(bottomPostfix));

  CAtomicCounter minusOne(-1);
  EXPECT_EQ(0, ++minusOne);
}

TEST(AtomicCounter, AssignmentStoresTheValue) {
  CAtomicCounter counter;
  EXPECT_EQ(42, counter = 42);
  EXPECT_EQ(42, static_cast<int>(counter));
  CAtomicCounter other(-9);
  counter = other;
  EXPECT_EQ(-9, static_cast<int>(counter));
  EXPECT_EQ(-9, static_cast<int>(other));

  CAtomicLong unsignedCounter;
  EXPECT_EQ(4294967295u, unsignedCounter = 4294967295u);
  CAtomicLong copy(unsignedCounter);
  EXPECT_EQ(4294967295u, static_cast<std::uint32_t>(copy));
}

TEST(AtomicCounterConcurrency, InterlockedIncrementsAndDecrementsAreNotLost) {
  CAtomicCounter counter;
  CAtomicLong unsignedCounter;
  constexpr int kThreads = 4;
  constexpr int kSteps = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&counter, &unsignedCounter, t] {
      for (int i = 0; i < kSteps; ++i) {
        if (t % 2 == 0) {
          ++counter;
          unsignedCounter++;
        } else {
          counter++;
          --unsignedCounter;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(kThreads * kSteps, static_cast<int>(counter));
  EXPECT_EQ(0u, static_cast<std::uint32_t>(unsignedCounter));
}

TEST(RefCountable, NewObjectHasCountZeroAndSmartPtrsCountOnePerPointer) {
  int destroyed = 0;
  auto* object = new Tracked(&destroyed);
  EXPECT_EQ(0u, object->getRefCount());
  {
    SmartPtr<Tracked> first(object);
    EXPECT_EQ(1u, object->getRefCount());
    {
      SmartPtr<Tracked> second(first);
      EXPECT_EQ(2u, object->getRefCount());
      SmartPtr<Tracked> third;
      third = second;
      EXPECT_EQ(3u, object->getRefCount());
    }
    EXPECT_EQ(1u, object->getRefCount());
    EXPECT_EQ(0, destroyed);
  }
  EXPECT_EQ(1, destroyed);
}

TEST(RefCountable, ReleaseToZeroCallsFinalReleaseOnce) {
  FinalReleaseCounter object;
  object.addRef();
  object.addRef();
  EXPECT_EQ(2u, object.getRefCount());
  object.release();
  EXPECT_EQ(0, object.finalReleases.load());
  object.release();
  EXPECT_EQ(1, object.finalReleases.load());
  EXPECT_EQ(0u, object.getRefCount());
}

TEST(RefCountable, WeakCountDestroysAtZero) {
  int destroyed = 0;
  auto* object = new WeakTracked(&destroyed);
  EXPECT_EQ(0u, object->getRefCount());
  object->addRef();
  object->addRef();
  EXPECT_EQ(2u, object->getRefCount());
  object->release();
  EXPECT_EQ(0, destroyed);
  object->release();
  EXPECT_EQ(1, destroyed);
}

TEST(SmartPtr, SelfAssignmentKeepsTheCount) {
  int destroyed = 0;
  SmartPtr<Tracked> pointer(new Tracked(&destroyed));
  SmartPtr<Tracked>& alias = pointer;
  pointer = alias;
  EXPECT_EQ(1u, pointer->getRefCount());
  EXPECT_EQ(0, destroyed);

  SmartPtr<Tracked> same(pointer);
  pointer = same;
  EXPECT_EQ(2u, pointer->getRefCount());
  same = pointer;
  EXPECT_EQ(2u, pointer->getRefCount());

  pointer = pointer.get();
  EXPECT_EQ(2u, pointer->getRefCount());
  EXPECT_EQ(0, destroyed);
}

TEST(SmartPtr, AssignmentReleasesOldAfterAddingNew) {
  int destroyedA = 0;
  int destroyedB = 0;
  SmartPtr<Tracked> a(new Tracked(&destroyedA));
  SmartPtr<Tracked> b(new Tracked(&destroyedB));
  Tracked* bRaw = b.get();
  a = b;
  EXPECT_EQ(1, destroyedA);
  EXPECT_EQ(0, destroyedB);
  EXPECT_EQ(bRaw, a.get());
  EXPECT_EQ(2u, bRaw->getRefCount());
}

TEST(SmartPtr, ChildOutlivesParentWhileReferenced) {
  int destroyedChild = 0;
  int destroyedParent = 0;
  std::uint32_t childCountAtParentDeath = 0;
  SmartPtr<Parent> holder(new Parent(SmartPtr<Tracked>(new Tracked(&destroyedChild)),
                                     &childCountAtParentDeath, &destroyedParent));
  EXPECT_EQ(1u, holder->_child->getRefCount());
  SmartPtr<Tracked> child;
  child = holder->_child;
  EXPECT_EQ(2u, child->getRefCount());
  holder = SmartPtr<Parent>();
  EXPECT_EQ(1, destroyedParent);
  EXPECT_EQ(2u, childCountAtParentDeath);
  EXPECT_EQ(0, destroyedChild);
  EXPECT_EQ(1u, child->getRefCount());
  child = SmartPtr<Tracked>();
  EXPECT_EQ(1, destroyedChild);
}

// The last reference to a node is replaced by a reference to the node that
// it owns: the owned node must gain its count before the owner (and with it
// the owner's own reference, which is also the right-hand side) goes.
TEST(SmartPtr, AssigningTheOwnedChildOverTheLastParentReference) {
  // A self-referencing chain: a node whose member holds the next node.
  class Node : public CRefCountable {
   public:
    Node(int* destroyed, std::uint32_t* nextCountAtDeath)
        : _destroyed(destroyed), _nextCountAtDeath(nextCountAtDeath) {}
    ~Node() override {
      if (_next) {
        *_nextCountAtDeath = _next->getRefCount();
      }
      ++*_destroyed;
    }
    SmartPtr<Node> _next;

   private:
    int* _destroyed;
    std::uint32_t* _nextCountAtDeath;
  };

  int destroyed = 0;
  std::uint32_t nextCountAtDeath = 0;
  SmartPtr<Node> cursor(new Node(&destroyed, &nextCountAtDeath));
  cursor->_next = new Node(&destroyed, &nextCountAtDeath);
  Node* second = cursor->_next.get();
  // The right-hand side lives inside the object that the assignment frees.
  cursor = cursor->_next;
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(2u, nextCountAtDeath);
  EXPECT_EQ(second, cursor.get());
  EXPECT_EQ(1u, cursor->getRefCount());
  cursor = SmartPtr<Node>();
  EXPECT_EQ(2, destroyed);
}

TEST(SmartPtr, NullPointerCopiesAssignsAndDestroys) {
  SmartPtr<Tracked> empty;
  EXPECT_TRUE(empty.isNull());
  EXPECT_FALSE(static_cast<bool>(empty));
  EXPECT_EQ(nullptr, empty.get());
  SmartPtr<Tracked> copy(empty);
  EXPECT_TRUE(copy.isNull());
  SmartPtr<Tracked> fromRaw(static_cast<Tracked*>(nullptr));
  EXPECT_TRUE(fromRaw.isNull());
  copy = empty;
  EXPECT_TRUE(copy.isNull());

  int destroyed = 0;
  SmartPtr<Tracked> held(new Tracked(&destroyed));
  held = empty;
  EXPECT_EQ(1, destroyed);
  EXPECT_TRUE(held.isNull());

  SmartPtr<Tracked> fresh(new Tracked(&destroyed));
  fresh = static_cast<Tracked*>(nullptr);
  EXPECT_EQ(2, destroyed);
  EXPECT_TRUE(empty == nullptr);
}

TEST(SmartPtr, RawPointerAssignmentTakesACount) {
  int destroyed = 0;
  auto* object = new Tracked(&destroyed);
  SmartPtr<Tracked> pointer;
  pointer = object;
  EXPECT_EQ(1u, object->getRefCount());
  SmartPtr<Tracked> other(new Tracked(&destroyed));
  other = object;
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(2u, object->getRefCount());
}

TEST(SmartPtr, MoveAndResetKeepCountsExact) {
  int destroyed = 0;
  SmartPtr<Tracked> source(new Tracked(&destroyed));
  Tracked* raw = source.get();
  SmartPtr<Tracked> moved(std::move(source));
  EXPECT_EQ(1u, raw->getRefCount());
  EXPECT_EQ(raw, moved.get());

  SmartPtr<Tracked> target(new Tracked(&destroyed));
  target = std::move(moved);
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(1u, raw->getRefCount());

  SmartPtr<Tracked>& alias = target;
  target = std::move(alias);
  EXPECT_EQ(raw, target.get());
  EXPECT_EQ(1u, raw->getRefCount());

  target.reset();
  EXPECT_EQ(2, destroyed);
  EXPECT_TRUE(target.isNull());
  target.reset();
  EXPECT_EQ(2, destroyed);
}

TEST(SmartPtr, ConvertsToPointerOfBaseClass) {
  int destroyed = 0;
  SmartPtr<TrackedChild> child(new TrackedChild(&destroyed));
  SmartPtr<Tracked> base(child);
  EXPECT_EQ(2u, child->getRefCount());
  EXPECT_TRUE(base == child);
  child = SmartPtr<TrackedChild>();
  EXPECT_EQ(0, destroyed);
  base = SmartPtr<Tracked>();
  EXPECT_EQ(1, destroyed);
}

TEST(SmartPtr, AccessOperatorsReachTheObject) {
  int destroyed = 0;
  SmartPtr<Tracked> pointer(new Tracked(&destroyed));
  Tracked& ref = *pointer;
  EXPECT_EQ(&ref, pointer.get());
  EXPECT_EQ(1u, pointer->getRefCount());
}

TEST(SmartPtrConcurrency, CopiesInManyThreadsDestroyExactlyOnce) {
  for (int round = 0; round < 20; ++round) {
    auto* object = new FinalReleaseCounter;
    std::vector<std::thread> threads;
    {
      SmartPtr<FinalReleaseCounter> shared(object);
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
          for (int i = 0; i < 2000; ++i) {
            SmartPtr<FinalReleaseCounter> copy(shared);
            SmartPtr<FinalReleaseCounter> another;
            another = copy;
          }
        });
      }
    }
    for (auto& thread : threads) {
      thread.join();
    }
    EXPECT_EQ(1, object->finalReleases.load());
    EXPECT_EQ(0u, object->getRefCount());
    delete object;
  }
}

TEST(SmartPtrConcurrency, LastReleaseRacesDeleteOnce) {
  for (int round = 0; round < 50; ++round) {
    int destroyed = 0;
    std::vector<SmartPtr<Tracked>> pointers(4);
    pointers[0] = new Tracked(&destroyed);
    for (std::size_t i = 1; i < pointers.size(); ++i) {
      pointers[i] = pointers[0];
    }
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < pointers.size(); ++i) {
      threads.emplace_back([&pointers, &go, i] {
        while (!go.load()) {
          std::this_thread::yield();
        }
        pointers[i].reset();
      });
    }
    go = true;
    for (auto& thread : threads) {
      thread.join();
    }
    EXPECT_EQ(1, destroyed);
  }
}
