// CFile through both path-rule front ends, on the real disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <list>

#include "qel/core/Exception.h"
#include "qel/io/File.h"
#include "qel/io/PosixFileSystem.h"
#include "qel/io/Win32FileSystem.h"
#include "qel/platform/Orvane.h"
#include "support/FileSystemScope.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace {

using qel::CFile;
using qel::CFileSystem;
using qel::COrvane;
using qel::CWin32FileSystem;
using qel::FileNotFoundException;
using qel::IOException;
using qel_test::messageOf;

// Drive C: is a temporary directory holding Data, the current directory is
// C:\Data and the shared file system follows the Windows rules.
class Win32File : public ::testing::Test {
 protected:
  Win32File()
      : scope(&qel_test::makeFileSystem<CWin32FileSystem>),
        savedRoot(CWin32FileSystem::getDriveRoot(L'C')) {
    CWin32FileSystem::setDriveRoot(L'C', drive.str());
    std::filesystem::create_directory(drive.path() / "Data");
    COrvane::SetCurrentDirectory(L"C:\\Data");
  }
  ~Win32File() override {
    COrvane::SetCurrentDirectory(L"");
    CWin32FileSystem::setDriveRoot(L'C', savedRoot);
  }

  qel_test::TempDir drive;
  qel_test::FileSystemScope scope;
  std::string savedRoot;
};

TEST_F(Win32File, PathsResolveAgainstTheCurrentDirectoryAndCompareWithoutCase) {
  EXPECT_EQ(L"C:\\Data\\f.txt", CFile(L"f.txt").getPath());
  EXPECT_EQ(L"C:\\x\\f.txt", CFile(L"C:\\x\\f.txt").getPath());
  EXPECT_EQ(L"C:\\Data\\\\x", CFile(L"\\x").getPath());
  EXPECT_EQ(L"C:\\Data\\C:x", CFile(L"C:x").getPath());
  EXPECT_EQ(L"C:\\a\\b", CFile(L"C:\\a", L"b").getPath());
  EXPECT_EQ(L"C:\\b", CFile(L"C:\\a", L"C:\\b").getPath());
  EXPECT_EQ(L"C:\\Data", CFile::getCurrentDirectory());
  EXPECT_EQ(L"\\", CFile::getSeparator());
  // Name and parent, down to the root.
  EXPECT_EQ(L"b.txt", CFile(L"C:\\a\\b.txt").getName());
  EXPECT_EQ(L"C:\\a", CFile(L"C:\\a\\b.txt").getParent());
  EXPECT_EQ(L"a", CFile(L"C:\\a").getName());
  EXPECT_EQ(L"C:\\", CFile(L"C:\\a").getParent());
  EXPECT_EQ(L"", CFile(L"C:\\").getName());
  EXPECT_EQ(L"C:\\", CFile(L"C:\\").getParent());
  EXPECT_TRUE(CFile(L"C:\\A\\B.TXT") == CFile(L"c:\\a\\b.txt"));
  EXPECT_FALSE(CFile(L"C:\\A\\B.TXT") != CFile(L"c:\\a\\b.txt"));
  EXPECT_TRUE(CFile(L"C:\\a\\b") != CFile(L"C:\\a\\c"));
}

TEST_F(Win32File, FilesLandUnderTheMappedDrive) {
  CFile(L"new.txt").createNewFile();
  EXPECT_TRUE(std::filesystem::is_regular_file(drive.path() / "Data" / "new.txt"));
  EXPECT_EQ(0u, CFile(L"C:\\Data\\new.txt").length());
  // Slashes separate on the host side too, but a path with them is not
  // absolute under the Windows rules, so CFile would resolve it further.
  EXPECT_EQ(3, CFileSystem::getFileSystem()->getFileAttributeFlags(L"C:/Data/new.txt"));
  EXPECT_EQ(L"C:\\Data\\new.txt Already exist.",
            messageOf<IOException>([] { CFile(L"new.txt").createNewFile(); }));
}

