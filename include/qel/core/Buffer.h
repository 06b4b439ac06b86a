#ifndef QEL_CORE_BUFFER_H_
#define QEL_CORE_BUFFER_H_

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "qel/core/Export.h"

namespace qel {

// Growable array of trivially copyable T with room for N elements inside the
// object and a heap array (new[] / delete[]) beyond that.  Not copyable: the
// storage pointer may point into the object itself.
template <typename T, std::uint32_t N>
class QEL_API Buffer {
 public:
  Buffer() : _pData(_aInline), _nCount(0), _nCapacity(N) {
    std::memset(_aInline, 0, sizeof(_aInline));
  }
  virtual ~Buffer() { freeHeap(); }

  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // Makes room for n elements.  A new heap array keeps the elements in use,
  // or is zero-filled when there are none.  Never shrinks.
  void reserve(std::uint32_t n) {
    if (n <= _nCapacity) {
      return;
    }
    T* fresh = new T[n];
    if (_nCount != 0) {
      std::memcpy(fresh, _pData, _nCount * sizeof(T));
    } else {
      std::memset(fresh, 0, n * sizeof(T));
    }
    freeHeap();
    _pData = fresh;
    _nCapacity = n;
  }

  // Appends n elements; when the free room is short the capacity becomes
  // (count + n) * 1.5, at least 32.
  void append(const T* source, std::uint32_t n) {
    if (_nCapacity - _nCount < n) {
      grow(n);
    }
    if (n != 0) {
      std::memcpy(_pData + _nCount, source, n * sizeof(T));
    }
    _nCount += n;
  }

  void append(T value) { append(&value, 1); }

  // Forgets the elements in use and keeps the storage.
  void clear() { _nCount = 0; }

  // Drops the first n elements in use (all of them when n exceeds the count).
  void consume(std::uint32_t n) {
    if (n >= _nCount) {
      _nCount = 0;
      return;
    }
    std::memmove(_pData, _pData + n, (_nCount - n) * sizeof(T));
    _nCount -= n;
  }

  T* data() { return _pData; }
  const T* data() const { return _pData; }
  std::uint32_t size() const { return _nCount; }
  std::uint32_t capacity() const { return _nCapacity; }
  bool isInline() const { return _pData == _aInline; }
  T& operator[](std::uint32_t i) { return _pData[i]; }
  const T& operator[](std::uint32_t i) const { return _pData[i]; }

 private:
  void grow(std::uint32_t n) {
    const std::uint64_t needed = static_cast<std::uint64_t>(_nCount) + n;
    std::uint64_t capacity = needed + needed / 2;
    if (capacity < 32) {
      capacity = 32;
    }
    if (capacity > std::numeric_limits<std::uint32_t>::max()) {
      if (needed > std::numeric_limits<std::uint32_t>::max()) {
        throw std::bad_alloc();
      }
      capacity = std::numeric_limits<std::uint32_t>::max();
    }
    T* fresh = new T[capacity];
    if (_nCount != 0) {
      std::memcpy(fresh, _pData, _nCount * sizeof(T));
    }
    freeHeap();
    _pData = fresh;
    _nCapacity = static_cast<std::uint32_t>(capacity);
  }

  void freeHeap() {
    if (_pData != _aInline) {
      delete[] _pData;
      _pData = _aInline;
    }
  }

  T* _pData;
  T _aInline[N];
  std::uint32_t _nCount;
  std::uint32_t _nCapacity;
};

}  // namespace qel

#endif  // QEL_CORE_BUFFER_H_
