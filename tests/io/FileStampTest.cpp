// A file's stamp: what tells it from another file put in its place.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "qel/core/Exception.h"
#include "qel/io/PosixFileSystem.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace {

TEST(FileStamp, StaysWhileTheFileDoesAndTellsAReplacementOfTheSameSizeApart) {
  qel_test::TempDir dir;
  dir.writeFile("settings", "abcd");
  dir.writeFile("next", "wxyz");
  const qel::CPosixFileSystem fs;
  const qel::SFileStamp first = fs.getStamp(dir.wpath("settings"));
  EXPECT_EQ(first.nSize, 4U);
  EXPECT_EQ(fs.getStamp(dir.wpath("settings")), first);

  std::filesystem::rename(dir.path() / "next", dir.path() / "settings");
  const qel::SFileStamp replaced = fs.getStamp(dir.wpath("settings"));
  EXPECT_EQ(replaced.nSize, 4U);
  EXPECT_NE(replaced, first);

  // Sizes beyond 32 bits come out whole (a sparse file takes no space).
  std::filesystem::resize_file(dir.path() / "settings", (std::uintmax_t{5} << 30) + 3);
  EXPECT_EQ(fs.getStamp(dir.wpath("settings")).nSize, (std::uint64_t{5} << 30) + 3);

  EXPECT_EQ(
      qel_test::messageOf<qel::FileNotFoundException>([&] { fs.getStamp(dir.wpath("missing")); }),
      dir.wpath("missing") + L": No such file or directory");
}

}  // namespace
