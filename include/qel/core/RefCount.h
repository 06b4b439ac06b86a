#ifndef QEL_CORE_REFCOUNT_H_
#define QEL_CORE_REFCOUNT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

#include "qel/core/Export.h"

namespace qel {

// A counter word whose increments and decrements are sequentially consistent
// read-modify-write operations.  Plain stores and reads are not interlocked.
// Arithmetic wraps at 32 bits.
template <typename V>
class CAtomicValue {
 public:
  CAtomicValue() : _value(0) {}
  // Implicit, as are the conversions back to V: the value stands where a V does.
  CAtomicValue(V value) : _value(value) {}
  CAtomicValue(const CAtomicValue& other) : _value(other._value.load(std::memory_order_relaxed)) {}

  CAtomicValue& operator=(const CAtomicValue& other) {
    _value.store(other._value.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
  }
  V operator=(V value) {
    _value.store(value, std::memory_order_relaxed);
    return value;
  }

  V operator++() { return wrapAdd(_value.fetch_add(1), 1u); }
  V operator++(int) { return _value.fetch_add(1); }
  V operator--() { return wrapAdd(_value.fetch_sub(1), ~Unsigned(0)); }
  V operator--(int) { return _value.fetch_sub(1); }

  operator V() const { return _value.load(std::memory_order_relaxed); }

  // Interlocked increment that refuses a value of 0; true when it counted.
  bool incrementUnlessZero() {
    V current = _value.load();
    while (current != 0) {
      if (_value.compare_exchange_weak(current, static_cast<V>(current + 1))) {
        return true;
      }
    }
    return false;
  }

 private:
  using Unsigned = std::make_unsigned_t<V>;

  // The value that the interlocked step produced, computed without signed
  // overflow: the atomic operation wraps, so must its result.
  static V wrapAdd(V value, Unsigned delta) {
    return static_cast<V>(static_cast<Unsigned>(static_cast<Unsigned>(value) + delta));
  }

  std::atomic<V> _value;
};

// Signed 32-bit interlocked counter.  The increment of 2147483647 wraps to
// -2147483648 (the atomic operations are defined to wrap).
class CAtomicCounter : public CAtomicValue<std::int32_t> {
 public:
  using CAtomicValue<std::int32_t>::CAtomicValue;
  using CAtomicValue<std::int32_t>::operator=;
};

// Unsigned 32-bit interlocked counter: 0 decremented is 4294967295.
class CAtomicLong : public CAtomicValue<std::uint32_t> {
 public:
  using CAtomicValue<std::uint32_t>::CAtomicValue;
  using CAtomicValue<std::uint32_t>::operator=;
};

inline bool incrementUnlessZero(CAtomicCounter& counter) {
  return counter.incrementUnlessZero();
}
inline bool incrementUnlessZero(std::uint32_t& counter) {
  if (counter == 0) {
    return false;
  }
  ++counter;
  return true;
}

class QEL_API CNonCopyable {
 protected:
  CNonCopyable() = default;
  virtual ~CNonCopyable() = default;

 public:
  CNonCopyable(const CNonCopyable&) = delete;
  CNonCopyable& operator=(const CNonCopyable&) = delete;
};

// Intrusive reference count.  An object starts with count 0 and belongs to
// nobody until a SmartPtr takes it; the release that brings the count to 0
// destroys it through onFinalRelease.
template <typename K>
class QEL_API CRefCountableBase : public CNonCopyable {
 public:
  CRefCountableBase() : _nRefCount(0) {}
  ~CRefCountableBase() override = default;

  void addRef() { ++_nRefCount; }

  void release() {
    // The value returned by the decrement decides, so exactly one caller of
    // an interlocked count sees 0.
    if (--_nRefCount == 0) {
      onFinalRelease();
    }
  }

  // Adds a reference unless the count has already fallen to 0, that is
  // unless the object is being destroyed.
  bool tryAddRef() { return incrementUnlessZero(_nRefCount); }

  std::uint32_t getRefCount() const { return static_cast<std::uint32_t>(_nRefCount); }

