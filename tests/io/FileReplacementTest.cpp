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
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/StringHelper.h"
#include "qel/io/FileReplacement.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using qel::CFileReplacement;
using Names = std::vector<std::string>;
constexpr int kStream = CFileReplacement::STREAM_SPECIAL_FILES;

void replace(const fs::path& target, const std::string& content, int flags = 0) {
  CFileReplacement out(qel::CFile(target.wstring()), flags);
  out.write(content.data(), content.size());
  out.commit();
}

// The same in pieces of 64 KiB, as an archive writes.
void replaceInPieces(const fs::path& target, const std::string& content) {
  CFileReplacement out(qel::CFile(target.wstring()));
  for (std::size_t at = 0; at < content.size(); at += 64 * 1024) {
    out.write(content.data() + at, std::min<std::size_t>(64 * 1024, content.size() - at));
  }
  out.commit();
}

// The message of what replacing target throws, or "" when nothing is thrown.
std::string refusal(const fs::path& target, int flags = 0, const std::string& content = "new") {
  const qel_test::Failure failure = qel_test::failureOf([&] { replace(target, content, flags); });
  return qel::CWin32Helper::toUTF8(failure.message);
}

unsigned modeOf(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// What replacing the file and a new one in directory throws, unless it is
// reason, and whether anything changed there.
std::string unwritable(const fs::path& directory, const std::string& reason) {
  std::string problems;
  for (const char* name : {"file", "new"}) {
    const std::string message = refusal(directory / name);
    problems += message == (directory / name).string() + reason ? "" : message + "; ";
  }
  const bool same = qel_test::contentOf(directory / "file") == "old" &&
                    qel_test::namesIn(directory) == Names{"file"};
  return problems + (same ? "" : "the directory changed");
}

class FileReplacement : public ::testing::Test {
 protected:
  fs::path at(const std::string& name) const { return _dir.path() / name; }
  qel_test::TempDir _dir;
};

// A large file is written on a thread of its own once it passes a few
// megabytes, while the caller gathers the next pieces.
using FileReplacementConcurrency = FileReplacement;

TEST_F(FileReplacementConcurrency, ALargeFileWrittenOnAThreadOfItsOwnArrivesWhole) {
  std::string large(20 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>(i * 13 % 253);
  }
  replaceInPieces(at("large"), large);
  EXPECT_TRUE(qel_test::contentOf(at("large")) == large);
  {
    // Given up before the commit, it leaves nothing behind.
    CFileReplacement out(qel::CFile(at("large").wstring()));
    for (int i = 0; i < 200; ++i) {
      out.write(large.data(), 64 * 1024);
    }
    out.discard();
  }
  EXPECT_TRUE(qel_test::contentOf(at("large")) == large);
  EXPECT_EQ(qel_test::namesIn(_dir.path()), Names{"large"});
}

TEST_F(FileReplacement, KeepsTheModeTheOwnerAndTheSetIdBits) {
  for (const unsigned mode : {0600u, 0640u, 0755u, 0604u, 0444u}) {
    _dir.writeFile("kept", "old");
    ::chmod(at("kept").c_str(), mode);
    replace(at("kept"), "new", CFileReplacement::REPLACE_READ_ONLY);
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
    EXPECT_EQ(st.st_uid * 100000 + st.st_gid, 12345u * 100000 + 23456u);
    EXPECT_EQ(st.st_mode & 07777, mode);
  }
}

TEST_F(FileReplacement, FollowsLinksToTheFileTheyNameAndKeepsThem) {
  fs::create_directories(at("real"));
  fs::create_directories(at("links"));
  _dir.writeFile("real/file", "old");
  fs::create_symlink("../real/file", at("links/relative"));
  fs::create_symlink(at("real/file"), at("absolute"));
  fs::create_symlink("links/relative", at("chain"));
  fs::create_symlink("made", at("links/dangling"));  // creates the file beside it
  const char* const kLinks[][2] = {{"links/relative", "real/file"},
                                   {"absolute", "real/file"},
                                   {"chain", "real/file"},
                                   {"links/dangling", "links/made"}};
  for (const auto& link : kLinks) {
    replace(at(link[0]), link[0]);
    EXPECT_EQ(_dir.readFile(link[1]), link[0]);
    EXPECT_TRUE(fs::is_symlink(at(link[0]))) << link[0];
  }
  EXPECT_EQ(qel_test::namesIn(at("links")), (Names{"dangling", "made", "relative"}));
  EXPECT_EQ(qel_test::namesIn(at("real")), Names{"file"});
}

TEST_F(FileReplacement, RefusesWhatItCannotReplaceAndStreamsIntoSpecialFilesOnlyWhenAllowed) {
  fs::create_directory(at("dir"));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  fs::create_symlink("fifo", at("to-fifo"));
  fs::create_symlink("loop2", at("loop1"));
  fs::create_symlink("loop1", at("loop2"));
  _dir.writeFile("ro", "old");
  ::chmod(at("ro").c_str(), 0444);
  const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", at("socket").c_str());
  ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string in = _dir.str() + "/";
  const struct {
    std::string target;
    int flags;
    std::string message;
  } kCases[] = {{in + "dir", 0, in + "dir is a directory"},
                {in + "fifo", 0, in + "fifo is not a regular file"},
                {in + "to-fifo", 0, in + "to-fifo is not a regular file"},
                {"/dev/null", 0, "/dev/null is not a regular file"},
                {in + "socket", 0, in + "socket is not a regular file"},
                {in + "socket", kStream, in + "socket is not a regular file"},
                {in + "ro", 0, in + "ro is read-only"},
                {in + "loop1", 0, in + "loop1: Too many levels of symbolic links"},
                {"/dev/full", kStream, "/dev/full: No space left on device"},
                {in + "no/file", 0, in + "no/file: No such file or directory"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(refusal(c.target, c.flags), c.message);
  }
  ::close(socket);
  EXPECT_THROW(replace(at("no/file"), "x"), qel::FileNotFoundException);
  std::string received;
  std::thread reader([&] { received = qel_test::contentOf(at("fifo")); });
  replace(at("to-fifo"), std::string(300 * 1024, 'x'), kStream);
  reader.join();
  EXPECT_EQ(received, std::string(300 * 1024, 'x'));
  EXPECT_EQ(refusal("/dev/null", kStream), "");
  EXPECT_TRUE(fs::is_fifo(at("fifo")) && fs::is_socket(at("socket")));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  // A discarded replacement takes no more writes and changes nothing.
  CFileReplacement out(qel::CFile(at("ro").wstring()), CFileReplacement::REPLACE_READ_ONLY);
  out.write("new", 3);
  out.discard();
  EXPECT_THROW(out.write("x", 1), qel::IOException);
  EXPECT_THROW(out.commit(), qel::IOException);
  EXPECT_EQ(_dir.readFile("ro"), "old");
  EXPECT_EQ(qel_test::namesIn(_dir.path()),
            (Names{"dir", "fifo", "loop1", "loop2", "ro", "socket", "to-fifo"}));
}

TEST_F(FileReplacement, OnAnotherFileSystemLinksReplaceWhereTheFileLiesAndFailuresKeepIt) {
  const fs::path other = at("other");
  fs::create_directory(other);
  if (::mount("tmpfs", other.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "no tmpfs could be mounted for a second file system";
  }
  const std::unique_ptr<const char, void (*)(const char*)> unmount(
      other.c_str(), [](const char* where) { ::umount(where); });
  _dir.writeFile("other/file", "old");
  _dir.writeFile("near", "old");
  fs::create_symlink(at("other/file"), at("to-far"));
  fs::create_symlink("../near", at("other/to-near"));
  fs::create_symlink("../made", at("other/to-made"));
  const char* const kLinks[][2] = {
      {"to-far", "other/file"}, {"other/to-near", "near"}, {"other/to-made", "made"}};
  for (const auto& link : kLinks) {
    EXPECT_EQ(refusal(at(link[0])), "");
    EXPECT_EQ(_dir.readFile(link[1]), "new");
    EXPECT_TRUE(fs::is_symlink(at(link[0]))) << link[0];
  }
  EXPECT_EQ(qel_test::namesIn(_dir.path()), (Names{"made", "near", "other", "to-far"}));
  fs::remove(at("other/to-near"));
  fs::remove(at("other/to-made"));
  // A full disk and then a read-only one keep the old file.
  EXPECT_EQ(refusal(at("other/file"), 0, std::string(200 * 1024, 'x')),
            at("other/file").string() + ": No space left on device");
  EXPECT_EQ(_dir.readFile("other/file"), "new");
  EXPECT_EQ(qel_test::namesIn(other), Names{"file"});
  _dir.writeFile("other/file", "old");
  ASSERT_EQ(::mount("tmpfs", other.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k"), 0);
  EXPECT_EQ(unwritable(other, ": Read-only file system"), "");
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
    std::string result = "skip";
    if (!hideProc || (::unshare(CLONE_NEWNS) == 0 &&
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      ::mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") == 0)) {
      const qel_test::Failure failure = qel_test::failureOf([&] { result = check(); });
      result += failure.thrown ? "threw " + qel::CWin32Helper::toUTF8(failure.message) : "";
    }
    ::_exit(::write(channel[1], result.data(), result.size()) < 0 ? 2 : 0);
  }
  ::close(channel[1]);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
    result.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(channel[0]);
  int status = 0;
  const bool ended = child > 0 && ::waitpid(child, &status, 0) == child;
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result : "failed: " + result;
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
}

// Replaces files behind a link into another directory, discards, and fails,
// and tells what is wrong: whether the new file has a name while it is
// written (named), where it lies, and what is left afterwards.
std::string checkReplacements(const fs::path& dir, bool named) {
  std::string problems;
  auto expect = [&problems](bool ok, const std::string& what) {
    problems += ok ? "" : what + "; ";
  };
  const fs::path real = dir / "real";
  const fs::path link = dir / "links" / "file";
  fs::create_directories(real);
  fs::create_directories(dir / "links");
  replace(real / "file", "old");
  ::chmod((real / "file").c_str(), 0640);
  fs::create_symlink("../real/file", link);
  Names temporaries;
  {
    qel_test::FaultScope faults;
    qel_test::FaultyFileSystem::plan().beforeCommit = [&] {
      for (const std::string& name : qel_test::namesIn(real)) {
        if (name != "file") {
          temporaries.push_back(name);
          expect(name.rfind(".file.", 0) == 0 && name.size() > 10 &&
                     name.compare(name.size() - 4, 4, ".tmp") == 0,
                 "temporary name " + name);
          expect(modeOf(real / name) == 0600, "temporary mode");
        }
      }
      expect(qel_test::namesIn(dir / "links") == Names{"file"}, "an entry beside the link");
    };
    replace(link, "first");
    replace(link, "second");
  }
  expect(temporaries.size() == (named ? 2u : 0u), std::to_string(temporaries.size()) + " seen");
  expect(temporaries.size() < 2 || temporaries[0] != temporaries[1], "the same name twice");
  expect(qel_test::contentOf(real / "file") == "second" && modeOf(real / "file") == 0640,
         "the file");
  expect(fs::is_symlink(link), "the link is gone");
  for (const bool discard : {false, true}) {
    CFileReplacement out(qel::CFile(link.wstring()));
    out.write("x", 1);
    expect(qel_test::namesIn(real).size() == (named ? 2u : 1u), "the new file while written");
    if (discard) {
      out.discard();
    }
  }
  // A name as long as names get still leaves room for the temporary's.
  const std::string longName(255, 'n');
  replace(real / longName, "1");
  replace(real / longName, "2");
  expect(qel_test::contentOf(real / longName) == "2", "the file of the longest name");
  fs::remove(real / longName);
  ::umask(027);
  replace(real / "fresh", "new");
  expect(modeOf(real / "fresh") == 0640, "a new file's mode");
  // A large file is written on a thread of its own once it passes a few
  // megabytes: a failure there (the size limit, met by that thread without
  // a signal) is the commit's.
  std::string large(12 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>(i * 7 % 251);
  }
  replaceInPieces(link, large);
  expect(qel_test::contentOf(real / "file") == large, "the large file");
  const struct rlimit tenMegabytes = {10 * 1024 * 1024, 10 * 1024 * 1024};
  ::setrlimit(RLIMIT_FSIZE, &tenMegabytes);
  const std::string tooLarge =
      qel::CWin32Helper::toUTF8(qel_test::failureOf([&] { replaceInPieces(link, large); }).message);
  expect(tooLarge == link.string() + ": File too large", "12 MiB: " + tooLarge);
  expect(qel_test::contentOf(real / "file") == large, "the large file after the failure");
  // Under a file size limit the write fails with the reason, not by SIGXFSZ,
  // whether the limit is met while writing or at the commit.
  const struct rlimit limit = {16 * 1024, 16 * 1024};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  replace(link, "small");
  for (const std::size_t size : {100u * 1024u, 600u * 1024u}) {
    const std::string message = refusal(link, 0, std::string(size, 'x'));
    expect(message == link.string() + ": File too large", std::to_string(size) + ": " + message);
  }
  expect(qel_test::contentOf(real / "file") == "small", "the file after the failures");
  expect(qel_test::namesIn(real) == (Names{"file", "fresh"}), "entries left behind");
  return problems;
}

TEST_F(FileReplacement, NamedOrUnnamedTheNewFileIsPrivateBesideTheRealOneAndLeavesNothing) {
  for (const bool named : {false, true}) {
    const fs::path dir = at(named ? "named" : "unnamed");
    const std::string result = inChild(named, [&] { return checkReplacements(dir, named); });
    if (result == "skip") {
      GTEST_SKIP() << "/proc could not be hidden in a mount namespace";
    }
    EXPECT_EQ(result, "") << (named ? "named" : "unnamed");
  }
}

}  // namespace
