#ifndef QEL_SRC_OS_BACKGROUNDWRITER_H_
#define QEL_SRC_OS_BACKGROUNDWRITER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace qel {
namespace platform {

// Writes the gathered pieces of a large file on a thread of its own, so
// that the caller makes the next piece while the system copies the last
// one into the file.  The thread takes no signals: a write beyond the size
// limit fails with EFBIG instead of ending the process.
class BackgroundWriter {
 public:
  // Starts the thread that writes to fd; throws std::system_error when no
  // thread can be started.
  explicit BackgroundWriter(int fd);
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Takes the bytes of piece once the piece before is being written, and
  // gives back an empty array in its place.  Returns the first failure of a
  // write so far (kHostOk when none); after one, what is handed is dropped.
  std::uint32_t hand(std::vector<unsigned char>& piece);
  // Waits until every piece handed is written and ends the thread; the
  // first failure of a write.
  std::uint32_t finish();

 private:
  void run();

  const int _fd;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<unsigned char> _queued;  // handed, not yet taken by the thread
  bool _bQueued = false;
  bool _bStop = false;
  std::uint32_t _nFailure = 0;
  std::thread _thread;
};

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_BACKGROUNDWRITER_H_
