#ifndef QEL_IO_STREAM_H_
#define QEL_IO_STREAM_H_

#include <cstdint>

#include "qel/core/Exception.h"
#include "qel/core/Export.h"
#include "qel/platform/ConsoleLogger.h"

// A byte source.  Streams are destroyed through their concrete type, so the
// destructor is protected and not virtual.  The status word belongs to the
// caller: setting its bits 0x01 and 0x20 cancels a running skip.
class QEL_API IInputStream {
 public:
  virtual std::uint32_t available() = 0;
  virtual void close() = 0;
  virtual void mark(unsigned int readLimit) = 0;
  virtual bool markSupported() const = 0;
  virtual unsigned int read(unsigned char* buffer, unsigned int size,
                            std::uint32_t* statusFlags) = 0;
  // One byte as 0 to 255, or -1 at the end of the stream.
  virtual int read(std::uint32_t* statusFlags) = 0;
  virtual unsigned int reset() = 0;
  virtual unsigned int skip(unsigned int count, std::uint32_t* statusFlags) = 0;

 protected:
  IInputStream() = default;
  IInputStream(const IInputStream&) = default;
  IInputStream& operator=(const IInputStream&) = default;
  ~IInputStream() = default;
};

// A byte sink.
class QEL_API IOutputStream {
 public:
  virtual void close() = 0;
  virtual void flush() = 0;
  virtual unsigned int write(const unsigned char* buffer, unsigned int size) = 0;
  virtual unsigned int write(unsigned char value) = 0;

 protected:
  IOutputStream() = default;
  IOutputStream(const IOutputStream&) = default;
  IOutputStream& operator=(const IOutputStream&) = default;
  ~IOutputStream() = default;
};

namespace qel {

// Implements every operation of IInputStream through hooks of T (onRead,
// onAvailable, onClose, onMark, onMarkSupported, onReset, onSkip).  T must
// supply onRead; it hides any default hook it wants to change.
template <typename T, typename Interface = IInputStream>
class CInputStreamImpl : public Interface {
 public:
  // The size of the stack chunk that skip reads through.
  static constexpr unsigned int kSkipChunk = 1024;
  // Both bits set in the status word cancel a skip.
  static constexpr std::uint32_t kCancelBits = 0x21;

  std::uint32_t available() override { return self()->onAvailable(); }
  void close() override { self()->onClose(); }
  void mark(unsigned int readLimit) override { self()->onMark(readLimit); }
  bool markSupported() const override { return static_cast<const T*>(this)->onMarkSupported(); }
  unsigned int read(unsigned char* buffer, unsigned int size, std::uint32_t* statusFlags) override {
    return self()->onRead(buffer, size, statusFlags);
  }
  int read(std::uint32_t* statusFlags) override {
    unsigned char byte = 0;
    return self()->onRead(&byte, 1, statusFlags) == 0 ? -1 : static_cast<int>(byte);
  }
  unsigned int reset() override { return self()->onReset(); }
  unsigned int skip(unsigned int count, std::uint32_t* statusFlags) override {
    return self()->onSkip(count, statusFlags);
  }

  std::uint32_t onAvailable() { return 0; }
  void onClose() {}
  void onMark(unsigned int /*readLimit*/) { throw IOException(L"mark operation is not supported"); }
  bool onMarkSupported() const { return false; }
  unsigned int onReset() { throw IOException(L"reset operation is not supported"); }

  // Reads and drops count bytes in chunks of at most 1,024 through the
  // virtual read, examining the status word after each chunk.  Returns count
  // when done, 0 when cancelled, and the number of bytes dropped when the
  // stream ends first.
  unsigned int onSkip(unsigned int count, std::uint32_t* statusFlags) {
    if (count == 0) {
      return 0;
    }
    unsigned char chunk[kSkipChunk];
    unsigned int remaining = count;
    while (true) {
      const unsigned int wanted = remaining < kSkipChunk ? remaining : kSkipChunk;
      const unsigned int got = this->read(chunk, wanted, statusFlags);
      remaining -= got < wanted ? got : wanted;
      const std::uint32_t status = *statusFlags;
      if (status != 0 && (status & kCancelBits) == kCancelBits) {
        if (DISPLAY_LOGS) {
          ConsoleLogger::LogMessage(
              LOG_INFO,
              "[InputStreamImpl::onSkip]!!!!!!!!!!!!!!!!!!!!!!!!Cancel operation detected\n");
        }
        return 0;
      }
      if (remaining == 0) {
        return count;
      }
      if (got == 0) {
        return count - remaining;
      }
    }
  }

 protected:
  CInputStreamImpl() = default;
  CInputStreamImpl(const CInputStreamImpl&) = default;
  CInputStreamImpl& operator=(const CInputStreamImpl&) = default;
  ~CInputStreamImpl() = default;

 private:
  T* self() { return static_cast<T*>(this); }
};

// Implements every operation of IOutputStream through hooks of T (onWrite,
// onClose, onFlush).  T must supply onWrite.
template <typename T, typename Interface = IOutputStream>
class COutputStreamImpl : public Interface {
 public:
  void close() override { self()->onClose(); }
  void flush() override { self()->onFlush(); }
  unsigned int write(const unsigned char* buffer, unsigned int size) override {
    return self()->onWrite(buffer, size);
  }
  unsigned int write(unsigned char value) override { return self()->onWrite(&value, 1); }

  void onClose() {}
  void onFlush() {}

 protected:
  COutputStreamImpl() = default;
  COutputStreamImpl(const COutputStreamImpl&) = default;
  COutputStreamImpl& operator=(const COutputStreamImpl&) = default;
  ~COutputStreamImpl() = default;

 private:
  T* self() { return static_cast<T*>(this); }
};

}  // namespace qel

#endif  // QEL_IO_STREAM_H_
