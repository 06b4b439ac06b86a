#include "qel/io/BufOutputStream.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "qel/platform/ConsoleLogger.h"

namespace qel {

namespace {

unsigned char* reallocate(unsigned char* block, std::uint64_t size) {
  if (size > std::numeric_limits<unsigned int>::max()) {
    throw std::bad_alloc();
  }
  // realloc of 0 bytes may free the block; keep at least one byte.
  void* grown = std::realloc(block, size == 0 ? 1 : static_cast<std::size_t>(size));
  if (grown == nullptr) {
    throw std::bad_alloc();
  }
  return static_cast<unsigned char*>(grown);
}

}  // namespace

CBufOutputStream::~CBufOutputStream() {
  if (DISPLAY_LOGS) {
    ConsoleLogger::LogMessage(LOG_DEBUG, "Destroying CBufOutputStream\n");
  }
  std::free(_pBuffer);
}

void CBufOutputStream::setSize(unsigned int size) {
  if (_pBuffer == nullptr || size > _nGrowthStep) {
    unsigned char* fresh = reallocate(nullptr, size);
    std::free(_pBuffer);
    _pBuffer = fresh;
    _nGrowthStep = size;
  }
  _nCapacity = size;
  _nUsedBytes = 0;
  std::memset(_pBuffer, 0, _nGrowthStep);
}

unsigned int CBufOutputStream::onWrite(const unsigned char* source, unsigned int size) {
  if (_pBuffer == nullptr) {
    // No block (never set, or handed to a caller): start a new one.
    _nUsedBytes = 0;
    _nCapacity = 0;
  }
  if (_nCapacity - _nUsedBytes < size || _pBuffer == nullptr) {
    const std::uint64_t shortfall = static_cast<std::uint64_t>(_nUsedBytes) + size - _nCapacity;
    const std::uint64_t growth =
        _nGrowthStep == 0 ? shortfall : _nGrowthStep * (shortfall / _nGrowthStep + 1);
    _pBuffer = reallocate(_pBuffer, _nCapacity + growth);
    _nCapacity = static_cast<unsigned int>(_nCapacity + growth);
  }
  if (size != 0) {
    std::memcpy(_pBuffer + _nUsedBytes, source, size);
  }
  _nUsedBytes += size;
  return size;
}

unsigned char* CBufOutputStream::getDataAndResetBuf() {
  unsigned char* block = _pBuffer;
  _pBuffer = nullptr;
  return block;
}

}  // namespace qel
