#ifndef QEL_IO_BUFOUTPUTSTREAM_H_
#define QEL_IO_BUFOUTPUTSTREAM_H_

#include <cstdint>

#include "qel/core/Export.h"
#include "qel/io/Stream.h"

namespace qel {

// Collects written bytes in one heap block that grows by whole multiples of
// the step set with setSize.  The block is allocated with std::malloc and
// grown with std::realloc; a caller that takes it with getDataAndResetBuf
// releases it with std::free.  Allocation failure throws std::bad_alloc.
// A stream owns its block alone, so it cannot be copied.
class QEL_API CBufOutputStream : public COutputStreamImpl<CBufOutputStream, IOutputStream> {
 public:
  CBufOutputStream() = default;
  ~CBufOutputStream();
  CBufOutputStream(const CBufOutputStream&) = delete;
  CBufOutputStream& operator=(const CBufOutputStream&) = delete;

  // Empties the stream and makes size the capacity.  A block at least as
  // large as the step is kept (with its step); otherwise a new block of size
  // bytes is made and size becomes the step.  The first step bytes are
  // zeroed.
  void setSize(unsigned int size);

  // Appends, growing the capacity by the smallest multiple of the step that
  // exceeds the shortfall; without a step the block grows to fit exactly.
  // A write after getDataAndResetBuf without setSize starts a new block.
  unsigned int onWrite(const unsigned char* source, unsigned int size);

  const unsigned char* data() const { return _pBuffer; }
  unsigned int used() const { return _nUsedBytes; }
  unsigned int capacity() const { return _nCapacity; }

  // Hands the block to the caller (release it with std::free); the counts
  // keep their values.
  unsigned char* getDataAndResetBuf();

 private:
  unsigned char* _pBuffer = nullptr;
  unsigned int _nUsedBytes = 0;
  unsigned int _nCapacity = 0;
  unsigned int _nGrowthStep = 0;
};

}  // namespace qel

#endif  // QEL_IO_BUFOUTPUTSTREAM_H_
