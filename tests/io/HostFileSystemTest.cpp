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
using FS = qel::CFileSystem;
using qel::FileNotFoundException;
using qel::IOException;
using qel::SmartPtr;
using qel_test::messageOf;

class HostFileSystem : public ::testing::Test {
 protected:
  qel_test::TempDir dir;
  SmartPtr<FS> fs{new qel::CPosixFileSystem};

  std::wstring path(const std::string& name) const { return dir.wpath(name); }

  SmartPtr<CFileDescriptor> open(const std::string& name, int access, FS::CreationFlag creation,
                                 int attributes = 0) {
    return fs->openFile(path(name), access, creation, attributes);
  }
  SmartPtr<CFileDescriptor> reader(const std::string& name, int attributes = 0) {
    return open(name, FS::ACCESS_READ, FS::CF_OPEN_EXISTING, attributes);
  }
  // Reads to the end in pieces of the sizes given in turn.
  std::string readAll(CFileDescriptor* d, std::vector<std::uint32_t> sizes = {7}) {
    std::string content;
    std::vector<unsigned char> buffer(*std::max_element(sizes.begin(), sizes.end()));
    for (std::size_t turn = 0;; ++turn) {
      const std::uint32_t want = sizes[turn % sizes.size()];
      const std::uint32_t n = fs->readFile(d, buffer.data(), want);
      EXPECT_LE(n, want);
      if (n == 0) {
        return content;
      }
      content.append(reinterpret_cast<char*>(buffer.data()), n);
    }
  }
  void write(const SmartPtr<CFileDescriptor>& d, const std::string& text) {
    ASSERT_EQ(text.size(),
              fs->writeFile(d.get(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<std::uint32_t>(text.size())));
  }
};

TEST_F(HostFileSystem, EachCreationFlagOpensTruncatesAppendsOrRefuses) {
  // A missing file opens as nothing; a missing directory throws.
  EXPECT_FALSE(reader("missing"));
  EXPECT_EQ(path("no/such/file"),
            messageOf<FileNotFoundException>([&] { reader("no/such/file"); }));
  dir.writeFile("f", "old contents");
  EXPECT_EQ(path("f") + L" Already exist.",
            messageOf<IOException>([&] { open("f", FS::ACCESS_WRITE, FS::CF_CREATE_NEW); }));
  EXPECT_EQ("old contents", dir.readFile("f"));
  const std::pair<FS::CreationFlag, const char*> kSteps[] = {{FS::CF_OPEN_EXISTING, "OLD contents"},
                                                             {FS::CF_CREATE_ALWAYS, "new"},
                                                             {FS::CF_OPEN_APPEND, "new+more"}};
  const char* const kWrites[] = {"OLD", "new", "+more"};
  for (int i = 0; i < 3; ++i) {
    write(open("f", FS::ACCESS_WRITE, kSteps[i].first), kWrites[i]);
    EXPECT_EQ(kSteps[i].second, dir.readFile("f"));
  }
  write(open("g", FS::ACCESS_WRITE, FS::CF_OPEN_APPEND), "fresh");
  EXPECT_EQ("fresh", dir.readFile("g"));
  EXPECT_EQ(path("h"), messageOf<IOException>(
                           [&] { open("h", FS::ACCESS_WRITE, static_cast<FS::CreationFlag>(7)); }));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "h"));
}

TEST_F(HostFileSystem, AttributeFlagsAndTheOnesGivenAtCreation) {
  dir.writeFile("plain", "x");
  dir.writeFile(".dot", "x");
  std::filesystem::create_directory(dir.path() / "sub");
  // The hidden bit is kept in an extended attribute where the file system
  // has them; a dot name is hidden everywhere.  Attributes are read only at
  // creation.
  open(".both", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS, 24);
  open("ro", FS::ACCESS_WRITE, FS::CF_CREATE_NEW, 16);
  open("app", FS::ACCESS_WRITE, FS::CF_OPEN_APPEND, 16);
  const std::pair<const char*, int> kFlags[] = {{"missing", 0}, {"plain", 3},  {"sub", 5},
                                                {".dot", 11},   {".both", 27}, {"ro", 19},
                                                {"app", 3}};
  for (const auto& c : kFlags) {
    EXPECT_EQ(c.second, fs->getFileAttributeFlags(path(c.first))) << c.first;
  }
  fs->setReadOnly(path("plain"), true);
  EXPECT_EQ(19, fs->getFileAttributeFlags(path("plain")));
  fs->setReadOnly(path("plain"), false);
  EXPECT_EQ(3, fs->getFileAttributeFlags(path("plain")));
}

