// Path rules that never touch the disk.
#include <gtest/gtest.h>

#include "qel/io/PosixFileSystem.h"
#include "qel/io/Win32FileSystem.h"

namespace {

using qel::CPosixFileSystem;
using qel::CWin32FileSystem;
using qel::SmartPtr;

class Win32PathRules : public ::testing::Test {
 protected:
  SmartPtr<CWin32FileSystem> fs{new CWin32FileSystem};
};

TEST_F(Win32PathRules, SeparatorIsBackslash) {
  EXPECT_EQ(L'\\', fs->getSeparatorChar());
  EXPECT_EQ(L"\\", fs->getSeparator());
  EXPECT_FALSE(fs->isCaseSensitive());
}

TEST_F(Win32PathRules, PrefixLength) {
  EXPECT_EQ(0u, fs->getPrefixLength(L""));
  EXPECT_EQ(0u, fs->getPrefixLength(L"a"));
  EXPECT_EQ(1u, fs->getPrefixLength(L"\\"));
  EXPECT_EQ(1u, fs->getPrefixLength(L"\\\\srv\\x"));
  EXPECT_EQ(2u, fs->getPrefixLength(L"C:"));
  EXPECT_EQ(2u, fs->getPrefixLength(L"C:x"));
  EXPECT_EQ(3u, fs->getPrefixLength(L"C:\\"));
  EXPECT_EQ(3u, fs->getPrefixLength(L"C:\\a\\b"));
  EXPECT_EQ(0u, fs->getPrefixLength(L"/a"));
  EXPECT_EQ(3u, fs->getPrefixLength(L"?:\\"));
}

TEST_F(Win32PathRules, AbsoluteNeedsDriveColonAndSeparator) {
  EXPECT_TRUE(fs->isAbsolute(L"C:\\"));
  EXPECT_TRUE(fs->isAbsolute(L"z:\\x"));
  EXPECT_FALSE(fs->isAbsolute(L"C:"));
  EXPECT_FALSE(fs->isAbsolute(L"C:x"));
  EXPECT_FALSE(fs->isAbsolute(L"\\a"));
  EXPECT_FALSE(fs->isAbsolute(L"a\\b"));
  EXPECT_FALSE(fs->isAbsolute(L""));
  EXPECT_FALSE(fs->isAbsolute(L"C:/x"));
}

TEST_F(Win32PathRules, ResolveJoinsWithOneSeparator) {
  EXPECT_EQ(L"C:\\a\\b", fs->resolve(L"C:\\a", L"b"));
  EXPECT_EQ(L"C:\\a\\b", fs->resolve(L"C:\\a\\", L"b"));
  EXPECT_EQ(L"C:\\a\\\\b", fs->resolve(L"C:\\a", L"\\b"));
  EXPECT_EQ(L"C:\\a\\", fs->resolve(L"C:\\a", L""));
}

TEST_F(Win32PathRules, ResolveWithEmptyParentGivesChildAlone) {
  EXPECT_EQ(L"b", fs->resolve(L"", L"b"));
  EXPECT_EQ(L"", fs->resolve(L"", L""));
}

TEST_F(Win32PathRules, FilterFilenameRestartsAfterEachErasure) {
  EXPECT_EQ(L"ab", fs->filterFilename(L"a/./b"));
  EXPECT_EQ(L".x", fs->filterFilename(L"../x"));
  EXPECT_EQ(L"a", fs->filterFilename(L".//a"));
  EXPECT_EQ(L"a\\b", fs->filterFilename(L"a\\b"));
  EXPECT_EQ(L"", fs->filterFilename(L""));
  EXPECT_EQ(L"", fs->filterFilename(L"././/"));
}

TEST_F(Win32PathRules, FolderLocationOnlyForTheCurrentDirectory) {
  EXPECT_EQ(fs->getCurrentDirectory(), fs->getFolderLocation(qel::CFileSystem::FOLDER_CURRENT));
  EXPECT_EQ(L"", fs->getFolderLocation(static_cast<qel::CFileSystem::FolderType>(1)));
}

class PosixPathRules : public ::testing::Test {
 protected:
  SmartPtr<CPosixFileSystem> fs{new CPosixFileSystem};
};

TEST_F(PosixPathRules, NativeRules) {
  EXPECT_EQ(L'/', fs->getSeparatorChar());
  EXPECT_EQ(L"/", fs->getSeparator());
  EXPECT_TRUE(fs->isCaseSensitive());
  EXPECT_EQ(1u, fs->getPrefixLength(L"/"));
  EXPECT_EQ(1u, fs->getPrefixLength(L"/usr/lib"));
  EXPECT_EQ(0u, fs->getPrefixLength(L"usr"));
  EXPECT_EQ(0u, fs->getPrefixLength(L""));
  EXPECT_TRUE(fs->isAbsolute(L"/"));
  EXPECT_TRUE(fs->isAbsolute(L"/a/b"));
  EXPECT_FALSE(fs->isAbsolute(L"a/b"));
  EXPECT_FALSE(fs->isAbsolute(L"C:\\a"));
  EXPECT_FALSE(fs->isAbsolute(L""));
}

TEST_F(PosixPathRules, ResolveAndCurrentDirectory) {
  EXPECT_EQ(L"/a/b", fs->resolve(L"/a", L"b"));
  EXPECT_EQ(L"/a/b", fs->resolve(L"/a/", L"b"));
  EXPECT_EQ(L"/b", fs->resolve(L"/", L"b"));
  const std::wstring current = fs->getCurrentDirectory();
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(L'/', current[0]);
  EXPECT_EQ(fs->resolve(current, L"x"), fs->resolve(L"x"));
}

}  // namespace
