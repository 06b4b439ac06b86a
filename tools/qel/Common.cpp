#include "Common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <streambuf>
#include <utility>

#include "TextForms.h"
#include "qel/archive/Tree.h"
#include "qel/archive/TreeFile.h"
#include "qel/core/StringHelper.h"
#include "qel/io/FileReplacement.h"
#include "qel/io/FileStream.h"
#include "qel/io/TemporaryFile.h"

namespace qeltool {

qel::CFile toFile(const std::string& path) {
  return qel::CFile(std::filesystem::path(path));
}

void requireReadableFile(const std::string& path) {
  const std::wstring name = toFile(path).getPath();
  const qel::SmartPtr<qel::CFileSystem> fileSystem = qel::CFileSystem::getFileSystem();
  const int flags = fileSystem->getFileAttributeFlags(name);
  if ((flags & qel::CFileSystem::FA_EXISTS) == 0) {
    throw Failure(path, "no such file");
  }
  if ((flags & qel::CFileSystem::FA_DIRECTORY) != 0) {
    throw Failure(path, "is a directory, not a settings archive");
  }
  if (!fileSystem->checkAccess(name, qel::CFileSystem::ACCESS_READ)) {
    throw Failure(path, "cannot be opened for reading");
  }
}

bool fileExists(const std::string& path) {
  return (qel::CFileSystem::getFileSystem()->getFileAttributeFlags(toFile(path).getPath()) &
          qel::CFileSystem::FA_EXISTS) != 0;
}

void readFileInPieces(
    const std::string& path,
    const std::function<void(const unsigned char* bytes, std::size_t count)>& consume) {
  qel::CFileInputStream in(toFile(path));
  std::vector<unsigned char> block(1 << 16);
  for (;;) {
    std::uint32_t status = 0;
    const unsigned int got =
        in.read(block.data(), static_cast<unsigned int>(block.size()), &status);
    if (got == 0) {
      break;
    }
    consume(block.data(), got);
  }
  in.close();
}

std::string readWholeFile(const std::string& path) {
  std::string text;
  readFileInPieces(path, [&text](const unsigned char* bytes, std::size_t count) {
    text.append(reinterpret_cast<const char*>(bytes), count);
  });
  return text;
}

qel::SFileStamp fileStamp(const std::string& path) {
  const qel::SmartPtr<qel::CFileSystem> fileSystem = qel::CFileSystem::getFileSystem();
  const auto* host = dynamic_cast<const qel::CHostFileSystem*>(fileSystem.get());
  if (host != nullptr) {
    try {
      return host->getStamp(toFile(path).getPath());
    } catch (const qel::IOException&) {
      // Reported by the read that follows, in its own words.
    }
  }
  return qel::SFileStamp();
}

std::uint64_t fileSize(const std::string& path) {
  return fileStamp(path).nSize;
}

namespace {

// The temporary copies of inputs made in this run (as opened and as the
// library spells them), with the names their messages are to give.
std::vector<std::pair<std::string, std::string>>& copiedInputs() {
  static std::vector<std::pair<std::string, std::string>> copies;
  return copies;
}

}  // namespace

std::string displayName(const std::string& argument) {
  return argument == "-" ? "standard input" : argument;
}

InputFile::InputFile(const std::string& argument) : _path(argument), _name(displayName(argument)) {
  std::string bytes;
  if (argument == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      throw Failure(_name, std::strerror(errno));
    }
  } else {
    // A pipe, a FIFO or a device has no size: it is read as a stream.  An
    // empty regular file reads as nothing and is left to the loader, as is
    // a file that cannot be opened.
    if (!fileExists(argument) || toFile(argument).isDirectory() || fileSize(argument) != 0) {
      return;
    }
    std::ifstream in(toFile(argument).toPath(), std::ios::binary);
    if (!in) {
      return;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
      throw Failure(_name, std::strerror(errno));
    }
    if (bytes.empty()) {
      return;
    }
  }
  _copy = std::make_unique<qel::CTemporaryFile>("qel-input");
  _path = _copy->getHostPath();
  copiedInputs().emplace_back(qel::CWin32Helper::toUTF8(toFile(_path).getPath()), _name);
  copiedInputs().emplace_back(_path, _name);
  std::ofstream out(_copy->getFile().toPath(), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw Failure(_name, std::string("cannot hold a copy: ") + std::strerror(errno));
  }
}

InputFile::~InputFile() = default;

namespace {

// std::cout's buffer: writes to file descriptor 1 and keeps the reason of
// the first write that failed, which later calls would lose from errno.
class OutputBuffer : public std::streambuf {
 public:
  OutputBuffer() { setp(_bytes, _bytes + sizeof _bytes); }
  int error() const { return _error; }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) {
      return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  int sync() override {
    const std::size_t count = static_cast<std::size_t>(pptr() - pbase());
    setp(_bytes, _bytes + sizeof _bytes);
    if (_error != 0) {
      return -1;
    }
    errno = 0;
    if (count != 0 &&
        (std::fwrite(_bytes, 1, count, stdout) != count || std::fflush(stdout) != 0)) {
      _error = errno != 0 ? errno : EIO;
      return -1;
    }
    return 0;
  }

 private:
  char _bytes[1 << 16];
  int _error = 0;
};

// Never destroyed: std::cout is flushed into it at the process's exit.
OutputBuffer& outputBuffer() {
  static auto* buffer = new OutputBuffer;
  return *buffer;
}

}  // namespace

