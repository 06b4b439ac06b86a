// Disk operations through the native front end, inside a temporary directory.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/io/PosixFileSystem.h"
#include "support/OpenFlags.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace {

using qel::CFileDescriptor;
using qel::CFileSystem;
using qel::CPosixFileSystem;
using qel::FileNotFoundException;
using qel::IOException;
using qel::SmartPtr;
using qel_test::messageOf;

class HostFileSystem : public ::testing::Test {
 protected:
  qel_test::TempDir dir;
  SmartPtr<CFileSystem> fs{new CPosixFileSystem};

  std::wstring path(const std::string& name) const { return dir.wpath(name); }

  SmartPtr<CFileDescriptor> open(const std::wstring& file, int access,
                                 CFileSystem::CreationFlag creation, int attributes = 0) {
    return fs->openFile(file, access, creation, attributes);
  }

  std::string readAll(const std::wstring& file) {
    SmartPtr<CFileDescriptor> d =
        open(file, CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING);
    std::string content;
    unsigned char buffer[7];
    for (std::uint32_t n; (n = fs->readFile(d.get(), buffer, sizeof(buffer))) > 0;) {
      content.append(reinterpret_cast<char*>(buffer), n);
    }
    return content;
  }

  void write(const SmartPtr<CFileDescriptor>& d, const std::string& text) {
    ASSERT_EQ(text.size(),
              fs->writeFile(d.get(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<std::uint32_t>(text.size())));
  }
};

TEST_F(HostFileSystem, EachCreationFlagOpensTruncatesAppendsOrRefuses) {
  using FS = CFileSystem;
  // A missing file opens as nothing; a missing directory throws.
  EXPECT_FALSE(open(path("missing"), FS::ACCESS_READ, FS::CF_OPEN_EXISTING));
  EXPECT_EQ(path("no/such/file"), messageOf<FileNotFoundException>([&] {
              open(path("no/such/file"), FS::ACCESS_READ, FS::CF_OPEN_EXISTING);
            }));
  dir.writeFile("f", "old contents");
  EXPECT_EQ(path("f") + L" Already exist.",
            messageOf<IOException>([&] { open(path("f"), FS::ACCESS_WRITE, FS::CF_CREATE_NEW); }));
  EXPECT_EQ("old contents", dir.readFile("f"));
  write(open(path("f"), FS::ACCESS_WRITE, FS::CF_OPEN_EXISTING), "OLD");
  EXPECT_EQ("OLD contents", dir.readFile("f"));
  write(open(path("f"), FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS), "new");
  EXPECT_EQ("new", dir.readFile("f"));
  write(open(path("f"), FS::ACCESS_WRITE, FS::CF_OPEN_APPEND), "+more");
  EXPECT_EQ("new+more", dir.readFile("f"));
  write(open(path("g"), FS::ACCESS_WRITE, FS::CF_OPEN_APPEND), "fresh");
  EXPECT_EQ("fresh", dir.readFile("g"));
}

TEST_F(HostFileSystem, UnknownCreationFlagThrowsIOException) {
  EXPECT_EQ(path("f"), messageOf<IOException>([&] {
              open(path("f"), CFileSystem::ACCESS_WRITE, static_cast<CFileSystem::CreationFlag>(7));
            }));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "f"));
}

TEST_F(HostFileSystem, ReadsInPiecesAndReturnsZeroAtEnd) {
  dir.writeFile("f", "0123456789abcdefghij");
  EXPECT_EQ("0123456789abcdefghij", readAll(path("f")));
  SmartPtr<CFileDescriptor> d =
      open(path("f"), CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING);
  unsigned char buffer[64];
  EXPECT_EQ(20u, fs->readFile(d.get(), buffer, sizeof(buffer)));
  EXPECT_EQ(0u, fs->readFile(d.get(), buffer, sizeof(buffer)));
}

TEST_F(HostFileSystem, AttributeFlags) {
  dir.writeFile("plain", "x");
  std::filesystem::create_directory(dir.path() / "sub");
  EXPECT_EQ(0, fs->getFileAttributeFlags(path("missing")));
  EXPECT_EQ(3, fs->getFileAttributeFlags(path("plain")));
  EXPECT_EQ(5, fs->getFileAttributeFlags(path("sub")));
  fs->setReadOnly(path("plain"), true);
  EXPECT_EQ(19, fs->getFileAttributeFlags(path("plain")));
  fs->setReadOnly(path("plain"), false);
  EXPECT_EQ(3, fs->getFileAttributeFlags(path("plain")));
  dir.writeFile(".dot", "x");
  EXPECT_EQ(11, fs->getFileAttributeFlags(path(".dot")));
}

