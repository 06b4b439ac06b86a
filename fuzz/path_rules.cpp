// The path rules of both file-system front ends: prefix lengths, joining,
// file-name filtering, the drive map and the name and parent of a file.
// Only strings are looked at; nothing is created on the disk.
//
// Input: one byte of flags, then up to three texts (one character per byte)
// separated by 0xFF bytes: a path, a child and a current directory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "io/DriveMap.h"
#include "os/HostFile.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"
#include "qel/io/PosixFileSystem.h"
#include "qel/io/Win32FileSystem.h"
#include "qel/platform/Orvane.h"

using qel::CFile;
using qel::CFileSystem;

namespace {

CFileSystem* makeWin32() {
  return new qel::CWin32FileSystem();
}

CFileSystem* makePosix() {
  return new qel::CPosixFileSystem();
}

// Makes the shared file system one of the wanted kind.
qel::SmartPtr<CFileSystem> useFileSystem(bool windows) {
  static int current = -1;
  if (current != static_cast<int>(windows)) {
    CFileSystem::setFactory(windows ? makeWin32 : makePosix);
    CFileSystem::resetInstance();
    current = static_cast<int>(windows);
  }
  return CFileSystem::getFileSystem();
}

bool startsWith(const std::wstring& text, const std::wstring& head) {
  return text.size() >= head.size() && text.compare(0, head.size(), head) == 0;
}

bool endsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void checkJoin(const CFileSystem& fs, const std::wstring& parent, const std::wstring& child) {
  const std::wstring joined = fs.resolve(parent, child);
  if (parent.empty()) {
    QEL_FUZZ_CHECK(joined == child);
    return;
  }
  QEL_FUZZ_CHECK(startsWith(joined, parent) && endsWith(joined, child));
  const bool separated = parent.back() == fs.getSeparatorChar();
  QEL_FUZZ_CHECK(joined.size() == parent.size() + child.size() + (separated ? 0 : 1));
  QEL_FUZZ_CHECK(separated || joined[parent.size()] == fs.getSeparatorChar());
}

void checkFile(const CFileSystem& fs, const CFile& file) {
  const wchar_t separator = fs.getSeparatorChar();
  const std::wstring path = file.getPath();
  const unsigned int prefix = fs.getPrefixLength(path);
  QEL_FUZZ_CHECK(prefix <= path.size());
  QEL_FUZZ_CHECK(file == file);

  const std::wstring name = file.getName();
  QEL_FUZZ_CHECK(name.find(separator) == std::wstring::npos);
  QEL_FUZZ_CHECK(endsWith(path, name));

  const std::wstring parent = file.getParent();
  QEL_FUZZ_CHECK(startsWith(path, parent));
  if (path.find(separator) == std::wstring::npos) {
    QEL_FUZZ_CHECK(parent.empty());
  } else {
    QEL_FUZZ_CHECK(parent.size() >= prefix);
    QEL_FUZZ_CHECK(parent.size() < path.size() || path.back() == separator ||
                   prefix == path.size());
  }
  // The parent of a file with a name is everything before the name's
  // separator, never less than the prefix.
  if (!name.empty() && path.size() > name.size() &&
      path[path.size() - name.size() - 1] == separator) {
    const std::size_t cut = path.size() - name.size() - 1;
    QEL_FUZZ_CHECK(parent == path.substr(0, cut < prefix ? prefix : cut));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t flags = data[0];
  std::vector<std::wstring> texts(1);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF && texts.size() < 3) {
      texts.emplace_back();
    } else {
      texts.back().push_back(static_cast<wchar_t>(data[i]));
    }
  }
  texts.resize(3);
  const std::wstring& path = texts[0];
  const std::wstring& child = texts[1];
  const std::wstring& current = texts[2];

  const bool windows = (flags & 1) != 0;
  // The current directory from the input, or the process's own.
  qel::COrvane::SetCurrentDirectory((flags & 2) != 0 ? current : std::wstring());
  const qel::SmartPtr<CFileSystem> fs = useFileSystem(windows);
  QEL_FUZZ_CHECK(fs->getSeparatorChar() == (windows ? L'\\' : L'/'));
  QEL_FUZZ_CHECK(fs->getSeparator() == std::wstring(1, fs->getSeparatorChar()));

  for (const std::wstring* text : {&path, &child, &current}) {
    const unsigned int prefix = fs->getPrefixLength(*text);
    QEL_FUZZ_CHECK(prefix <= text->size());
    QEL_FUZZ_CHECK(prefix <= (windows ? 3u : 1u));
    if (fs->isAbsolute(*text)) {
      QEL_FUZZ_CHECK(prefix == (windows ? 3u : 1u));
    }
    const std::wstring filtered = fs->filterFilename(*text);
    QEL_FUZZ_CHECK(filtered.find(L'/') == std::wstring::npos);
    QEL_FUZZ_CHECK(filtered.size() <= text->size());
    QEL_FUZZ_CHECK(fs->filterFilename(filtered) == filtered);
  }

  checkJoin(*fs, path, child);
  checkJoin(*fs, fs->getCurrentDirectory(), path);
  QEL_FUZZ_CHECK(fs->resolve(path) == fs->resolve(fs->getCurrentDirectory(), path));

  const CFile file(path);
  QEL_FUZZ_CHECK(file.getPath() == (fs->isAbsolute(path) ? path : fs->resolve(path)));
  checkFile(*fs, file);
  const CFile joined(path, child);
  QEL_FUZZ_CHECK(joined.getPath() == (fs->isAbsolute(child) ? child : fs->resolve(path, child)));
  checkFile(*fs, joined);
  const CFile copy(joined);
  QEL_FUZZ_CHECK(copy == joined && !(copy != joined));

  // The drive map: a path it accepts becomes an absolute host path.
  std::string host;
  if (qel::drive_map::toHostPath(path, host) == qel::platform::kHostOk) {
    QEL_FUZZ_CHECK(!host.empty() && host[0] == '/');
  }
  return 0;
}