void useOutputBuffer() {
  std::cout.rdbuf(&outputBuffer());
}

void finishStandardOutput() {
  std::cout.flush();
  errno = 0;
  int error = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    error = errno != 0 ? errno : EIO;
    std::clearerr(stdout);
  }
  if (std::cout.rdbuf() == &outputBuffer() && outputBuffer().error() != 0) {
    error = outputBuffer().error();
  } else if (!std::cout && error == 0) {
    error = EIO;
  }
  if (error != 0) {
    std::cout.clear();
    throw Failure("standard output", std::strerror(error));
  }
}

void storeTreeToStandardOutput(qel::CComposite& root) {
  const qel::CTemporaryFile file("qel-output");
  qel::CTreeFile::store(file.getFile(), root, 0);
  writeOutput("-", readWholeFile(file.getHostPath()));
}

std::string withInputNames(std::string text) {
  for (const auto& copy : copiedInputs()) {
    for (std::size_t at = text.find(copy.first); at != std::string::npos;
         at = text.find(copy.first, at + copy.second.size())) {
      text.replace(at, copy.first.size(), copy.second);
    }
  }
  return text;
}

std::vector<std::string>& namedFiles() {
  static std::vector<std::string> files;
  return files;
}

WriteOptions& writeOptions() {
  static WriteOptions options;
  return options;
}

std::string archiveText(const std::string& utf8, const std::string& where,
                        const std::string& path) {
  qel::tree::TextLoss loss;
  std::string ansi = qel::tree::fromUtf8(utf8, loss);
  const std::size_t unrepresentable = loss.nCount;
  const std::string& first = loss.sFirst;
  if (unrepresentable == 0) {
    return ansi;
  }
  const std::string page = "code page " + std::to_string(qel::CWin32Helper::getAnsiCodePage());
  const std::string subject = (where.empty() ? std::string() : where + ": ") + path;
  if (!writeOptions().lossy) {
    const std::string more =
        unrepresentable > 1 ? " and " + std::to_string(unrepresentable - 1) + " more" : "";
    throw Failure(
        subject, first + more + " cannot be stored in " + page + " (--lossy stores a replacement)");
  }
  std::cerr << "qel: warning: " << subject << ": " << unrepresentable
            << (unrepresentable > 1 ? " characters" : " character") << " not in " << page
            << " replaced, the first " << first << "\n";
  return ansi;
}

int storeFlags() {
  return writeOptions().force ? qel::CTreeFile::STORE_REPLACE_READ_ONLY : 0;
}

void writeOutput(const std::string& path, const std::string& text) {
  if (path == "-") {
    std::cout.flush();
    errno = 0;
    const bool written =
        std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
    if (!written) {
      const int error = errno;
      std::clearerr(stdout);
      throw Failure("standard output", error != 0 ? std::strerror(error) : "write error");
    }
    return;
  }
  int flags = qel::CFileReplacement::STREAM_SPECIAL_FILES;
  if (writeOptions().force) {
    flags |= qel::CFileReplacement::REPLACE_READ_ONLY;
  }
  qel::CFileReplacement out(toFile(path), flags);
  out.write(text.data(), text.size());
  out.commit();
}

EditLock::EditLock(const std::string& path)
    : _lock(qel::CFileSystem::getFileSystem()->lockFile(toFile(path).getPath(),
                                                        writeOptions().lockWaitMilliseconds)) {}

EditLock::~EditLock() {
  try {
    _lock->close();
  } catch (...) {
    // Releasing a lock cannot fail in a way worth reporting; the process's
    // end releases it in any case.
  }
}

std::string userMessage(const std::wstring& message, const std::vector<std::string>& files) {
  std::string text = withInputNames(qel::CWin32Helper::toUTF8(message));
  for (const std::string& file : files) {
    if (file.empty() || file == "-") {
      continue;
    }
    // Both sides are displayed the same way, so a name that is not UTF-8
    // is found too.
    const std::string absolute = qel::CWin32Helper::toUTF8(toFile(file).getPath());
    if (text.compare(0, absolute.size(), absolute) == 0 &&
        (text.size() == absolute.size() || text[absolute.size()] == ':' ||
         text[absolute.size()] == ' ')) {
      return file + text.substr(absolute.size());
    }
    if (text.compare(0, file.size(), file) == 0) {
      return text;
    }
  }
  for (const std::string& file : files) {
    if (!file.empty()) {
      return displayName(file) + ": " + text;
    }
  }
  return text;
}

}  // namespace qeltool
