// A file replaced whole: what the new file inherits, where it is made, which
// targets are refused, and what a failure leaves.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"
#include "support/FaultyFileSystem.h"
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
std::string refusal(const fs::path& target, int flags = 0, const std::string& content = "new") {
  try {
    replace(target, content, flags);
  } catch (const qel::CException& e) {
    return qel::CWin32Helper::toUTF8(e.getMessage());
  }
  return "";
}

unsigned modeOf(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

TEST_F(FileReplacement, KeepsTheModeTheOwnerAndTheSetIdBits) {
  for (const unsigned mode : {0600u, 0640u, 0755u, 0604u}) {
    _dir.writeFile("kept", "old");
    ::chmod(at("kept").c_str(), mode);
    replace(at("kept"), "new");
    EXPECT_EQ(_dir.readFile("kept"), "new");
    EXPECT_EQ(modeOf(at("kept")), mode);
  }
  if (::geteuid() != 0) {
    GTEST_SKIP() << "giving files away needs the superuser";
  }
  // The set-id bits survive the change of owner that the commit makes.
  for (const unsigned mode : {0640u, 06755u}) {
    ASSERT_EQ(::chown(at("kept").c_str(), 12345, 23456), 0);
    ASSERT_EQ(::chmod(at("kept").c_str(), mode), 0);
    replace(at("kept"), "again");
    struct stat st;
    ASSERT_EQ(::stat(at("kept").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 12345u);
    EXPECT_EQ(st.st_gid, 23456u);
    EXPECT_EQ(st.st_mode & 07777, mode);
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

  // A socket is no stream to write to.
  const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", at("socket").c_str());
  ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  for (const int flags : {0, static_cast<int>(CFileReplacement::STREAM_SPECIAL_FILES)}) {
    EXPECT_EQ(refusal(at("socket"), flags), at("socket").string() + " is not a regular file");
  }
  ::close(socket);
  EXPECT_TRUE(fs::is_socket(at("socket")));
  EXPECT_EQ(entries(_dir.path()), (std::vector<std::string>{"dir", "fifo", "socket", "to-fifo"}));
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
  bool makeReadOnly() const {
    return ::mount("tmpfs", _where.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k") == 0;
  }

 private:
  fs::path _where;
  bool _mounted = false;
};

TEST_F(FileReplacement, AFullDiskKeepsTheOldFile) {
  const SmallFileSystem small(at("small"));
  if (!small.mounted()) {
    GTEST_SKIP() << "no tmpfs could be mounted for the full disk";
  }
  replace(at("small/file"), "old");
  EXPECT_EQ(refusal(at("small/file"), 0, std::string(200 * 1024, 'x')),
            at("small/file").string() + ": No space left on device");
  EXPECT_EQ(_dir.readFile("small/file"), "old");
  EXPECT_EQ(entries(at("small")), std::vector<std::string>{"file"});
}

TEST_F(FileReplacement, ALinkToAnotherFileSystemReplacesTheFileWhereItLies) {
  const SmallFileSystem other(at("other"));
  if (!other.mounted()) {
    GTEST_SKIP() << "no tmpfs could be mounted for a second file system";
  }
  _dir.writeFile("other/far", "old");
  _dir.writeFile("near", "old");
  fs::create_symlink(at("other/far"), at("to-far"));
  fs::create_symlink("../near", at("other/to-near"));
  fs::create_symlink("../made", at("other/to-made"));
  const char* const cases[][2] = {
      {"to-far", "other/far"}, {"other/to-near", "near"}, {"other/to-made", "made"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    EXPECT_EQ(refusal(at(c[0])), "");
    EXPECT_EQ(_dir.readFile(c[1]), "new");
    EXPECT_TRUE(fs::is_symlink(at(c[0])));
  }
  EXPECT_EQ(entries(_dir.path()), (std::vector<std::string>{"made", "near", "other", "to-far"}));
  EXPECT_EQ(entries(at("other")), (std::vector<std::string>{"far", "to-made", "to-near"}));
}

// Runs check in a child process and gives what it returns ("" when all is
// well).  With hideProc the child's /proc is covered by an empty file system
// in a mount namespace of its own: no unnamed file can then be given a name
// at the commit, and replacements are written to named temporary files.
// "skip" when that cannot be arranged.
std::string inChild(bool hideProc, const std::function<std::string()>& check) {
  int channel[2];
  if (::pipe(channel) != 0) {
    return "no pipe";
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    std::string result = "skip";
    if (!hideProc || (::unshare(CLONE_NEWNS) == 0 &&
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      ::mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") == 0)) {
      try {
        result = check();
      } catch (const qel::CException& e) {
        result = "threw " + qel::CWin32Helper::toUTF8(e.getMessage());
      }
    }
    ::_exit(::write(channel[1], result.data(), result.size()) < 0 ? 2 : 0);
  }
  ::close(channel[1]);
  std::string result;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) {
    result.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(channel[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) {
    return "no child";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "the child ended with status " + std::to_string(status) + " after: " + result;
  }
  return result;
}

// What replacing the file and a new one in directory throws, unless it is
// reason, and whether anything changed there.
std::string unwritable(const fs::path& directory, const std::string& reason) {
  std::string problems;
  for (const char* name : {"file", "new"}) {
    const std::string message = refusal(directory / name);
    if (message != (directory / name).string() + reason) {
      problems += message + "; ";
    }
  }
  if (contentOf(directory / "file") != "old" ||
      entries(directory) != std::vector<std::string>{"file"}) {
    problems += "the directory changed";
  }
  return problems;
}

TEST_F(FileReplacement, ADirectoryThatCannotBeWrittenGivesTheSystemsReason) {
  fs::create_directory(at("locked"));
  _dir.writeFile("locked/file", "old");
  ::chmod(at("locked").c_str(), 0555);
  // The superuser may write any directory: another user tries it.
  EXPECT_EQ(inChild(false,
                    [this] {
                      if (::geteuid() == 0 && (::setgid(12345) != 0 || ::setuid(12345) != 0)) {
                        return std::string("no other user");
                      }
                      return unwritable(at("locked"), ": Permission denied");
                    }),
            "");

  // No one may write a read-only file system.
  const SmallFileSystem small(at("ro"));
  if (!small.mounted()) {
    GTEST_SKIP() << "no tmpfs could be mounted to be made read-only";
  }
  _dir.writeFile("ro/file", "old");
  ASSERT_TRUE(small.makeReadOnly());
  EXPECT_EQ(unwritable(at("ro"), ": Read-only file system"), "");
}

// Replaces files behind a link into another directory, discards, and fails,
// and tells what is wrong: whether the new file has a name while it is
// written (named), where it lies, and what is left afterwards.
std::string checkReplacements(const fs::path& dir, bool named) {
  std::string problems;
  auto expect = [&problems](bool ok, const std::string& what) {
    if (!ok) {
      problems += what + "; ";
    }
  };
  const fs::path real = dir / "real";
  const fs::path link = dir / "links" / "file";
  fs::create_directories(real);
  fs::create_directories(dir / "links");
  replace(real / "file", "old");
  ::chmod((real / "file").c_str(), 0640);
  fs::create_symlink("../real/file", link);

  std::vector<std::string> temporaries;
  {
    qel_test::FaultScope faults;
    qel_test::FaultyFileSystem::plan().beforeCommit = [&] {
      for (const std::string& name : entries(real)) {
        if (name != "file") {
          temporaries.push_back(name);
          expect(name.rfind(".file.", 0) == 0 && name.size() > 10 &&
                     name.compare(name.size() - 4, 4, ".tmp") == 0,
                 "temporary name " + name);
          expect(modeOf(real / name) == 0600,
                 "temporary mode " + std::to_string(modeOf(real / name)));
        }
      }
      expect(entries(dir / "links") == std::vector<std::string>{"file"},
             "an entry beside the link");
    };
    replace(link, "first");
    replace(link, "second");
  }
  expect(temporaries.size() == (named ? 2u : 0u),
         std::to_string(temporaries.size()) + " temporaries seen");
  expect(temporaries.size() < 2 || temporaries[0] != temporaries[1], "the same name twice");
  expect(contentOf(real / "file") == "second" && modeOf(real / "file") == 0640,
         "the replaced file");
  expect(fs::is_symlink(link), "the link is gone");

  for (const bool discard : {false, true}) {
    CFileReplacement out(CFile(link.wstring()));
    out.write("x", 1);
    expect(entries(real).size() == (named ? 2u : 1u), "the new file while written");
    if (discard) {
      out.discard();
    }
  }
  // A name as long as names get still leaves room for the temporary's.
  const std::string longName(255, 'n');
  replace(real / longName, "1");
  replace(real / longName, "2");
  expect(fs::file_size(real / longName) == 1, "the file of the longest name");
  fs::remove(real / longName);

  ::umask(027);
  replace(real / "fresh", "new");
  expect(modeOf(real / "fresh") == 0640, "a new file's mode");

  // Under a file size limit the write fails with the reason, not by SIGXFSZ,
  // whether the limit is met while writing or at the commit, and the new
  // file goes.
  const struct rlimit limit = {16 * 1024, 16 * 1024};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  replace(link, "small");
  for (const std::size_t size : {100u * 1024u, 600u * 1024u}) {
    const std::string message = refusal(link, 0, std::string(size, 'x'));
    expect(message == link.string() + ": File too large", std::to_string(size) + ": " + message);
  }
  expect(contentOf(real / "file") == "small", "the file after the failures");
  expect(entries(real) == (std::vector<std::string>{"file", "fresh"}), "entries left behind");
  return problems;
}

TEST_F(FileReplacement, NamedOrUnnamedTheNewFileIsPrivateBesideTheRealOneAndLeavesNothing) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    const fs::path dir = at(named ? "named" : "unnamed");
    const std::string result = inChild(named, [&] { return checkReplacements(dir, named); });
    if (result == "skip") {
      GTEST_SKIP() << "/proc could not be hidden in a mount namespace";
    }
    EXPECT_EQ(result, "");
  }
}

}  // namespace
