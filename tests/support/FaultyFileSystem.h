#ifndef QEL_TESTS_SUPPORT_FAULTYFILESYSTEM_H_
#define QEL_TESTS_SUPPORT_FAULTYFILESYSTEM_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "qel/core/Exception.h"
#include "qel/io/PosixFileSystem.h"
#include "support/FileSystemScope.h"

namespace qel_test {

// The disk operations that a fault can be injected into.
enum class FileCall : int {
  kOpen = 0,
  kRead,
  kWrite,
  kClose,
  kCreateDirectory,
  kRename,
  kOpenReplacement,
  kCommitReplacement,
  kLock
};
constexpr int kFileCallKinds = 9;

inline const char* fileCallName(FileCall call) {
  static const char* const kNames[kFileCallKinds] = {
      "openFile", "readFile",        "writeFile",         "closeFile", "createDirectory",
      "rename",   "openReplacement", "commitReplacement", "lockFile"};
  return kNames[static_cast<int>(call)];
}

// What an armed call does instead of its normal work: throw what the host
// layer throws for the host error given at arming, or transfer about half of
// what was asked (reads and writes of more than one byte only).
enum class Fault { kFail, kShort };

// The native file system with faults on demand.  Every call of the kinds
// above is counted since the last reset(), so a test can first measure how
// many calls an operation makes and then fail each one in turn.  The plan is
// process-wide: the file system is made by a factory, which takes no
// arguments.
class FaultyFileSystem : public qel::CPosixFileSystem {
 public:
  // From the from-th call of the kind on (sticky) or at that call only.
  struct Arm {
    bool armed = false;
    unsigned from = 0;
    bool sticky = false;
    Fault fault = Fault::kFail;
    std::uint32_t hostError = 0;
  };

  struct Plan {
    std::array<unsigned, kFileCallKinds> counts{};
    std::array<Arm, kFileCallKinds> arms{};
    unsigned fired = 0;
    // Bytes the disk still takes; negative for no limit.  A write that does
    // not fit writes what fits; with no room left it fails with the
    // disk-full error, as a POSIX write does.
    long long room = -1;
    // Runs at each commitReplacement before it commits: the new file is
    // complete and not yet in place.
    std::function<void()> beforeCommit;
  };

  static Plan& plan() {
    static Plan state;
    return state;
  }
  // Disarms, clears the counts and lifts the disk limit.
  static void reset() { plan() = Plan(); }

  // Makes the n-th call of the kind from now on (1 is the next one) fail;
  // each kind has its own arming.  A host error of 0 picks a realistic one.
  static void arm(FileCall call, unsigned n, Fault fault = Fault::kFail,
                  std::uint32_t hostError = 0, bool sticky = false) {
    Arm& a = plan().arms[static_cast<int>(call)];
    a = Arm{true, plan().counts[static_cast<int>(call)] + n, sticky, fault,
            hostError != 0 ? hostError : defaultError(call)};
  }
  static void setRoom(long long bytes) { plan().room = bytes; }
  static unsigned calls(FileCall call) { return plan().counts[static_cast<int>(call)]; }
  static unsigned fired() { return plan().fired; }

  // The host error numbers (the Windows numbering of the host layer).
  static constexpr std::uint32_t kFileNotFound = 2;
  static constexpr std::uint32_t kTooManyOpenFiles = 4;
  static constexpr std::uint32_t kAccessDenied = 5;
  static constexpr std::uint32_t kLockViolation = 33;
  static constexpr std::uint32_t kDiskFull = 112;
  static constexpr std::uint32_t kIoDevice = 1117;

  static std::uint32_t defaultError(FileCall call) {
    static const std::uint32_t kErrors[kFileCallKinds] = {
        kTooManyOpenFiles, kIoDevice,     kDiskFull, kIoDevice,     kAccessDenied,
        kAccessDenied,     kAccessDenied, kIoDevice, kLockViolation};
    return kErrors[static_cast<int>(call)];
  }

  // The message of a failed call of a file replacement or a lock: the
  // target's path and the reason of the host error armed by default.
  static std::wstring replacementMessageFor(FileCall call, const std::wstring& path) {
    switch (defaultError(call)) {
      case kAccessDenied:
        return path + L": Permission denied";
      case kLockViolation:
        return path + L": locked by another process";
      case kDiskFull:
        return path + L": No space left on device";
      default:
        return path + L": Input/output error";
    }
  }