 protected:
  virtual void onFinalRelease() { delete this; }

 private:
  K _nRefCount;
};

// Shared objects of the library; the count is changed with interlocked
// operations, so they may be shared between threads.
class QEL_API CRefCountable : public CRefCountableBase<CAtomicCounter> {
 public:
  CRefCountable() = default;
  ~CRefCountable() override;
};

// The count is a plain word: objects may be shared within one thread only.
class QEL_API CWeakRefCountable : public CRefCountableBase<std::uint32_t> {
 public:
  CWeakRefCountable() = default;
  ~CWeakRefCountable() override;
};

// Intrusive pointer: every non-null SmartPtr holds exactly one count of its
// object.  Assignment adds the new reference before it releases the old one,
// so assigning a pointer to the object it already (indirectly) keeps alive is
// safe.  One SmartPtr object must not be assigned from two threads at once.
template <typename T>
class SmartPtr {
 public:
  SmartPtr() noexcept : _p(nullptr) {}
  // Implicit, like a raw pointer's conversions: a T* or null is passed where
  // a SmartPtr is taken.
  SmartPtr(std::nullptr_t) noexcept : _p(nullptr) {}
  SmartPtr(T* p) : _p(p) {
    if (_p != nullptr) {
      _p->addRef();
    }
  }
  SmartPtr(const SmartPtr& other) : SmartPtr(other._p) {}
  template <typename U, typename = std::enable_if_t<std::is_convertible<U*, T*>::value>>
  SmartPtr(const SmartPtr<U>& other) : SmartPtr(other.get()) {}
  SmartPtr(SmartPtr&& other) noexcept : _p(other._p) { other._p = nullptr; }

  ~SmartPtr() { reset(); }

  SmartPtr& operator=(const SmartPtr& other) { return this == &other ? *this : assign(other._p); }
  SmartPtr& operator=(T* p) { return assign(p); }
  SmartPtr& operator=(SmartPtr&& other) noexcept {
    if (this != &other) {
      T* old = _p;
      _p = other._p;
      other._p = nullptr;
      if (old != nullptr) {
        old->release();
      }
    }
    return *this;
  }

  // Drops this pointer's reference and leaves it null.
  // The analyzer does not follow the atomic count and takes every release
  // for the last one, so it reports a use after free here.
  // NOLINTBEGIN(clang-analyzer-cplusplus.NewDelete)
  void reset() {
    T* old = _p;
    _p = nullptr;
    if (old != nullptr) {
      old->release();
    }
  }

  T* get() const noexcept { return _p; }
  T* operator->() const noexcept { return _p; }
  T& operator*() const noexcept { return *_p; }
  // NOLINTEND(clang-analyzer-cplusplus.NewDelete)
  explicit operator bool() const noexcept { return _p != nullptr; }
  bool isNull() const noexcept { return _p == nullptr; }

  void swap(SmartPtr& other) noexcept { std::swap(_p, other._p); }

 private:
  SmartPtr& assign(T* p) {
    if (p != _p) {
      T* old = _p;
      _p = p;
      if (_p != nullptr) {
        _p->addRef();
      }
      if (old != nullptr) {
        old->release();
      }
    }
    return *this;
  }

  T* _p;
};

template <typename T, typename U>
bool operator==(const SmartPtr<T>& a, const SmartPtr<U>& b) noexcept {
  return a.get() == b.get();
}
template <typename T, typename U>
bool operator!=(const SmartPtr<T>& a, const SmartPtr<U>& b) noexcept {
  return a.get() != b.get();
}
template <typename T>
bool operator==(const SmartPtr<T>& a, std::nullptr_t) noexcept {
  return a.get() == nullptr;
}
template <typename T>
bool operator!=(const SmartPtr<T>& a, std::nullptr_t) noexcept {
  return a.get() != nullptr;
}
template <typename T>
bool operator<(const SmartPtr<T>& a, const SmartPtr<T>& b) noexcept {
  return std::less<T*>()(a.get(), b.get());
}

}  // namespace qel

#endif  // QEL_CORE_REFCOUNT_H_