TEST_F(HostFileSystem, ReadOnlyFileRefusesWritingEvenToTheSuperuser) {
  dir.writeFile("ro", "keep");
  fs->setReadOnly(path("ro"), true);
  EXPECT_FALSE(fs->checkAccess(path("ro"), FS::ACCESS_WRITE));
  EXPECT_TRUE(fs->checkAccess(path("ro"), FS::ACCESS_READ));
  EXPECT_EQ(path("ro"),
            messageOf<IOException>([&] { open("ro", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS); }));
  EXPECT_EQ(path("ro"), messageOf<IOException>([&] { fs->deleteFile(path("ro")); }));
  EXPECT_EQ("keep", readAll(reader("ro").get()));
  EXPECT_FALSE(fs->checkAccess(path("missing"), FS::ACCESS_READ));
  EXPECT_FALSE(fs->checkAccess(path("missing"), FS::ACCESS_WRITE));
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

TEST_F(HostFileSystem, DirectoriesAreMadeListedDeletedAndFilesRenamed) {
  dir.writeFile("one.txt", "1");
  dir.writeFile("two.log", "2");
  fs->createDirectory(path("sub"));
  EXPECT_EQ(5, fs->getFileAttributeFlags(path("sub")));
  // An existing directory is not "file exists": a plain IOException.
  EXPECT_EQ(path("sub"), messageOf<IOException>([&] { fs->createDirectory(path("sub")); }));
  EXPECT_EQ(path("x/y"),
            messageOf<FileNotFoundException>([&] { fs->createDirectory(path("x/y")); }));
  // Bare names without dots are appended to the list.
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
  // Renaming replaces the target.
  fs->rename(path("one.txt"), path("two.log"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "one.txt"));
  EXPECT_EQ("1", dir.readFile("two.log"));
  EXPECT_EQ(L"CPosixFileSystem::rename",
            messageOf<FileNotFoundException>([&] { fs->rename(path("one.txt"), path("c")); }));
  // Files and empty directories are deleted, full ones are not.
  std::filesystem::create_directory(dir.path() / "sub" / "inner");
  fs->deleteFile(path("two.log"));
  fs->deleteFile(path("sub/inner"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "two.log"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "sub" / "inner"));
  dir.writeFile("sub/inner", "");
  EXPECT_EQ(path("sub"), messageOf<IOException>([&] { fs->deleteFile(path("sub")); }));
  EXPECT_EQ(path("missing"),
            messageOf<FileNotFoundException>([&] { fs->deleteFile(path("missing")); }));
}

TEST_F(HostFileSystem, MisusedDescriptorsAreReported) {
  dir.writeFile("f", "0123456789abcdefghij");
  unsigned char buffer[64] = {};
  SmartPtr<CFileDescriptor> d = reader("f");
  EXPECT_EQ(fs.get(), d->getFileSystem().get());
  EXPECT_EQ(20u, fs->readFile(d.get(), buffer, sizeof(buffer)));
  EXPECT_EQ(0u, fs->readFile(d.get(), buffer, sizeof(buffer)));
  d->close();
  EXPECT_EQ(L"CPosixFileSystem::readFile",
            messageOf<IOException>([&] { fs->readFile(d.get(), buffer, 4); }));
  EXPECT_EQ(L"CPosixFileSystem::closeFile", messageOf<IOException>([&] { d->close(); }));
  SmartPtr<CFileDescriptor> w = open("f", FS::ACCESS_WRITE, FS::CF_OPEN_EXISTING);
  EXPECT_EQ(L"CPosixFileSystem::readFile",
            messageOf<IOException>([&] { fs->readFile(w.get(), buffer, 4); }));
  EXPECT_EQ(L"CPosixFileSystem::writeFile",
            messageOf<IOException>([&] { fs->writeFile(reader("f").get(), buffer, 4); }));
  SmartPtr<CFileDescriptor> foreign(new CFileDescriptor(fs.get()));
  EXPECT_EQ(L"CPosixFileSystem::readFile",
            messageOf<IOException>([&] { fs->readFile(foreign.get(), buffer, 1); }));
}

TEST_F(HostFileSystem, WritesGoThroughEachWriteOrAllAtClose) {
  // A plain writing descriptor writes every block through; one opened
  // durable at close does not, and its data is complete after close.
  SmartPtr<CFileDescriptor> plain = open("plain", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS);
  // (-1, no descriptor, has every bit.)
  EXPECT_EQ(O_DSYNC | O_WRONLY,
            qel_test::openFlagsOf(dir.path() / "plain") & (O_DSYNC | O_ACCMODE));
  plain->close();
  SmartPtr<CFileDescriptor> later = open("later", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS,
                                         FS::OF_DURABLE_AT_CLOSE | FS::FA_READONLY);
  const int laterFlags = qel_test::openFlagsOf(dir.path() / "later");
  ASSERT_NE(-1, laterFlags);
  EXPECT_EQ(0, laterFlags & O_DSYNC);
  write(later, "first ");
  write(later, "second");
  later->close();
  EXPECT_EQ(-1, qel_test::openFlagsOf(dir.path() / "later"));
  EXPECT_EQ("first second", dir.readFile("later"));
  // The attributes given with the flag still apply.
  EXPECT_NE(0, fs->getFileAttributeFlags(path("later")) & FS::FA_READONLY);
  EXPECT_EQ(L"CPosixFileSystem::closeFile", messageOf<IOException>([&] { later->close(); }));
  // Many writes, more than are gathered at once, arrive whole and in order.
  SmartPtr<CFileDescriptor> big =
      open("big", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS, FS::OF_DURABLE_AT_CLOSE);
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
  SmartPtr<CFileDescriptor> both = open("both", FS::ACCESS_READ | FS::ACCESS_WRITE,
                                        FS::CF_OPEN_EXISTING, FS::OF_DURABLE_AT_CLOSE);
  write(both, "FIRST");
  EXPECT_EQ(" second", readAll(both.get()));
  both->close();
  EXPECT_EQ("FIRST second", dir.readFile("both"));
  // Reading is unaffected by the flag.
  EXPECT_EQ("first second", readAll(reader("later", FS::OF_DURABLE_AT_CLOSE).get()));
}

TEST_F(HostFileSystem, SequentialReadingGivesTheSameBytesInAnyPieces) {
  std::string content;
  for (int i = 0; i < 700000; ++i) {
    content += static_cast<char>('a' + (i * 7 + i / 26) % 26);
  }
  dir.writeFile("seq", content);
  // Small pieces, one larger than what is read ahead, then small again.
  SmartPtr<CFileDescriptor> d = reader("seq", FS::OF_SEQUENTIAL_READ);
  EXPECT_EQ(content, readAll(d.get(), {4096, 1, 4096, 300000, 4096, 7}));
  unsigned char byte;
  EXPECT_EQ(0u, fs->readFile(d.get(), &byte, 1));
}

TEST_F(HostFileSystem, BadPathsGiveMappedExceptionsNeverSilentSuccess) {
  dir.writeFile("file", "x");
  // A NUL inside the path must not open a shorter path.
  const std::string withNul = "file" + std::string(1, '\0') + "tail";
  EXPECT_EQ(0, fs->getFileAttributeFlags(path(withNul)));
  EXPECT_EQ(path(withNul), messageOf<IOException>([&] { reader(withNul); }));
  // A file used as a directory, a name longer than the host allows, and a
  // directory opened as a file.
  EXPECT_EQ(path("file/inner"), messageOf<FileNotFoundException>([&] {
              open("file/inner", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS);
            }));
  EXPECT_EQ(0, fs->getFileAttributeFlags(path("file/inner")));
  const std::string tooLong(300, 'n');
  EXPECT_EQ(path(tooLong),
            messageOf<IOException>([&] { open(tooLong, FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS); }));
  EXPECT_EQ(path(""), messageOf<IOException>([&] { reader(""); }));
  EXPECT_EQ(L"", messageOf<FileNotFoundException>([&] { fs->getLength(L""); }));
}

TEST(HostFileSystemErrors, ThrowExceptionMapping) {
  using qel::CHostFileSystem;
  EXPECT_EQ(L"n Already exist.",
            messageOf<IOException>([] { CHostFileSystem::ThrowException(80, L"n"); }));
  for (std::uint32_t code : {2u, 3u, 161u, 0u, 5u, 183u, 145u}) {
    try {
      CHostFileSystem::ThrowException(code, L"n");
      ADD_FAILURE() << "nothing thrown for " << code;
    } catch (const IOException& e) {
      EXPECT_EQ(L"n", e.getMessage());
      EXPECT_EQ(code == 2 || code == 3 || code == 161 ? L"FileNotFoundException" : L"IOException",
                e.getExceptionType())
          << code;
    }
  }
}

}  // namespace
