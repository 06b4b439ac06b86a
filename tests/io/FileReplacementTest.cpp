// A file replaced whole: what the new file inherits, where it is made, which
// targets are refused, and what a failure leaves.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"
#include "support/TempDir.h"

using qel::CFile;
using qel::CFileReplacement;

namespace {

namespace fs = std::filesystem;

void replace(const fs::path& target, const std::string& content, int flags = 0) {
  CFileReplacement out(CFile(target.wstring()), flags);
  out.write(content.data(), content.size());
  out.commit();
}

// The message of what replacing target throws, or "" when nothing is thrown.
std::string refusal(const fs::path& target, int flags = 0) {
  try {
    replace(target, "new", flags);
  } catch (const qel::CException& e) {
    return qel::CWin32Helper::toUTF8(e.getMessage());
  }
  return "";
}

unsigned modeOf(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> entries(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class FileReplacement : public ::testing::Test {
 protected:
  fs::path at(const std::string& name) const { return _dir.path() / name; }
  qel_test::TempDir _dir;
};

TEST_F(FileReplacement, KeepsTheModeAndOwnerAndGivesANewFileTheUmasksMode) {
  for (const unsigned mode : {0600u, 0640u, 0755u, 0604u}) {
    _dir.writeFile("kept", "old");
    ::chmod(at("kept").c_str(), mode);
    replace(at("kept"), "new");
    EXPECT_EQ(_dir.readFile("kept"), "new");
    EXPECT_EQ(modeOf(at("kept")), mode);
  }
  const mode_t previous = ::umask(027);
  replace(at("fresh"), "new");
  ::umask(previous);
  EXPECT_EQ(modeOf(at("fresh")), 0640u);

  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(at("kept").c_str(), 12345, 23456), 0);
    replace(at("kept"), "again");
    struct stat st;
    ASSERT_EQ(::stat(at("kept").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 12345u);
    EXPECT_EQ(st.st_gid, 23456u);
  }
}

TEST_F(FileReplacement, FollowsLinksToTheFileTheyNameAndKeepsThem) {
  fs::create_directory(at("real"));
  fs::create_directory(at("links"));
  _dir.writeFile("real/file", "old");
  fs::create_symlink("../real/file", at("links/relative"));
  fs::create_symlink(at("real/file"), at("absolute"));
  fs::create_symlink("links/relative", at("chain"));
  for (const char* link : {"links/relative", "absolute", "chain"}) {
    SCOPED_TRACE(link);
    replace(at(link), link);
    EXPECT_EQ(_dir.readFile("real/file"), link);
    EXPECT_TRUE(fs::is_symlink(at(link)));
  }
  EXPECT_EQ(entries(at("links")), std::vector<std::string>{"relative"});
  EXPECT_EQ(entries(at("real")), std::vector<std::string>{"file"});

  // A dangling link creates the file it names, beside the link.
  fs::create_symlink("made", at("links/dangling"));
  replace(at("links/dangling"), "made");
  EXPECT_TRUE(fs::is_symlink(at("links/dangling")));
  EXPECT_EQ(_dir.readFile("links/made"), "made");

  // A loop of links is an error with the system's reason.
  fs::create_symlink("loop2", at("loop1"));
  fs::create_symlink("loop1", at("loop2"));
  EXPECT_EQ(refusal(at("loop1")), at("loop1").string() + ": Too many levels of symbolic links");
}

TEST_F(FileReplacement, RefusesWhatIsNotARegularFileUnlessItIsAStreamAndAllowed) {
  fs::create_directory(at("dir"));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  EXPECT_EQ(refusal(at("dir")), at("dir").string() + " is a directory");
  EXPECT_EQ(refusal(at("fifo")), at("fifo").string() + " is not a regular file");
  EXPECT_EQ(refusal("/dev/null"), "/dev/null is not a regular file");
  fs::create_symlink("fifo", at("to-fifo"));
  EXPECT_EQ(refusal(at("to-fifo")), at("to-fifo").string() + " is not a regular file");

  // As a stream: the bytes arrive and the node stays what it was.
  std::string received;
  std::thread reader([&] {
    std::ifstream in(at("fifo"), std::ios::binary);
    received.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  const std::string big(300 * 1024, 'x');
  replace(at("to-fifo"), big, CFileReplacement::STREAM_SPECIAL_FILES);
  reader.join();
  EXPECT_EQ(received.size(), big.size());
  EXPECT_TRUE(fs::is_fifo(at("fifo")));
  EXPECT_EQ(refusal("/dev/null", CFileReplacement::STREAM_SPECIAL_FILES), "");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_EQ(refusal("/dev/full", CFileReplacement::STREAM_SPECIAL_FILES),
            "/dev/full: No space left on device");
  EXPECT_EQ(entries(_dir.path()), (std::vector<std::string>{"dir", "fifo", "to-fifo"}));
}

TEST_F(FileReplacement, ReadOnlyFilesAreReplacedOnlyWhenAsked) {
  _dir.writeFile("ro", "old");
  ::chmod(at("ro").c_str(), 0444);
  EXPECT_EQ(refusal(at("ro")), at("ro").string() + " is read-only");
  EXPECT_EQ(_dir.readFile("ro"), "old");
  EXPECT_EQ(refusal(at("ro"), CFileReplacement::REPLACE_READ_ONLY), "");
  EXPECT_EQ(_dir.readFile("ro"), "new");
  EXPECT_EQ(modeOf(at("ro")), 0444u);
}

TEST_F(FileReplacement, ADiscardedOrFailedReplacementLeavesEverythingAsItWas) {
  _dir.writeFile("kept", "old");
  {
    CFileReplacement out(CFile(at("kept").wstring()));
    out.write("new", 3);
  }
  {
    CFileReplacement out(CFile(at("kept").wstring()));
    out.write("new", 3);
    out.discard();
    EXPECT_THROW(out.write("x", 1), qel::IOException);
    EXPECT_THROW(out.commit(), qel::IOException);
  }
  EXPECT_EQ(_dir.readFile("kept"), "old");
  EXPECT_EQ(entries(_dir.path()), std::vector<std::string>{"kept"});
  try {
    replace(at("missing/file"), "x");
    ADD_FAILURE() << "a missing directory was not reported";
  } catch (const qel::FileNotFoundException& e) {
    EXPECT_EQ(qel::CWin32Helper::toUTF8(e.getMessage()),
              at("missing/file").string() + ": No such file or directory");
  }
  EXPECT_FALSE(fs::exists(at("missing")));
}

// A small file system of its own, where mounting is allowed.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const fs::path& where) : _where(where) {
    fs::create_directory(where);
    _mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=64k") == 0;
  }
  ~SmallFileSystem() {
    if (_mounted) {
      ::umount(_where.c_str());
    }
  }
  bool mounted() const { return _mounted; }

 private:
  fs::path _where;
  bool _mounted = false;
};

TEST_F(FileReplacement, AFullDiskOrAFileSizeLimitKeepsTheOldFile) {
  {
    const SmallFileSystem small(at("small"));
    if (small.mounted()) {
      replace(at("small/file"), "old");
      const std::string big(200 * 1024, 'x');
      std::string message;
      try {
        replace(at("small/file"), big);
      } catch (const qel::IOException& e) {
        message = qel::CWin32Helper::toUTF8(e.getMessage());
      }
      EXPECT_EQ(message, at("small/file").string() + ": No space left on device");
      EXPECT_EQ(_dir.readFile("small/file"), "old");
      EXPECT_EQ(entries(at("small")), std::vector<std::string>{"file"});
    } else {
      std::printf("[ skipped  ] no tmpfs could be mounted for the full disk\n");
    }
  }

  // Under a file size limit the write fails with the reason; the process
  // is not ended by SIGXFSZ.
  _dir.writeFile("limited", "old");
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const struct rlimit limit = {16 * 1024, 16 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const std::string message = refusal(at("limited")) + refusal(at("limited"));
    std::string failure;
    try {
      replace(at("limited"), std::string(100 * 1024, 'x'));
    } catch (const qel::IOException& e) {
      failure = qel::CWin32Helper::toUTF8(e.getMessage());
    }
    ::_exit(message.empty() && failure == at("limited").string() + ": File too large" ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(_dir.readFile("limited"), "new");
  EXPECT_EQ(entries(_dir.path()), (std::vector<std::string>{"limited", "small"}));
}

}  // namespace