  // The message of the exception that a failed call carries: the reason for
  // a replacement or a lock, the path for the other calls that take one,
  // else the operation's label.
  static std::wstring messageFor(FileCall call, const std::wstring& path) {
    switch (call) {
      case FileCall::kOpenReplacement:
      case FileCall::kCommitReplacement:
      case FileCall::kLock:
        return replacementMessageFor(call, path);
      case FileCall::kRead:
      case FileCall::kWrite:
      case FileCall::kClose:
      case FileCall::kRename: {
        const std::string name = fileCallName(call);
        return L"CPosixFileSystem::" + std::wstring(name.begin(), name.end());
      }
      default:
        return path;
    }
  }

  static qel::CFileSystem* create() { return new FaultyFileSystem(); }

  qel::SmartPtr<qel::CFileDescriptor> openFile(const std::wstring& path, int access,
                                               CreationFlag creation, int attributes) override {
    if (hit(FileCall::kOpen) == Action::kFail) {
      // As on the host, a file that is not there opens as nothing.
      if (creation == CF_OPEN_EXISTING && errorOf(FileCall::kOpen) == kFileNotFound) {
        return qel::SmartPtr<qel::CFileDescriptor>();
      }
      ThrowException(errorOf(FileCall::kOpen), path);
    }
    return CPosixFileSystem::openFile(path, access, creation, attributes);
  }

  std::uint32_t readFile(qel::CFileDescriptor* descriptor, unsigned char* buffer,
                         std::uint32_t size) const override {
    const Action action = hit(FileCall::kRead);
    if (action == Action::kFail) {
      throwFileFailure(descriptor, errorOf(FileCall::kRead), L"readFile");
    }
    return CPosixFileSystem::readFile(descriptor, buffer, shortened(action, size));
  }

  std::uint32_t writeFile(qel::CFileDescriptor* descriptor, const unsigned char* buffer,
                          std::uint32_t size) const override {
    const Action action = hit(FileCall::kWrite);
    if (action == Action::kFail) {
      throwFileFailure(descriptor, errorOf(FileCall::kWrite), L"writeFile");
    }
    size = shortened(action, size);
    Plan& p = plan();
    if (p.room >= 0 && size != 0) {
      if (p.room == 0) {
        throwFileFailure(descriptor, kDiskFull, L"writeFile");
      }
      size = static_cast<std::uint32_t>(std::min<long long>(size, p.room));
    }
    const std::uint32_t written = CPosixFileSystem::writeFile(descriptor, buffer, size);
    if (p.room >= 0) {
      p.room -= written;
    }
    return written;
  }

  void closeFile(qel::CFileDescriptor* descriptor) const override {
    const Action action = hit(FileCall::kClose);
    // A failing close still releases the handle, as the host's close does.
    CPosixFileSystem::closeFile(descriptor);
    if (action == Action::kFail) {
      throwFileFailure(descriptor, errorOf(FileCall::kClose), L"closeFile");
    }
  }

  qel::SmartPtr<qel::CFileDescriptor> openReplacement(const std::wstring& path,
                                                      int flags) override {
    if (hit(FileCall::kOpenReplacement) == Action::kFail) {
      ThrowFailure(errorOf(FileCall::kOpenReplacement), path);
    }
    return CPosixFileSystem::openReplacement(path, flags);
  }

  void commitReplacement(qel::CFileDescriptor* descriptor) override {
    if (plan().beforeCommit) {
      plan().beforeCommit();
    }
    if (hit(FileCall::kCommitReplacement) == Action::kFail) {
      throwFileFailure(descriptor, errorOf(FileCall::kCommitReplacement), L"commitReplacement");
    }
    CPosixFileSystem::commitReplacement(descriptor);
  }

  qel::SmartPtr<qel::CFileDescriptor> lockFile(const std::wstring& path,
                                               std::uint32_t waitMilliseconds) override {
    if (hit(FileCall::kLock) == Action::kFail) {
      ThrowFailure(errorOf(FileCall::kLock), path);
    }
    return CPosixFileSystem::lockFile(path, waitMilliseconds);
  }