TEST_F(HostFileSystem, ReadOnlyAndHiddenRequestedAtCreation) {
  // The hidden bit is kept in an extended attribute where the file system
  // has them; a dot name is hidden everywhere.
  open(path(".both"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS, 24);
  EXPECT_EQ(27, fs->getFileAttributeFlags(path(".both")));
  open(path("ro"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_NEW, 16);
  EXPECT_EQ(19, fs->getFileAttributeFlags(path("ro")));
  // Attributes are read only at creation.
  open(path("app"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_OPEN_APPEND, 16);
  EXPECT_EQ(3, fs->getFileAttributeFlags(path("app")));
}

TEST_F(HostFileSystem, ReadOnlyFileRefusesWritingEvenToTheSuperuser) {
  dir.writeFile("ro", "keep");
  fs->setReadOnly(path("ro"), true);
  EXPECT_FALSE(fs->checkAccess(path("ro"), CFileSystem::ACCESS_WRITE));
  EXPECT_TRUE(fs->checkAccess(path("ro"), CFileSystem::ACCESS_READ));
  EXPECT_EQ(path("ro"), messageOf<IOException>([&] {
              open(path("ro"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS);
            }));
  EXPECT_EQ(path("ro"), messageOf<IOException>([&] { fs->deleteFile(path("ro")); }));
  EXPECT_EQ("keep", dir.readFile("ro"));
  EXPECT_EQ("keep", readAll(path("ro")));
  EXPECT_FALSE(fs->checkAccess(path("missing"), CFileSystem::ACCESS_READ));
  EXPECT_FALSE(fs->checkAccess(path("missing"), CFileSystem::ACCESS_WRITE));
}

TEST_F(HostFileSystem, LengthAndTimeStamps) {
  dir.writeFile("f", std::string(1234, 'x'));
  EXPECT_EQ(1234u, fs->getLength(path("f")));
  const qel::CDateTime modified = fs->getModificationDate(path("f"));
  EXPECT_TRUE(modified.isGMTTime());
  EXPECT_TRUE(modified.isValid());
  const qel::CDateTime now = qel::CDateTime::GetSystemTime();
  EXPECT_LE(modified.getJD(), now.getJD());
  EXPECT_GE(modified.getJD() + 1, now.getJD());
  EXPECT_TRUE(fs->getCreationDate(path("f")).isGMTTime());
  const std::wstring missing = path("missing");
  EXPECT_EQ(missing, messageOf<FileNotFoundException>([&] { fs->getLength(missing); }));
  EXPECT_EQ(missing, messageOf<FileNotFoundException>([&] { fs->getModificationDate(missing); }));
  EXPECT_EQ(missing, messageOf<FileNotFoundException>([&] { fs->getCreationDate(missing); }));
}

TEST_F(HostFileSystem, DeleteFilesAndDirectories) {
  dir.writeFile("f", "x");
  std::filesystem::create_directories(dir.path() / "full" / "inner");
  std::filesystem::create_directory(dir.path() / "empty");
  fs->deleteFile(path("f"));
  fs->deleteFile(path("empty"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "f"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "empty"));
  EXPECT_EQ(path("full"), messageOf<IOException>([&] { fs->deleteFile(path("full")); }));
  EXPECT_EQ(path("missing"),
            messageOf<FileNotFoundException>([&] { fs->deleteFile(path("missing")); }));
}

TEST_F(HostFileSystem, CreateDirectoryOneLevelOnly) {
  fs->createDirectory(path("a"));
  EXPECT_EQ(5, fs->getFileAttributeFlags(path("a")));
  // An existing directory is not "file exists": a plain IOException.
  const std::wstring message = messageOf<IOException>([&] { fs->createDirectory(path("a")); });
  EXPECT_EQ(path("a"), message);
  EXPECT_EQ(path("x/y"),
            messageOf<FileNotFoundException>([&] { fs->createDirectory(path("x/y")); }));
}

TEST_F(HostFileSystem, ListDirectoryAppendsBareNamesWithoutDots) {
  dir.writeFile("one.txt", "1");
  dir.writeFile("two.log", "2");
  std::filesystem::create_directory(dir.path() / "sub");
  std::list<std::wstring> names{L"kept"};
  fs->listDirectory(dir.wstr(), L"*", names);
  ASSERT_EQ(4u, names.size());
  EXPECT_EQ(L"kept", names.front());
  std::vector<std::wstring> sorted(std::next(names.begin()), names.end());
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ((std::vector<std::wstring>{L"one.txt", L"sub", L"two.log"}), sorted);

  std::list<std::wstring> filtered;
  fs->listDirectory(dir.wstr(), L"*.txt", filtered);
  EXPECT_EQ((std::list<std::wstring>{L"one.txt"}), filtered);

  std::list<std::wstring> none{L"x"};
  fs->listDirectory(path("missing"), L"*", none);
  EXPECT_EQ((std::list<std::wstring>{L"x"}), none);
}

TEST_F(HostFileSystem, RenameReallyRenamesAndReplaces) {
  dir.writeFile("a", "first");
  dir.writeFile("b", "second");
  fs->rename(path("a"), path("b"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a"));
  EXPECT_EQ("first", dir.readFile("b"));
  EXPECT_EQ(L"CPosixFileSystem::rename",
            messageOf<FileNotFoundException>([&] { fs->rename(path("a"), path("c")); }));
}

TEST_F(HostFileSystem, DescriptorClosesOnceAndReportsUseAfterClose) {
  dir.writeFile("f", "abc");
  SmartPtr<CFileDescriptor> d =
      open(path("f"), CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING);
  EXPECT_EQ(fs.get(), d->getFileSystem().get());
  d->close();
  unsigned char buffer[4];
  EXPECT_EQ(L"CPosixFileSystem::readFile",
            messageOf<IOException>([&] { fs->readFile(d.get(), buffer, 4); }));
  EXPECT_EQ(L"CPosixFileSystem::closeFile", messageOf<IOException>([&] { d->close(); }));
}

TEST_F(HostFileSystem, WritesGoThroughEachWriteOrAllAtClose) {
  // A plain writing descriptor writes every block through; one opened
  // durable at close does not, and its data is complete after close.
  SmartPtr<CFileDescriptor> plain =
      open(path("plain"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS);
  const int plainFlags = qel_test::openFlagsOf(dir.path() / "plain");
  ASSERT_NE(-1, plainFlags);
  EXPECT_EQ(O_DSYNC, plainFlags & O_DSYNC);
  plain->close();

  SmartPtr<CFileDescriptor> later =
      open(path("later"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS,
           CFileSystem::OF_DURABLE_AT_CLOSE | CFileSystem::FA_READONLY);
  const int laterFlags = qel_test::openFlagsOf(dir.path() / "later");
  ASSERT_NE(-1, laterFlags);
  EXPECT_EQ(0, laterFlags & O_DSYNC);
  write(later, "first ");
  write(later, "second");
  later->close();
  EXPECT_EQ(-1, qel_test::openFlagsOf(dir.path() / "later"));
  EXPECT_EQ("first second", dir.readFile("later"));
  // The attributes given with the flag still apply.
  EXPECT_NE(0, fs->getFileAttributeFlags(path("later")) & CFileSystem::FA_READONLY);
  EXPECT_EQ(L"CPosixFileSystem::closeFile", messageOf<IOException>([&] { later->close(); }));

  // Many writes, more than are gathered at once, arrive whole and in order.
  SmartPtr<CFileDescriptor> big =
      open(path("big"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS,
           CFileSystem::OF_DURABLE_AT_CLOSE);
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    const std::string block(4096 + i % 7, static_cast<char>('a' + i % 26));
    write(big, block);
    expected += block;
  }
  big->close();
  EXPECT_EQ(expected, dir.readFile("big"));

  // A descriptor that also reads sees what was written before.
  dir.writeFile("both", "first second");
  SmartPtr<CFileDescriptor> both =
      open(path("both"), CFileSystem::ACCESS_READ | CFileSystem::ACCESS_WRITE,
           CFileSystem::CF_OPEN_EXISTING, CFileSystem::OF_DURABLE_AT_CLOSE);
  write(both, "FIRST");
  unsigned char rest[16];
  const std::uint32_t n = fs->readFile(both.get(), rest, sizeof(rest));
  EXPECT_EQ(" second", std::string(reinterpret_cast<char*>(rest), n));
  both->close();
  EXPECT_EQ("FIRST second", dir.readFile("both"));

  // Reading is unaffected by the flag.
  SmartPtr<CFileDescriptor> reader =
      open(path("later"), CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING,
           CFileSystem::OF_DURABLE_AT_CLOSE);
  unsigned char buffer[16];
  EXPECT_EQ(12u, fs->readFile(reader.get(), buffer, sizeof(buffer)));
}

TEST_F(HostFileSystem, SequentialReadingGivesTheSameBytesInAnyPieces) {
  std::string content;
  for (int i = 0; i < 700000; ++i) {
    content += static_cast<char>('a' + (i * 7 + i / 26) % 26);
  }
  dir.writeFile("seq", content);
  SmartPtr<CFileDescriptor> d =
      open(path("seq"), CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING,
           CFileSystem::OF_SEQUENTIAL_READ);
  std::string got;
  std::vector<unsigned char> buffer(400000);
  // Small pieces, one larger than what is read ahead, then small again.
  const std::uint32_t sizes[] = {4096, 1, 4096, 300000, 4096, 7};
  std::size_t turn = 0;
  for (;;) {
    const std::uint32_t want = sizes[turn++ % 6];
    const std::uint32_t n = fs->readFile(d.get(), buffer.data(), want);
    ASSERT_LE(n, want);
    if (n == 0) {
      break;
    }
    got.append(reinterpret_cast<const char*>(buffer.data()), n);
  }
  EXPECT_EQ(content, got);
  EXPECT_EQ(0u, fs->readFile(d.get(), buffer.data(), 4096));
}

TEST_F(HostFileSystem, ReadingAWriteOnlyFileAndWritingAReadOnlyOneFail) {
  dir.writeFile("f", "abc");
  unsigned char buffer[4] = {1, 2, 3, 4};
  SmartPtr<CFileDescriptor> w =
      open(path("f"), CFileSystem::ACCESS_WRITE, CFileSystem::CF_OPEN_EXISTING);
  EXPECT_EQ(L"CPosixFileSystem::readFile",
            messageOf<IOException>([&] { fs->readFile(w.get(), buffer, 4); }));
  SmartPtr<CFileDescriptor> r =
      open(path("f"), CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING);
  EXPECT_EQ(L"CPosixFileSystem::writeFile",
            messageOf<IOException>([&] { fs->writeFile(r.get(), buffer, 4); }));
}

TEST_F(HostFileSystem, ForeignDescriptorIsRejected) {
  SmartPtr<CFileDescriptor> foreign(new CFileDescriptor(fs.get()));
  unsigned char buffer[1];
  EXPECT_EQ(L"CPosixFileSystem::readFile",
            messageOf<IOException>([&] { fs->readFile(foreign.get(), buffer, 1); }));
}

TEST_F(HostFileSystem, BadPathsGiveMappedExceptionsNeverSilentSuccess) {
  dir.writeFile("file", "x");
  // A NUL inside the path must not open a shorter path.
  const std::wstring withNul = path("file") + std::wstring(1, L'\0') + L"tail";
  EXPECT_EQ(0, fs->getFileAttributeFlags(withNul));
  EXPECT_EQ(withNul, messageOf<IOException>([&] {
              open(withNul, CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING);
            }));
  // A file used as a directory.
  const std::wstring through = path("file/inner");
  EXPECT_EQ(through, messageOf<FileNotFoundException>([&] {
              open(through, CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS);
            }));
  EXPECT_EQ(0, fs->getFileAttributeFlags(through));
  // A name longer than the host allows.
  const std::wstring tooLong = path(std::string(300, 'n'));
  EXPECT_EQ(tooLong, messageOf<IOException>([&] {
              open(tooLong, CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS);
            }));
  // A directory cannot be opened as a file.
  EXPECT_EQ(dir.wstr(), messageOf<IOException>([&] {
              open(dir.wstr(), CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING);
            }));
  EXPECT_EQ(L"", messageOf<FileNotFoundException>([&] { fs->getLength(L""); }));
}

TEST(HostFileSystemErrors, ThrowExceptionMapping) {
  using qel::CHostFileSystem;
  EXPECT_EQ(L"n Already exist.",
            messageOf<IOException>([] { CHostFileSystem::ThrowException(80, L"n"); }));
  for (std::uint32_t code : {2u, 3u, 161u}) {
    EXPECT_EQ(L"n", messageOf<FileNotFoundException>(
                        [&] { CHostFileSystem::ThrowException(code, L"n"); }));
  }
  for (std::uint32_t code : {0u, 5u, 183u, 145u}) {
    try {
      CHostFileSystem::ThrowException(code, L"n");
      ADD_FAILURE() << "nothing thrown for " << code;
    } catch (const FileNotFoundException&) {
      ADD_FAILURE() << "code " << code << " must not mean a missing file";
    } catch (const IOException& e) {
      EXPECT_EQ(L"n", e.getMessage());
      EXPECT_EQ(L"IOException", e.getExceptionType());
    }
  }
}

}  // namespace
