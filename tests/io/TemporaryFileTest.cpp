// Private temporary files: new, only the user's, gone with their object.
#include "qel/io/TemporaryFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "qel/core/Exception.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace {

namespace fs = std::filesystem;

TEST(TemporaryFile, IsNewPrivateInTheTemporaryDirectoryAndGoesWithItsObject) {
  qel_test::TempDir dir;
  const std::string previous = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "";
  setenv("TMPDIR", dir.str().c_str(), 1);
  std::string kept;
  {
    const qel::CTemporaryFile first("qel-test");
    const qel::CTemporaryFile second("qel-test");
    kept = first.getHostPath();
    EXPECT_NE(first.getHostPath(), second.getHostPath());
    EXPECT_EQ(fs::path(kept).parent_path(), dir.path());
    EXPECT_EQ(fs::path(kept).filename().string().rfind("qel-test-", 0), 0u);
    EXPECT_EQ(fs::file_size(kept), 0u);
    EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(first.getFile().exists());
  }
  EXPECT_FALSE(fs::exists(kept));
  EXPECT_TRUE(fs::is_empty(dir.path()));

  setenv("TMPDIR", (dir.str() + "/missing").c_str(), 1);
  EXPECT_EQ(qel_test::messageOf<qel::IOException>([] { qel::CTemporaryFile("x"); }),
            L"No temporary file for x: No such file or directory");
  if (previous.empty()) {
    unsetenv("TMPDIR");
  } else {
    setenv("TMPDIR", previous.c_str(), 1);
  }
}

}  // namespace