TEST_F(Win32File, MkdirsCreatesTheWholeChainButNotThroughAFile) {
  CFile(L"C:\\a\\b\\c").mkdirs();
  EXPECT_TRUE(std::filesystem::is_directory(drive.path() / "a" / "b" / "c"));
  EXPECT_TRUE(CFile(L"C:\\a\\b\\c").isDirectory());
  CFile(L"C:\\a\\b\\c").mkdirs();  // again: nothing to create, nothing thrown
  drive.writeFile("f", "file in the way");
  EXPECT_THROW(CFile(L"C:\\f\\b").mkdirs(), FileNotFoundException);
}

TEST_F(Win32File, ListingAndQueries) {
  CFile(L"C:\\Data\\sub").mkdirs();
  CFile(L"C:\\Data\\one").createNewFile();
  std::list<std::wstring> names;
  CFile(L"C:\\Data").listDirectory(names);
  names.sort();
  EXPECT_EQ((std::list<std::wstring>{L"one", L"sub"}), names);
  std::list<std::wstring> none;
  CFile(L"C:\\Data\\one").listDirectory(none);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(CFile(L"one").canWrite());
  CFileSystem::getFileSystem()->setReadOnly(L"C:\\Data\\one", true);
  EXPECT_FALSE(CFile(L"one").canWrite());
  EXPECT_TRUE(CFile(L"one").canRead());
  EXPECT_FALSE(CFile(L"gone").canRead());
  EXPECT_FALSE(CFile(L"gone").exists());
}

TEST_F(Win32File, ForbiddenNamesAndUnmappedDrives) {
  EXPECT_THROW(CFile(L"C:\\Data\\a?b").createNewFile(), IOException);
  EXPECT_THROW(CFile(L"C:\\Data\\a|b").createNewFile(), IOException);
  EXPECT_FALSE(CFile(L"C:\\Data\\a*").exists());
  EXPECT_THROW(CFile(L"Q:\\nothing").createNewFile(), FileNotFoundException);
  EXPECT_FALSE(CFile(L"Q:\\nothing").exists());
}

TEST_F(Win32File, RenameToMovesTheFile) {
  CFile(L"from").createNewFile();
  CFile(L"from").renameTo(CFile(L"to"));
  EXPECT_FALSE(CFile(L"from").exists());
  EXPECT_TRUE(CFile(L"to").isFile());
  EXPECT_EQ(L"CWin32FileSystem::rename",
            messageOf<FileNotFoundException>([] { CFile(L"from").renameTo(CFile(L"again")); }));
}

class PosixFile : public ::testing::Test {
 protected:
  PosixFile() : scope(&qel_test::makeFileSystem<qel::CPosixFileSystem>) {}
  qel_test::TempDir dir;
  qel_test::FileSystemScope scope;
};

TEST_F(PosixFile, NativePaths) {
  const std::wstring base = dir.wstr();
  CFile file(base, L"x/y.txt");
  EXPECT_EQ(base + L"/x/y.txt", file.getPath());
  EXPECT_EQ(L"y.txt", file.getName());
  EXPECT_EQ(base + L"/x", file.getParent());
  EXPECT_EQ(L"", CFile(L"/").getName());
  EXPECT_EQ(L"/", CFile(L"/").getParent());
  EXPECT_EQ(L"/", CFile(L"/etc").getParent());
  EXPECT_TRUE(CFile(L"/a/B") != CFile(L"/a/b"));
  EXPECT_TRUE(CFile(L"rel").isAbsolute());
  CFile(base, L"x").mkdirs();
  file.createNewFile();
  EXPECT_TRUE(file.isFile());
  EXPECT_TRUE(CFile(base + L"/x").isDirectory());
  file.deleteFile();
  EXPECT_FALSE(file.exists());
  EXPECT_THROW(file.length(), FileNotFoundException);
  EXPECT_THROW(file.getModificationDate(), FileNotFoundException);
}

TEST_F(PosixFile, ApplicationCurrentDirectoryAppliesToRelativePaths) {
  COrvane::SetCurrentDirectory(dir.wstr());
  CFile file(L"rel.txt");
  EXPECT_EQ(dir.wstr() + L"/rel.txt", file.getPath());
  file.createNewFile();
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "rel.txt"));
  COrvane::SetCurrentDirectory(L"");
}

}  // namespace
