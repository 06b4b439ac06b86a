// Path rules that never touch the disk.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "qel/io/PosixFileSystem.h"
#include "qel/io/Win32FileSystem.h"

namespace {

using qel::CPosixFileSystem;
using qel::CWin32FileSystem;
using qel::SmartPtr;

TEST(Win32PathRules, PrefixAbsolutenessResolveAndFilter) {
  SmartPtr<CWin32FileSystem> fs{new CWin32FileSystem};
  EXPECT_EQ(L'\\', fs->getSeparatorChar());
  EXPECT_EQ(L"\\", fs->getSeparator());
  EXPECT_FALSE(fs->isCaseSensitive());
  const struct {
    const wchar_t* path;
    unsigned prefix;
    bool absolute;
  } kPaths[] = {{L"", 0, false},     {L"a", 0, false},          {L"\\", 1, false},
                {L"\\a", 1, false},  {L"\\\\srv\\x", 1, false}, {L"C:", 2, false},
                {L"C:x", 2, false},  {L"C:\\", 3, true},        {L"C:\\a\\b", 3, true},
                {L"z:\\x", 3, true}, {L"/a", 0, false},         {L"?:\\", 3, true},
                {L"C:/x", 2, false}, {L"a\\b", 0, false}};
  for (const auto& c : kPaths) {
    SCOPED_TRACE(testing::Message() << std::string(c.path, c.path + std::wcslen(c.path)));
    EXPECT_EQ(c.prefix, fs->getPrefixLength(c.path));
    EXPECT_EQ(c.absolute, fs->isAbsolute(c.path));
  }
  // One separator between parent and child; an empty parent gives the child.
  EXPECT_EQ(L"C:\\a\\b", fs->resolve(L"C:\\a", L"b"));
  EXPECT_EQ(L"C:\\a\\b", fs->resolve(L"C:\\a\\", L"b"));
  EXPECT_EQ(L"C:\\a\\\\b", fs->resolve(L"C:\\a", L"\\b"));
  EXPECT_EQ(L"C:\\a\\", fs->resolve(L"C:\\a", L""));
  EXPECT_EQ(L"b", fs->resolve(L"", L"b"));
  EXPECT_EQ(L"", fs->resolve(L"", L""));
  // The filter restarts after each erasure.
  EXPECT_EQ(L"ab", fs->filterFilename(L"a/./b"));
  EXPECT_EQ(L".x", fs->filterFilename(L"../x"));
  EXPECT_EQ(L"a", fs->filterFilename(L".//a"));
  EXPECT_EQ(L"a\\b", fs->filterFilename(L"a\\b"));
  EXPECT_EQ(L"", fs->filterFilename(L""));
  EXPECT_EQ(L"", fs->filterFilename(L"././/"));
  // Only the current directory has a folder location.
  EXPECT_EQ(fs->getCurrentDirectory(), fs->getFolderLocation(qel::CFileSystem::FOLDER_CURRENT));
  EXPECT_EQ(L"", fs->getFolderLocation(static_cast<qel::CFileSystem::FolderType>(1)));
}

TEST(PosixPathRules, PrefixAbsolutenessAndResolve) {
  SmartPtr<CPosixFileSystem> fs{new CPosixFileSystem};
  EXPECT_EQ(L'/', fs->getSeparatorChar());
  EXPECT_EQ(L"/", fs->getSeparator());
  EXPECT_TRUE(fs->isCaseSensitive());
  const struct {
    const wchar_t* path;
    unsigned prefix;
    bool absolute;
  } kPaths[] = {{L"/", 1, true}, {L"/usr/lib", 1, true}, {L"usr", 0, false},
                {L"", 0, false}, {L"a/b", 0, false},     {L"C:\\a", 0, false}};
  for (const auto& c : kPaths) {
    SCOPED_TRACE(testing::Message() << std::string(c.path, c.path + std::wcslen(c.path)));
    EXPECT_EQ(c.prefix, fs->getPrefixLength(c.path));
    EXPECT_EQ(c.absolute, fs->isAbsolute(c.path));
  }
  EXPECT_EQ(L"/a/b", fs->resolve(L"/a", L"b"));
  EXPECT_EQ(L"/a/b", fs->resolve(L"/a/", L"b"));
  EXPECT_EQ(L"/b", fs->resolve(L"/", L"b"));
  const std::wstring current = fs->getCurrentDirectory();
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(L'/', current[0]);
  EXPECT_EQ(fs->resolve(current, L"x"), fs->resolve(L"x"));
}

}  // namespace