  void createDirectory(const std::wstring& path) const override {
    if (hit(FileCall::kCreateDirectory) == Action::kFail) {
      ThrowException(errorOf(FileCall::kCreateDirectory), path);
    }
    CPosixFileSystem::createDirectory(path);
  }

  void rename(const std::wstring& from, const std::wstring& to) const override {
    if (hit(FileCall::kRename) == Action::kFail) {
      ThrowException(errorOf(FileCall::kRename), std::wstring(className()) + L"::rename");
    }
    CPosixFileSystem::rename(from, to);
  }

 private:
  enum class Action { kNormal, kShort, kFail };

  // Counts the call and tells what it does.
  static Action hit(FileCall call) {
    Plan& p = plan();
    const unsigned index = ++p.counts[static_cast<int>(call)];
    const Arm& a = p.arms[static_cast<int>(call)];
    if (!a.armed || index < a.from || (!a.sticky && index != a.from)) {
      return Action::kNormal;
    }
    ++p.fired;
    return a.fault == Fault::kShort ? Action::kShort : Action::kFail;
  }
  static std::uint32_t shortened(Action action, std::uint32_t size) {
    return action == Action::kShort && size > 1 ? size / 2 : size;
  }
  static std::uint32_t errorOf(FileCall call) {
    return plan().arms[static_cast<int>(call)].hostError;
  }
};

// Installs the faulty file system as the shared one, with a fresh plan, for
// the lifetime of the scope.
class FaultScope {
 public:
  FaultScope() : _scope(&FaultyFileSystem::create) { FaultyFileSystem::reset(); }
  ~FaultScope() { FaultyFileSystem::reset(); }
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;

 private:
  FileSystemScope _scope;
};

// What an operation threw: the library's exception type name and message,
// or nothing.
struct Failure {
  bool thrown = false;
  std::wstring type;
  std::wstring message;
};

template <typename Operation>
Failure failureOf(Operation&& operation) {
  try {
    operation();
  } catch (const qel::CException& e) {
    return Failure{true, e.getExceptionType(), e.getMessage()};
  }
  return Failure{};
}

// The exception type that the host layer's mapping gives for a host error.
inline std::wstring exceptionTypeFor(std::uint32_t hostError) {
  return hostError == 2 || hostError == 3 || hostError == 161 ? L"FileNotFoundException"
                                                              : L"IOException";
}

// Equal byte strings, or where they part (large contents stay out of the
// failure message).
inline ::testing::AssertionResult sameBytes(const std::string& expected,
                                            const std::string& actual) {
  if (expected == actual) {
    return ::testing::AssertionSuccess();
  }
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
    ++at;
  }
  return ::testing::AssertionFailure() << "contents differ at byte " << at << " (expected "
                                       << expected.size() << " bytes, got " << actual.size() << ")";
}

// The number of file descriptors the process holds, to catch files that a
// failure path leaves open.
inline int openDescriptorCount() {
  int count = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return count;
}

// How many calls of each kind an operation makes, run once without faults.
template <typename Operation>
std::array<unsigned, kFileCallKinds> countCalls(Operation&& operation) {
  FaultyFileSystem::reset();
  operation();
  return FaultyFileSystem::plan().counts;
}

// The fault sweep: for each kind given, runs the operation once per call
// that the counts give, with that one call failed, after prepare(); check
// judges each run's failure.  Every run must fire its fault and leave no
// file open.  Returns the number of runs.
template <typename Prepare, typename Operation, typename Check>
unsigned sweepFaults(const std::array<unsigned, kFileCallKinds>& counts,
                     std::initializer_list<FileCall> kinds, Prepare&& prepare,
                     Operation&& operation, Check&& check) {
  unsigned swept = 0;
  for (const FileCall call : kinds) {
    for (unsigned n = 1; n <= counts[static_cast<int>(call)]; ++n, ++swept) {
      SCOPED_TRACE(std::string(fileCallName(call)) + " #" + std::to_string(n));
      prepare();
      const int descriptors = openDescriptorCount();
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, n);
      const Failure failure = failureOf(operation);
      EXPECT_EQ(1u, FaultyFileSystem::fired());
      check(call, n, failure);
      EXPECT_EQ(descriptors, openDescriptorCount());
    }
  }
  return swept;
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_FAULTYFILESYSTEM_H_
