#include "os/BackgroundWriter.h"

#include <pthread.h>
#include <signal.h>

#include <utility>

#include "os/HostFile.h"

namespace qel {
namespace platform {

namespace {

// Blocks every signal in the calling thread while it lives: a thread
// started meanwhile inherits the mask from its first instruction on.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    _bBlocked = ::pthread_sigmask(SIG_BLOCK, &all, &_previous) == 0;
  }
  ~AllSignalsBlocked() {
    if (_bBlocked) {
      (void)::pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
    }
  }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t _previous;
  bool _bBlocked = false;
};

}  // namespace

BackgroundWriter::BackgroundWriter(int fd) : _fd(fd) {
  const AllSignalsBlocked blocked;
  _thread = std::thread([this] { run(); });
}

BackgroundWriter::~BackgroundWriter() {
  (void)finish();
}

std::uint32_t BackgroundWriter::hand(std::vector<unsigned char>& piece) {
  std::unique_lock<std::mutex> lock(_mutex);
  _changed.wait(lock, [this] { return !_bQueued; });
  if (_nFailure != kHostOk) {
    piece.clear();
    return _nFailure;
  }
  _queued.swap(piece);
  piece.clear();
  _bQueued = true;
  lock.unlock();
  _changed.notify_all();
  return kHostOk;
}

std::uint32_t BackgroundWriter::finish() {
  if (_thread.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(_mutex);
      _bStop = true;
    }
    _changed.notify_all();
    _thread.join();
  }
  return _nFailure;
}

void BackgroundWriter::run() {
  std::vector<unsigned char> writing;
  std::size_t notStarted = 0;
  std::unique_lock<std::mutex> lock(_mutex);
  for (;;) {
    _changed.wait(lock, [this] { return _bQueued || _bStop; });
    if (!_bQueued) {
      return;
    }
    // The emptied array goes back for the caller's next piece.
    writing.swap(_queued);
    _queued.clear();
    _bQueued = false;
    const bool failed = _nFailure != kHostOk;
    lock.unlock();
    _changed.notify_all();
    const std::uint32_t code =
        failed ? kHostOk : hostWriteDurablePiece(_fd, writing.data(), writing.size(), &notStarted);
    lock.lock();
    if (!failed && code != kHostOk) {
      _nFailure = code;
    }
  }
}

}  // namespace platform
}  // namespace qel
