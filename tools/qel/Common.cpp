#include "Common.h"

#include <filesystem>
#include <fstream>

#include "qel/core/StringHelper.h"

namespace qeltool {

namespace fs = std::filesystem;

qel::CFile toFile(const std::string& path) {
  return qel::CFile(qel::CWin32Helper::fromUTF8(path));
}

void requireReadableFile(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) {
    throw Failure(path, "no such file");
  }
  if (fs::is_directory(status)) {
    throw Failure(path, "is a directory, not a settings archive");
  }
  std::ifstream probe(path, std::ios::binary);
  if (!probe) {
    throw Failure(path, "cannot be opened for reading");
  }
}

void requireWritableTarget(const std::string& path, bool mustExist) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) {
    if (mustExist) {
      throw Failure(path, "no such file");
    }
    return;
  }
  if (fs::is_directory(status)) {
    throw Failure(path, "is a directory");
  }
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if ((status.permissions() & write) == fs::perms::none) {
    throw Failure(path, "is read-only");
  }
}

std::uint64_t fileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

void replaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      throw Failure(path, "cannot be written");
    }
    out << text;
    out.close();
    if (!out) {
      std::error_code ec;
      fs::remove(temporary, ec);
      throw Failure(path, "writing failed");
    }
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    fs::remove(temporary, ec);
    throw Failure(path, "cannot be replaced");
  }
}

}  // namespace qeltool
