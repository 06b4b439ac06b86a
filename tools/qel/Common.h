#ifndef QEL_TOOLS_QEL_COMMON_H_
#define QEL_TOOLS_QEL_COMMON_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "qel/io/File.h"

namespace qeltool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A failure tied to a file: reported as "qel: FILE: message".
class Failure : public std::runtime_error {
 public:
  Failure(const std::string& subject, const std::string& message)
      : std::runtime_error(subject.empty() ? message : subject + ": " + message) {}
};

// A usage error found after the command line was parsed (exit status 2).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The library's file for a UTF-8 command-line path.
qel::CFile toFile(const std::string& path);

// Makes sure that path names an existing regular file that can be read.
void requireReadableFile(const std::string& path);

// A target to be replaced: a directory or a read-only file is refused, and
// with mustExist a missing one too.
void requireWritableTarget(const std::string& path, bool mustExist);

// The size of the file, 0 when it cannot be known.
std::uint64_t fileSize(const std::string& path);

// Writes text to path through a temporary file beside it and a rename, so
// that a failure leaves no partial file and the previous one untouched.
void replaceFile(const std::string& path, const std::string& text);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_COMMON_H_
