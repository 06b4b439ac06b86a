#include "Common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "TextForms.h"
#include "qel/archive/Tree.h"
#include "qel/archive/TreeFile.h"
#include "qel/core/StringHelper.h"
#include "qel/io/FileReplacement.h"
#include "qel/io/FileStream.h"

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
  std::string text = qel::CWin32Helper::toUTF8(message);
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
      return file + ": " + text;
    }
  }
  return text;
}

}  // namespace qeltool
