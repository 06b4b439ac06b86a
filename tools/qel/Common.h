#ifndef QEL_TOOLS_QEL_COMMON_H_
#define QEL_TOOLS_QEL_COMMON_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qel/archive/Component.h"
#include "qel/core/RefCount.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"
#include "qel/io/HostFileSystem.h"
#include "qel/io/TemporaryFile.h"

namespace qeltool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// What a command was asked to find is not there.
constexpr int kExitNotFound = 3;

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

// The library's file for a command-line path: exactly the host file its
// bytes name, whether or not they are UTF-8.
qel::CFile toFile(const std::string& path);

// Makes sure that path names an existing regular file that can be read.
void requireReadableFile(const std::string& path);
bool fileExists(const std::string& path);

// The file's stamp and its size in full; all zero when they cannot be read.
qel::SFileStamp fileStamp(const std::string& path);
std::uint64_t fileSize(const std::string& path);

// Hands the bytes of the file at path to consume piece by piece, read
// through the library's file layer (whose exceptions pass).
void readFileInPieces(
    const std::string& path,
    const std::function<void(const unsigned char* bytes, std::size_t count)>& consume);
std::string readWholeFile(const std::string& path);

// The global options that change how files are written.
struct WriteOptions {
  // How long an edit waits for another process's edit of the same file.
  std::uint32_t lockWaitMilliseconds = 10000;
  // Replace files that no one may write (--force).
  bool force = false;
  // Store text that the code page cannot hold with its replacements
  // (--lossy) instead of refusing it.
  bool lossy = false;
};
WriteOptions& writeOptions();

// UTF-8 text from the command line or a JSON document in the archive's code
// page.  Text that the code page cannot hold is refused with a Failure
// naming where and path, unless --lossy, which stores the code page's
// replacement and says so on standard error.
std::string archiveText(const std::string& utf8, const std::string& where, const std::string& path);

// The flags of CTreeFile::store and update that the options ask for.
int storeFlags();

// Writes text whole to path: "-" is standard output; a FIFO or a character
// device is written as a stream; any other file is replaced in one step
// (CFileReplacement), so that a failure leaves the previous one untouched.
void writeOutput(const std::string& path, const std::string& text);

// An input file named on the command line, ready for the library to open
// by path: a regular file is opened where it is; "-" (standard input), a
// pipe, a FIFO or a device is read once, as a stream, into a private
// temporary file that is removed when this ends.  A missing file or a
// directory is left to the reader to report.  Messages about the copy are
// given under the name the user gave (withInputNames, userMessage).
class InputFile {
 public:
  explicit InputFile(const std::string& argument);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  // What to open.
  const std::string& path() const { return _path; }
  // What messages call it: the argument, or "standard input" for "-".
  const std::string& name() const { return _name; }

 private:
  std::string _path;
  std::string _name;
  // The copy of a stream, removed with this.
  std::unique_ptr<qel::CTemporaryFile> _copy;
};

// text with the temporary copies of inputs named as the user named them.
std::string withInputNames(std::string text);

// The name of a file for messages: "standard input" for "-".
std::string displayName(const std::string& argument);

// Makes std::cout write through a buffer of the tool's own, which keeps the
// system's reason for a write that failed (once, at the start).
void useOutputBuffer();

// Flushes standard output; a write that failed ("No space left on device")
// is a Failure naming standard output with the system's reason.
void finishStandardOutput();

// Writes the bytes an archive store produces for root to standard output
// (stored through a private temporary file, as CTreeFile::store writes).
void storeTreeToStandardOutput(qel::CComposite& root);

// Holds the edit lock of path for as long as it lives (CTreeFile::update
// takes it itself; this is for writers that do not read the file first).
class EditLock {
 public:
  explicit EditLock(const std::string& path);
  ~EditLock();
  EditLock(const EditLock&) = delete;
  EditLock& operator=(const EditLock&) = delete;

 private:
  qel::SmartPtr<qel::CFileDescriptor> _lock;
};

// The files the chosen command names, in the order its arguments name them,
// for messages; each command's runner sets them.
std::vector<std::string>& namedFiles();

// The library's message for the user: the absolute paths the library
// reports are given back as the user spelled them (one of files), and a
// message that names none of them is put after the first.
std::string userMessage(const std::wstring& message, const std::vector<std::string>& files);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_COMMON_H_
