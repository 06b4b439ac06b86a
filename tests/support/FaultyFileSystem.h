#ifndef QEL_TESTS_SUPPORT_FAULTYFILESYSTEM_H_
#define QEL_TESTS_SUPPORT_FAULTYFILESYSTEM_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "qel/core/Exception.h"
#include "qel/io/PosixFileSystem.h"
#include "support/FileSystemScope.h"

namespace qel_test {

// The disk operations that a fault can be injected into.
enum class FileCall : int {
  kOpen,
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

// An armed call throws what the host layer throws for its host error, or
// transfers half of what was asked (reads and writes of more than one byte).
enum class Fault { kFail, kShort };

// The native file system with faults on demand.  Calls are counted since the
// last reset(), so a test can measure an operation and then fail each call in
// turn.  The plan is process-wide, as the factory takes no arguments.
class FaultyFileSystem : public qel::CPosixFileSystem {
 public:
  struct Arm {
    bool armed = false;
    unsigned from = 0;
    bool sticky = false;  // from the from-th call on, not at that call only
    Fault fault = Fault::kFail;
    std::uint32_t hostError = 0;
  };
  struct Plan {
    std::array<unsigned, kFileCallKinds> counts{};
    std::array<Arm, kFileCallKinds> arms{};
    unsigned fired = 0;
    // Bytes the disk still takes (negative: no limit).  A write writes what
    // fits and, with no room left, fails with the disk-full error.
    long long room = -1;
    // Runs at each commitReplacement, when the new file is complete.
    std::function<void()> beforeCommit;
  };

  static Plan& plan() {
    static Plan state;
    return state;
  }
  static void reset() { plan() = Plan(); }
  // Makes the n-th call of the kind from now on (1: the next) fail; a host
  // error of 0 picks a realistic one.
  static void arm(FileCall call, unsigned n, Fault fault = Fault::kFail,
                  std::uint32_t hostError = 0, bool sticky = false) {
    plan().arms[static_cast<int>(call)] =
        Arm{true, plan().counts[static_cast<int>(call)] + n, sticky, fault,
            hostError ? hostError : defaultError(call)};
  }
  static void setRoom(long long bytes) { plan().room = bytes; }
  static unsigned calls(FileCall call) { return plan().counts[static_cast<int>(call)]; }
  static unsigned fired() { return plan().fired; }

  // Host error numbers, in the host layer's (Windows) numbering.
  static constexpr std::uint32_t kFileNotFound = 2, kTooManyOpenFiles = 4, kAccessDenied = 5,
                                 kLockViolation = 33, kDiskFull = 112, kIoDevice = 1117;

  static std::uint32_t defaultError(FileCall call) {
    static const std::uint32_t kErrors[kFileCallKinds] = {
        kTooManyOpenFiles, kIoDevice,     kDiskFull, kIoDevice,     kAccessDenied,
        kAccessDenied,     kAccessDenied, kIoDevice, kLockViolation};
    return kErrors[static_cast<int>(call)];
  }

  // The message of a failed replacement or lock call: path and reason.
  static std::wstring replacementMessageFor(FileCall call, const std::wstring& path) {
    const std::uint32_t error = defaultError(call);
    return path + (error == kAccessDenied    ? L": Permission denied"
                   : error == kLockViolation ? L": locked by another process"
                   : error == kDiskFull      ? L": No space left on device"
                                             : L": Input/output error");
  }

  // The message a failed call carries: the reason for replacements and
  // locks, the operation's label for calls on a descriptor and renames, else
  // the path.
  static std::wstring messageFor(FileCall call, const std::wstring& path) {
    if (call >= FileCall::kOpenReplacement) {
      return replacementMessageFor(call, path);
    }
    const std::string name = fileCallName(call);
    const bool labelled = call != FileCall::kOpen && call != FileCall::kCreateDirectory;
    return labelled ? L"CPosixFileSystem::" + std::wstring(name.begin(), name.end()) : path;
  }

  static qel::CFileSystem* create() { return new FaultyFileSystem(); }

