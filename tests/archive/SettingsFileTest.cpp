// A settings file shared by programs: whole loads, commits that never
// overwrite another program's.
#include "qel/archive/SettingsFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Tree.h"
#include "qel/core/Exception.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace {

using qel::CFile;
using qel::CSettingsFile;
using qel::IOException;
namespace tree = qel::tree;

// Runs edit in a child process against its own CSettingsFile of file, and
// waits for it; true when it committed.
bool commitInAnotherProcess(const CFile& file, const std::string& path, const std::string& value) {
  const pid_t child = fork();
  if (child == 0) {
    int status = 1;
    try {
      CSettingsFile other(file);
      other.load();
      tree::setText(other.root(), path, value);
      other.commit();
      status = 0;
    } catch (...) {
    }
    _exit(status);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

class SettingsFiles : public ::testing::Test {
 protected:
  CFile file() const { return CFile(_dir.wpath("app/settings.qel")); }
  qel_test::TempDir _dir;
};

TEST_F(SettingsFiles, ACommitRefusesToOverwriteWhatAnotherProcessCommitted) {
  CSettingsFile mine(_dir.path() / "app/settings.qel");
  EXPECT_THROW(mine.commit(), qel::IllegalStateException) << "nothing loaded to commit";
  mine.load();
  EXPECT_FALSE(mine.root().hasChildren()) << "a missing file is an empty tree";
  tree::setText(mine.root(), "proxy/host", "example.org");
  mine.commit();
  EXPECT_FALSE(mine.changedOnDisk());
  tree::setText(mine.root(), "proxy/port", "8080");
  mine.commit();

  ASSERT_TRUE(commitInAnotherProcess(file(), "proxy/port", "9090"));
  EXPECT_TRUE(mine.changedOnDisk());
  tree::setText(mine.root(), "proxy/host", "mine.example.org");
  EXPECT_EQ(qel_test::messageOf<IOException>([&] { mine.commit(); }),
            file().getPath() + L": changed by another program since it was loaded");
  CSettingsFile reader(file());
  reader.load();
  EXPECT_EQ(tree::get(reader.root(), "proxy/port", 0), 9090) << "the other commit is kept";
  EXPECT_EQ(tree::get(reader.root(), "proxy/host", ""), "example.org") << "nothing was written";

  mine.reload();
  EXPECT_EQ(tree::get(mine.root(), "proxy/port", 0), 9090);
  tree::setText(mine.root(), "proxy/host", "mine.example.org");
  mine.commit();
  reader.reload();
  EXPECT_EQ(tree::get(reader.root(), "proxy/host", ""), "mine.example.org");

  // Removing the file is a change too.
  std::filesystem::remove(_dir.path() / "app/settings.qel");
  EXPECT_TRUE(mine.changedOnDisk());
  EXPECT_THROW(mine.commit(), IOException);
}

TEST_F(SettingsFiles, ALoadThatFailsSaysWhereAndWhyAndKeepsTheTree) {
  CSettingsFile settings(file());
  settings.load();
  tree::setText(settings.root(), "kept", "1");
  settings.commit();
  _dir.writeFile("app/settings.qel", "0009012Z01300\n");
  EXPECT_EQ(qel_test::messageOf<IOException>([&] { settings.load(); }),
            file().getPath() +
                L": malformed at record 1, byte offset 0: the record's length, field count or a "
                L"separator is damaged");
  EXPECT_EQ(tree::get(settings.root(), "kept", 0), 1);
  _dir.writeFile("app/settings.qel", "");
  settings.load();
  EXPECT_FALSE(settings.root().hasChildren()) << "an empty file is an empty tree";
}

}  // namespace
