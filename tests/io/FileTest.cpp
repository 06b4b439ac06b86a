// Path rules and CFile through both front ends, on the real disk.
#include <gtest/gtest.h>

#include <cwchar>
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

struct PathCase {
  const wchar_t* path;
  unsigned prefix;
  bool absolute;
};

void expectPrefixes(const CFileSystem& fs, std::initializer_list<PathCase> cases) {
  for (const PathCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.path, c.path + std::wcslen(c.path)));
    EXPECT_EQ(c.prefix, fs.getPrefixLength(c.path));
    EXPECT_EQ(c.absolute, fs.isAbsolute(c.path));
  }
}

TEST(PathRules, PrefixAbsolutenessResolveAndFilter) {
  qel::SmartPtr<CWin32FileSystem> win{new CWin32FileSystem};
  EXPECT_FALSE(win->isCaseSensitive());
  expectPrefixes(*win, {{L"", 0, false},
                        {L"a", 0, false},
                        {L"\\", 1, false},
                        {L"\\a", 1, false},
                        {L"\\\\srv\\x", 1, false},
                        {L"C:", 2, false},
                        {L"C:x", 2, false},
                        {L"C:\\", 3, true},
                        {L"C:\\a\\b", 3, true},
                        {L"z:\\x", 3, true},
                        {L"/a", 0, false},
                        {L"?:\\", 3, true},
                        {L"C:/x", 2, false},
                        {L"a\\b", 0, false}});
  // One separator between parent and child; an empty parent gives the child.
  EXPECT_EQ(L"C:\\a\\b", win->resolve(L"C:\\a", L"b"));
  EXPECT_EQ(L"C:\\a\\b", win->resolve(L"C:\\a\\", L"b"));
  EXPECT_EQ(L"C:\\a\\\\b", win->resolve(L"C:\\a", L"\\b"));
  EXPECT_EQ(L"C:\\a\\", win->resolve(L"C:\\a", L""));
  EXPECT_EQ(L"b", win->resolve(L"", L"b"));
  EXPECT_EQ(L"", win->resolve(L"", L""));
  // The filter restarts after each erasure.
  for (const auto& c : {std::make_pair(L"a/./b", L"ab"), std::make_pair(L"../x", L".x"),
                        std::make_pair(L".//a", L"a"), std::make_pair(L"a\\b", L"a\\b"),
                        std::make_pair(L"", L""), std::make_pair(L"././/", L"")}) {
    EXPECT_EQ(c.second, win->filterFilename(c.first));
  }
  // Only the current directory has a folder location.
  EXPECT_EQ(win->getCurrentDirectory(), win->getFolderLocation(CFileSystem::FOLDER_CURRENT));
  EXPECT_EQ(L"", win->getFolderLocation(static_cast<CFileSystem::FolderType>(1)));

  qel::SmartPtr<qel::CPosixFileSystem> posix{new qel::CPosixFileSystem};
  EXPECT_TRUE(posix->isCaseSensitive());
  expectPrefixes(*posix, {{L"/", 1, true},
                          {L"/usr/lib", 1, true},
                          {L"usr", 0, false},
                          {L"", 0, false},
                          {L"a/b", 0, false},
                          {L"C:\\a", 0, false}});
  EXPECT_EQ(L"/a/b", posix->resolve(L"/a", L"b"));
  EXPECT_EQ(L"/a/b", posix->resolve(L"/a/", L"b"));
  EXPECT_EQ(L"/b", posix->resolve(L"/", L"b"));
  const std::wstring current = posix->getCurrentDirectory();
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(L'/', current[0]);
  EXPECT_EQ(posix->resolve(current, L"x"), posix->resolve(L"x"));
}

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
  const std::pair<CFile, const wchar_t*> kPaths[] = {
      {CFile(L"f.txt"), L"C:\\Data\\f.txt"}, {CFile(L"C:\\x\\f.txt"), L"C:\\x\\f.txt"},
      {CFile(L"\\x"), L"C:\\Data\\\\x"},     {CFile(L"C:x"), L"C:\\Data\\C:x"},
      {CFile(L"C:\\a", L"b"), L"C:\\a\\b"},  {CFile(L"C:\\a", L"C:\\b"), L"C:\\b"}};
  for (const auto& c : kPaths) {
    EXPECT_EQ(c.second, c.first.getPath());
  }
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

TEST_F(Win32File, FilesAndDirectoriesLandUnderTheMappedDrive) {
  CFile(L"new.txt").createNewFile();
  EXPECT_TRUE(std::filesystem::is_regular_file(drive.path() / "Data" / "new.txt"));
  EXPECT_EQ(0u, CFile(L"C:\\Data\\new.txt").length());
  // Slashes separate on the host side too, but a path with them is not
  // absolute under the Windows rules, so CFile would resolve it further.
  EXPECT_EQ(3, CFileSystem::getFileSystem()->getFileAttributeFlags(L"C:/Data/new.txt"));
  EXPECT_EQ(L"C:\\Data\\new.txt Already exist.",
            messageOf<IOException>([] { CFile(L"new.txt").createNewFile(); }));
  // mkdirs makes the whole chain, again without complaint, but not through a file.
  CFile(L"C:\\a\\b\\c").mkdirs();
  EXPECT_TRUE(std::filesystem::is_directory(drive.path() / "a" / "b" / "c"));
  EXPECT_TRUE(CFile(L"C:\\a\\b\\c").isDirectory());
  CFile(L"C:\\a\\b\\c").mkdirs();
  drive.writeFile("f", "file in the way");
  EXPECT_THROW(CFile(L"C:\\f\\b").mkdirs(), FileNotFoundException);
  // Forbidden names and unmapped drives.
  EXPECT_THROW(CFile(L"C:\\Data\\a?b").createNewFile(), IOException);
  EXPECT_THROW(CFile(L"C:\\Data\\a|b").createNewFile(), IOException);
  EXPECT_FALSE(CFile(L"C:\\Data\\a*").exists());
  EXPECT_THROW(CFile(L"Q:\\nothing").createNewFile(), FileNotFoundException);
  EXPECT_FALSE(CFile(L"Q:\\nothing").exists());
}

TEST_F(Win32File, ListingQueriesAndRenaming) {
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
  CFile(L"one").renameTo(CFile(L"to"));
  EXPECT_FALSE(CFile(L"one").exists());
  EXPECT_TRUE(CFile(L"to").isFile());
  EXPECT_EQ(L"CWin32FileSystem::rename",
            messageOf<FileNotFoundException>([] { CFile(L"one").renameTo(CFile(L"again")); }));
}

TEST(PosixFile, NativePathsAndTheApplicationsCurrentDirectory) {
  qel_test::TempDir dir;
  qel_test::FileSystemScope scope(&qel_test::makeFileSystem<qel::CPosixFileSystem>);
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
  COrvane::SetCurrentDirectory(base);
  CFile(L"rel.txt").createNewFile();
  EXPECT_EQ(base + L"/rel.txt", CFile(L"rel.txt").getPath());
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "rel.txt"));
  COrvane::SetCurrentDirectory(L"");
}

}  // namespace