  qel::SmartPtr<qel::CFileDescriptor> openFile(const std::wstring& path, int access,
                                               CreationFlag creation, int attributes) override {
    if (hit(FileCall::kOpen) == Action::kFail) {
      // As on the host, a file that is not there opens as nothing.
      if (creation == CF_OPEN_EXISTING && errorOf(FileCall::kOpen) == kFileNotFound) {
        return nullptr;
      }
      ThrowException(errorOf(FileCall::kOpen), path);
    }
    return CPosixFileSystem::openFile(path, access, creation, attributes);
  }
  std::uint32_t readFile(qel::CFileDescriptor* descriptor, unsigned char* buffer,
                         std::uint32_t size) const override {
    return CPosixFileSystem::readFile(descriptor, buffer,
                                      transfer(FileCall::kRead, descriptor, size));
  }
  std::uint32_t writeFile(qel::CFileDescriptor* descriptor, const unsigned char* buffer,
                          std::uint32_t size) const override {
    Plan& p = plan();
    size = transfer(FileCall::kWrite, descriptor, size);
    if (p.room == 0 && size != 0) {
      throwFileFailure(descriptor, kDiskFull, L"writeFile");
    }
    size = p.room > 0 ? static_cast<std::uint32_t>(std::min<long long>(size, p.room)) : size;
    const std::uint32_t written = CPosixFileSystem::writeFile(descriptor, buffer, size);
    p.room -= p.room >= 0 ? written : 0;
    return written;
  }
  void closeFile(qel::CFileDescriptor* descriptor) const override {
    const Action action = hit(FileCall::kClose);
    CPosixFileSystem::closeFile(descriptor);  // a failing close still releases the handle
    if (action == Action::kFail) {
      fail(FileCall::kClose, descriptor);
    }
  }
  qel::SmartPtr<qel::CFileDescriptor> openReplacement(const std::wstring& path,
                                                      int flags) override {
    failIf(FileCall::kOpenReplacement, [&](std::uint32_t error) { ThrowFailure(error, path); });
    return CPosixFileSystem::openReplacement(path, flags);
  }
  void commitReplacement(qel::CFileDescriptor* descriptor) override {
    if (plan().beforeCommit) {
      plan().beforeCommit();
    }
    failIf(FileCall::kCommitReplacement,
           [&](std::uint32_t) { fail(FileCall::kCommitReplacement, descriptor); });
    CPosixFileSystem::commitReplacement(descriptor);
  }
  qel::SmartPtr<qel::CFileDescriptor> lockFile(const std::wstring& path,
                                               std::uint32_t waitMilliseconds) override {
    failIf(FileCall::kLock, [&](std::uint32_t error) { ThrowFailure(error, path); });
    return CPosixFileSystem::lockFile(path, waitMilliseconds);
  }
  void createDirectory(const std::wstring& path) const override {
    failIf(FileCall::kCreateDirectory, [&](std::uint32_t error) { ThrowException(error, path); });
    CPosixFileSystem::createDirectory(path);
  }
  void rename(const std::wstring& from, const std::wstring& to) const override {
    failIf(FileCall::kRename, [this](std::uint32_t error) {
      ThrowException(error, std::wstring(className()) + L"::rename");
    });
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
  template <typename Throw>
  static void failIf(FileCall call, Throw&& thrower) {
    if (hit(call) == Action::kFail) {
      thrower(errorOf(call));
    }
  }
  static std::uint32_t errorOf(FileCall call) {
    return plan().arms[static_cast<int>(call)].hostError;
  }
  [[noreturn]] void fail(FileCall call, qel::CFileDescriptor* descriptor) const {
    const std::string name = fileCallName(call);
    throwFileFailure(descriptor, errorOf(call), std::wstring(name.begin(), name.end()).c_str());
  }
  // The size that a read or write of size transfers, or its failure.
  std::uint32_t transfer(FileCall call, qel::CFileDescriptor* descriptor,
                         std::uint32_t size) const {
    const Action action = hit(call);
    if (action == Action::kFail) {
      fail(call, descriptor);
    }
    return action == Action::kShort && size > 1 ? size / 2 : size;
  }
};

// The faulty file system as the shared one, with a fresh plan, for the scope.
class FaultScope {
 public:
  FaultScope() : _scope(&FaultyFileSystem::create) { FaultyFileSystem::reset(); }
  ~FaultScope() { FaultyFileSystem::reset(); }

 private:
  FileSystemScope _scope;
};

// What an operation threw: the library's exception type name and message.
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

// "Type: message" of what operation throws, or "" when nothing is thrown.
template <typename Operation>
std::wstring thrownBy(Operation&& operation) {
  const Failure failure = failureOf(operation);
  return failure.thrown ? failure.type + L": " + failure.message : L"";
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
  const auto at = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  return ::testing::AssertionFailure()
         << "contents differ at byte " << at.first - expected.begin() << " (expected "
         << expected.size() << " bytes, got " << actual.size() << ")";
}

// The number of file descriptors the process holds, to catch files that a
// failure path leaves open.
inline int openDescriptorCount() {
  std::error_code ec;
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd", ec),
                                        std::filesystem::directory_iterator()));
}

// How many calls of each kind an operation makes, run once without faults.
template <typename Operation>
std::array<unsigned, kFileCallKinds> countCalls(Operation&& operation) {
  FaultyFileSystem::reset();
  operation();
  return FaultyFileSystem::plan().counts;
}

// For each kind given, runs the operation once per call that counts gives,
// with that call failed, after prepare(); check judges each run's failure.
// Every run must fire its fault and leave no file open.  Returns the number
// of runs, so that a caller can see every call it counted swept.
template <typename Prepare, typename Operation, typename Check>
unsigned sweepFaults(const std::array<unsigned, kFileCallKinds>& counts,
                     std::initializer_list<FileCall> kinds, Prepare&& prepare,
                     Operation&& operation, Check&& check) {
  unsigned runs = 0;
  for (const FileCall call : kinds) {
    for (unsigned n = 1; n <= counts[static_cast<int>(call)]; ++n) {
      SCOPED_TRACE(std::string(fileCallName(call)) + " #" + std::to_string(n));
      prepare();
      const int descriptors = openDescriptorCount();
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, n);
      const Failure failure = failureOf(operation);
      EXPECT_EQ(1u, FaultyFileSystem::fired());
      check(call, n, failure);
      EXPECT_EQ(descriptors, openDescriptorCount());
      ++runs;
    }
  }
  return runs;
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_FAULTYFILESYSTEM_H_
