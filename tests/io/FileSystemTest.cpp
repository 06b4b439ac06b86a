// Path rules, the native file system on the real disk, CFile through both
// front ends and the process-wide file-system instance, alone and shared by
// threads (suites whose names end in Concurrency run under ThreadSanitizer).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "qel/io/File.h"
#include "qel/io/FileStream.h"
#include "qel/io/Win32FileSystem.h"
#include "qel/platform/Orvane.h"
#include "support/FaultyFileSystem.h"
#include "support/OpenFlags.h"
#include "support/TempDir.h"
#include "support/Threads.h"

namespace {

namespace fs = std::filesystem;
using FS = qel::CFileSystem;
using qel::CFile;
using qel::CFileDescriptor;
using qel::COrvane;
using qel::CWin32FileSystem;
using qel::SmartPtr;
using Names = std::list<std::wstring>;

using qel_test::thrownBy;
const std::wstring kIO = L"IOException: ";
const std::wstring kNotFound = L"FileNotFoundException: ";

TEST(PathRules, PrefixAbsolutenessResolveAndFilter) {
  SmartPtr<FS> windows{new CWin32FileSystem};
  SmartPtr<FS> native{new qel::CPosixFileSystem};
  FS* const win = windows.get();
  FS* const posix = native.get();
  const struct {
    FS* fs;
    const wchar_t* path;
    unsigned prefix;
    bool absolute;
  } kPaths[] = {
      {win, L"", 0, false},          {win, L"a", 0, false},          {win, L"\\", 1, false},
      {win, L"\\a", 1, false},       {win, L"\\\\srv\\x", 1, false}, {win, L"C:", 2, false},
      {win, L"C:x", 2, false},       {win, L"C:\\", 3, true},        {win, L"C:\\a\\b", 3, true},
      {win, L"z:\\x", 3, true},      {win, L"/a", 0, false},         {win, L"?:\\", 3, true},
      {win, L"C:/x", 2, false},      {win, L"a\\b", 0, false},       {posix, L"/", 1, true},
      {posix, L"/usr/lib", 1, true}, {posix, L"usr", 0, false},      {posix, L"", 0, false},
      {posix, L"a/b", 0, false},     {posix, L"C:\\a", 0, false}};
  for (const auto& c : kPaths) {
    SCOPED_TRACE(testing::Message() << std::string(c.path, c.path + std::wcslen(c.path)));
    EXPECT_EQ(c.prefix, c.fs->getPrefixLength(c.path));
    EXPECT_EQ(c.absolute, c.fs->isAbsolute(c.path));
  }
  // One separator between parent and child; an empty parent gives the child.
  const struct {
    FS* fs;
    const wchar_t *parent, *child, *joined;
  } kJoins[] = {{win, L"C:\\a", L"b", L"C:\\a\\b"},
                {win, L"C:\\a\\", L"b", L"C:\\a\\b"},
                {win, L"C:\\a", L"\\b", L"C:\\a\\\\b"},
                {win, L"C:\\a", L"", L"C:\\a\\"},
                {win, L"", L"b", L"b"},
                {win, L"", L"", L""},
                {posix, L"/a", L"b", L"/a/b"},
                {posix, L"/a/", L"b", L"/a/b"},
                {posix, L"/", L"b", L"/b"}};
  for (const auto& c : kJoins) {
    EXPECT_EQ(c.joined, c.fs->resolve(c.parent, c.child));
  }
  // The filter restarts after each erasure.
  const wchar_t* const kFiltered[][2] = {{L"a/./b", L"ab"},  {L"../x", L".x"}, {L".//a", L"a"},
                                         {L"a\\b", L"a\\b"}, {L"", L""},       {L"././/", L""}};
  for (const auto& c : kFiltered) {
    EXPECT_EQ(c[1], win->filterFilename(c[0]));
  }
  // Only the current directory has a folder location.
  EXPECT_EQ(win->getCurrentDirectory(), win->getFolderLocation(FS::FOLDER_CURRENT));
  EXPECT_EQ(L"", win->getFolderLocation(static_cast<FS::FolderType>(1)));
  const std::wstring current = posix->getCurrentDirectory();
  EXPECT_EQ(L'/', current.at(0));
  EXPECT_EQ(posix->resolve(current, L"x"), posix->resolve(L"x"));
}

class HostFileSystem : public ::testing::Test {
 protected:
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
  qel_test::TempDir dir;
  SmartPtr<FS> fs{new qel::CPosixFileSystem};
};

TEST_F(HostFileSystem, EachCreationFlagOpensTruncatesAppendsOrRefuses) {
  EXPECT_FALSE(reader("missing"));  // a missing file opens as nothing
  dir.writeFile("f", "old contents");
  const struct {
    const char* name;
    FS::CreationFlag creation;
    const char* text;
    const char* after;
  } kSteps[] = {{"f", FS::CF_OPEN_EXISTING, "OLD", "OLD contents"},
                {"f", FS::CF_CREATE_ALWAYS, "new", "new"},
                {"f", FS::CF_OPEN_APPEND, "+more", "new+more"},
                {"g", FS::CF_OPEN_APPEND, "fresh", "fresh"}};
  for (const auto& step : kSteps) {
    write(open(step.name, FS::ACCESS_WRITE, step.creation), step.text);
    EXPECT_EQ(step.after, dir.readFile(step.name));
  }
  EXPECT_EQ(kIO + path("f") + L" Already exist.",
            thrownBy([&] { open("f", FS::ACCESS_WRITE, FS::CF_CREATE_NEW); }));
  EXPECT_EQ(kIO + path("h"),
            thrownBy([&] { open("h", FS::ACCESS_WRITE, static_cast<FS::CreationFlag>(7)); }));
  EXPECT_EQ("new+more", dir.readFile("f"));
  EXPECT_FALSE(fs::exists(dir.path() / "h"));
}

TEST_F(HostFileSystem, AttributeFlagsAccessLengthAndTimes) {
  dir.writeFile("plain", std::string(1234, 'x'));
  dir.writeFile(".dot", "x");
  fs->createDirectory(path("sub"));
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
  // A read-only file refuses writing even to the superuser.
  EXPECT_FALSE(fs->checkAccess(path("ro"), FS::ACCESS_WRITE));
  EXPECT_TRUE(fs->checkAccess(path("ro"), FS::ACCESS_READ));
  EXPECT_FALSE(fs->checkAccess(path("missing"), FS::ACCESS_READ));
  EXPECT_FALSE(fs->checkAccess(path("missing"), FS::ACCESS_WRITE));
  EXPECT_EQ(kIO + path("ro"),
            thrownBy([&] { open("ro", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS); }));
  EXPECT_EQ(kIO + path("ro"), thrownBy([&] { fs->deleteFile(path("ro")); }));
  EXPECT_TRUE(fs::exists(dir.path() / "ro"));
  EXPECT_EQ(1234u, fs->getLength(path("plain")));
  const qel::CDateTime modified = fs->getModificationDate(path("plain"));
  const qel::CDateTime now = qel::CDateTime::GetSystemTime();
  EXPECT_TRUE(modified.isGMTTime() && modified.isValid());
  EXPECT_TRUE(modified.getJD() <= now.getJD() && modified.getJD() + 1 >= now.getJD());
  EXPECT_TRUE(fs->getCreationDate(path("plain")).isGMTTime());
  const std::wstring missing = path("missing");
  EXPECT_EQ(kNotFound + missing, thrownBy([&] { fs->getLength(missing); }));
  EXPECT_EQ(kNotFound + missing, thrownBy([&] { fs->getModificationDate(missing); }));
  EXPECT_EQ(kNotFound + missing, thrownBy([&] { fs->getCreationDate(missing); }));
}

TEST_F(HostFileSystem, DirectoriesAreMadeListedDeletedAndFilesRenamed) {
  dir.writeFile("one.txt", "1");
  dir.writeFile("two.log", "2");
  fs->createDirectory(path("sub"));
  // An existing directory is not "file exists": a plain IOException.
  EXPECT_EQ(kIO + path("sub"), thrownBy([&] { fs->createDirectory(path("sub")); }));
  EXPECT_EQ(kNotFound + path("x/y"), thrownBy([&] { fs->createDirectory(path("x/y")); }));
  // Bare names without dots are appended to the list.
  Names names{L"kept"};
  fs->listDirectory(dir.wstr(), L"*", names);
  EXPECT_EQ(L"kept", names.front());
  names.sort();
  EXPECT_EQ((Names{L"kept", L"one.txt", L"sub", L"two.log"}), names);
  Names filtered;
  fs->listDirectory(dir.wstr(), L"*.txt", filtered);
  EXPECT_EQ((Names{L"one.txt"}), filtered);
  Names none{L"x"};
  fs->listDirectory(path("missing"), L"*", none);
  EXPECT_EQ((Names{L"x"}), none);
  // Renaming replaces the target.
  fs->rename(path("one.txt"), path("two.log"));
  EXPECT_EQ("1", dir.readFile("two.log"));
  EXPECT_EQ(kNotFound + L"CPosixFileSystem::rename",
            thrownBy([&] { fs->rename(path("one.txt"), path("c")); }));
  // Files and empty directories are deleted, full ones are not.
  fs->createDirectory(path("sub/inner"));
  fs->deleteFile(path("two.log"));
  fs->deleteFile(path("sub/inner"));
  EXPECT_FALSE(fs::exists(dir.path() / "two.log") || fs::exists(dir.path() / "sub/inner"));
  dir.writeFile("sub/inner", "");
  EXPECT_EQ(kIO + path("sub"), thrownBy([&] { fs->deleteFile(path("sub")); }));
  EXPECT_EQ(kNotFound + path("missing"), thrownBy([&] { fs->deleteFile(path("missing")); }));
}

TEST_F(HostFileSystem, MisusedDescriptorsAndBadPathsAreReportedNeverSilentlyServed) {
  dir.writeFile("f", "0123456789abcdefghij");
  unsigned char buffer[64] = {};
  SmartPtr<CFileDescriptor> d = reader("f");
  EXPECT_EQ(fs.get(), d->getFileSystem().get());
  EXPECT_EQ(20u, fs->readFile(d.get(), buffer, sizeof(buffer)));
  EXPECT_EQ(0u, fs->readFile(d.get(), buffer, sizeof(buffer)));
  d->close();
  SmartPtr<CFileDescriptor> w = open("f", FS::ACCESS_WRITE, FS::CF_OPEN_EXISTING);
  SmartPtr<CFileDescriptor> foreign(new CFileDescriptor(fs.get()));
  // A NUL inside the path must not open a shorter path.
  const std::string nul = "f" + std::string(1, '\0') + "tail";
  const std::string tooLong(300, 'n');
  const std::pair<std::function<void()>, std::wstring> kCases[] = {
      {[&] { fs->readFile(d.get(), buffer, 4); }, kIO + L"CPosixFileSystem::readFile"},
      {[&] { d->close(); }, kIO + L"CPosixFileSystem::closeFile"},
      {[&] { fs->readFile(w.get(), buffer, 4); }, kIO + L"CPosixFileSystem::readFile"},
      {[&] { fs->writeFile(reader("f").get(), buffer, 4); }, kIO + L"CPosixFileSystem::writeFile"},
      {[&] { fs->readFile(foreign.get(), buffer, 1); }, kIO + L"CPosixFileSystem::readFile"},
      {[&] { reader(nul); }, kIO + path(nul)},
      {[&] { reader("no/such/file"); }, kNotFound + path("no/such/file")},
      {[&] { open("f/inner", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS); },
       kNotFound + path("f/inner")},
      {[&] { open(tooLong, FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS); }, kIO + path(tooLong)},
      {[&] { reader(""); }, kIO + path("")},  // a directory
      {[&] { fs->getLength(L""); }, kNotFound}};
  for (const auto& c : kCases) {
    EXPECT_EQ(c.second, thrownBy(c.first));
  }
  EXPECT_EQ(0, fs->getFileAttributeFlags(path(nul)));
  EXPECT_EQ(0, fs->getFileAttributeFlags(path("f/inner")));
  // The mapping of host errors to exceptions.
  EXPECT_EQ(kIO + L"n Already exist.",
            thrownBy([] { qel::CHostFileSystem::ThrowException(80, L"n"); }));
  for (std::uint32_t code : {2u, 3u, 161u, 0u, 5u, 183u, 145u}) {
    EXPECT_EQ(qel_test::exceptionTypeFor(code) + L": n",
              thrownBy([code] { qel::CHostFileSystem::ThrowException(code, L"n"); }));
  }
}

TEST_F(HostFileSystem, WritesGoThroughEachWriteOrAllAtCloseAndReadsInAnyPieces) {
  // A plain writing descriptor writes every block through; one opened
  // durable at close does not, and its data is complete after close.  (-1,
  // no descriptor, has every bit.)
  SmartPtr<CFileDescriptor> plain = open("plain", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS);
  EXPECT_EQ(O_DSYNC | O_WRONLY,
            qel_test::openFlagsOf(dir.path() / "plain") & (O_DSYNC | O_ACCMODE));
  SmartPtr<CFileDescriptor> later = open("later", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS,
                                         FS::OF_DURABLE_AT_CLOSE | FS::FA_READONLY);
  EXPECT_EQ(O_WRONLY, qel_test::openFlagsOf(dir.path() / "later") & (O_DSYNC | O_ACCMODE));
  write(later, "first ");
  write(later, "second");
  later->close();
  EXPECT_EQ(-1, qel_test::openFlagsOf(dir.path() / "later"));
  EXPECT_EQ("first second", dir.readFile("later"));
  EXPECT_EQ(19, fs->getFileAttributeFlags(path("later")));  // the attributes still apply
  EXPECT_EQ(kIO + L"CPosixFileSystem::closeFile", thrownBy([&] { later->close(); }));
  // Many writes, more than are gathered at once, arrive whole and in order.
  SmartPtr<CFileDescriptor> big =
      open("big", FS::ACCESS_WRITE, FS::CF_CREATE_ALWAYS, FS::OF_DURABLE_AT_CLOSE);
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    expected += std::string(4096 + i % 7, static_cast<char>('a' + i % 26));
    write(big, expected.substr(expected.size() - 4096 - i % 7));
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
  EXPECT_EQ("FIRST second", readAll(reader("both", FS::OF_DURABLE_AT_CLOSE).get()));
  // Sequential reading: small pieces, one larger than what is read ahead,
  // then small again.
  EXPECT_EQ(expected,
            readAll(reader("big", FS::OF_SEQUENTIAL_READ).get(), {4096, 1, 4096, 300000, 4096, 7}));
}

// Drive C: is a temporary directory holding Data, the current directory is
// C:\Data and the shared file system follows the Windows rules.
class Win32File : public ::testing::Test {
 protected:
  Win32File() : savedRoot(CWin32FileSystem::getDriveRoot(L'C')) {
    CWin32FileSystem::setDriveRoot(L'C', drive.str());
    fs::create_directory(drive.path() / "Data");
    COrvane::SetCurrentDirectory(L"C:\\Data");
  }
  ~Win32File() override {
    COrvane::SetCurrentDirectory(L"");
    CWin32FileSystem::setDriveRoot(L'C', savedRoot);
  }
  qel_test::TempDir drive;
  qel_test::FileSystemScope scope{&qel_test::makeFileSystem<CWin32FileSystem>};
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
  const wchar_t* const kParts[][3] = {
      {L"C:\\a\\b.txt", L"b.txt", L"C:\\a"}, {L"C:\\a", L"a", L"C:\\"}, {L"C:\\", L"", L"C:\\"}};
  for (const auto& c : kParts) {
    EXPECT_EQ(c[1], CFile(c[0]).getName());
    EXPECT_EQ(c[2], CFile(c[0]).getParent());
  }
  EXPECT_TRUE(CFile(L"C:\\A\\B.TXT") == CFile(L"c:\\a\\b.txt"));
  EXPECT_FALSE(CFile(L"C:\\A\\B.TXT") != CFile(L"c:\\a\\b.txt"));
  EXPECT_TRUE(CFile(L"C:\\a\\b") != CFile(L"C:\\a\\c"));
}

TEST_F(Win32File, FilesAndDirectoriesLandUnderTheMappedDrive) {
  CFile(L"new.txt").createNewFile();
  EXPECT_TRUE(fs::is_regular_file(drive.path() / "Data" / "new.txt"));
  EXPECT_EQ(0u, CFile(L"C:\\Data\\new.txt").length());
  // Slashes separate on the host side too, but a path with them is not
  // absolute under the Windows rules, so CFile would resolve it further.
  EXPECT_EQ(3, FS::getFileSystem()->getFileAttributeFlags(L"C:/Data/new.txt"));
  EXPECT_EQ(kIO + L"C:\\Data\\new.txt Already exist.",
            thrownBy([] { CFile(L"new.txt").createNewFile(); }));
  // mkdirs makes the whole chain, again without complaint, not through a file.
  CFile(L"C:\\a\\b\\c").mkdirs();
  CFile(L"C:\\a\\b\\c").mkdirs();
  EXPECT_TRUE(fs::is_directory(drive.path() / "a" / "b" / "c"));
  drive.writeFile("f", "file in the way");
  EXPECT_EQ(0u, thrownBy([] { CFile(L"C:\\f\\b").mkdirs(); }).find(kNotFound));
  // Forbidden names and unmapped drives.
  EXPECT_EQ(0u, thrownBy([] { CFile(L"C:\\Data\\a?b").createNewFile(); }).find(kIO));
  EXPECT_EQ(0u, thrownBy([] { CFile(L"C:\\Data\\a|b").createNewFile(); }).find(kIO));
  EXPECT_EQ(0u, thrownBy([] { CFile(L"Q:\\nothing").createNewFile(); }).find(kNotFound));
  EXPECT_FALSE(CFile(L"C:\\Data\\a*").exists() || CFile(L"Q:\\nothing").exists());
  // Listing, queries and renaming.
  CFile(L"C:\\Data\\sub").mkdirs();
  Names names;
  CFile(L"C:\\Data").listDirectory(names);
  names.sort();
  EXPECT_EQ((Names{L"new.txt", L"sub"}), names);
  Names none;
  CFile(L"C:\\Data\\new.txt").listDirectory(none);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(CFile(L"new.txt").canWrite());
  FS::getFileSystem()->setReadOnly(L"C:\\Data\\new.txt", true);
  EXPECT_FALSE(CFile(L"new.txt").canWrite());
  EXPECT_TRUE(CFile(L"new.txt").canRead());
  EXPECT_FALSE(CFile(L"gone").canRead() || CFile(L"gone").exists());
  CFile(L"new.txt").renameTo(CFile(L"to"));
  EXPECT_FALSE(CFile(L"new.txt").exists());
  EXPECT_TRUE(CFile(L"to").isFile());
  EXPECT_EQ(kNotFound + L"CWin32FileSystem::rename",
            thrownBy([] { CFile(L"new.txt").renameTo(CFile(L"again")); }));
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
  EXPECT_EQ(kIO + L"CFile: no path (a null pointer)",
            thrownBy([] { CFile(static_cast<const wchar_t*>(nullptr)); }));
  CFile(base, L"x").mkdirs();
  file.createNewFile();
  EXPECT_TRUE(file.isFile() && CFile(base + L"/x").isDirectory());
  file.deleteFile();
  EXPECT_FALSE(file.exists());
  EXPECT_EQ(kNotFound + file.getPath(), thrownBy([&] { file.length(); }));
  EXPECT_EQ(0u, thrownBy([&] { file.getModificationDate(); }).find(kNotFound));
  COrvane::SetCurrentDirectory(base);
  CFile(L"rel.txt").createNewFile();
  EXPECT_EQ(base + L"/rel.txt", CFile(L"rel.txt").getPath());
  EXPECT_TRUE(fs::exists(dir.path() / "rel.txt"));
  COrvane::SetCurrentDirectory(L"");
}

TEST(HostNames, EveryByteStringHasAWideNameThatMapsBackToIt) {
  qel_test::FileSystemScope scope(&qel_test::makeFileSystem<qel::CPosixFileSystem>);
  const std::pair<std::string, std::wstring> kNames[] = {
      {"a\xff\xfe.qel", L"a\xDCFF\xDCFE.qel"},  // bytes that start no sequence
      {"\x80z", L"\xDC80z"},                    // a lone continuation byte
      {"\xC0\xAF", L"\xDCC0\xDCAF"},            // an overlong '/'
      {"\xE2\x82z\xF0\x9F\x98", L"\xDCE2\xDC82z\xDCF0\xDC9F\xDC98"},  // cut short
      {"\xED\xB2\x80", L"\xDCED\xDCB2\xDC80"},                        // an escape's own UTF-8
      {"\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},              // beyond U+10FFFF
      {"\xC3\xA9\xEF\xBF\xBD\xF0\x9F\x98\x80", L"\xE9\xFFFD\x1F600"}};
  for (const auto& name : kNames) {
    SCOPED_TRACE(name.first);
    const CFile file(fs::path("/d/" + name.first));
    EXPECT_EQ(L"/d/" + name.second, file.getPath());
    EXPECT_EQ("/d/" + name.first, file.toPath().native());
    EXPECT_EQ("/d/" + name.first, CFile(L"/d/" + name.second).toPath().native());
  }
  // Other surrogates, next to the escapes or not, name no host file.
  for (const wchar_t* wide : {L"/d/\xD800", L"/d/\xDC7F", L"/d/x\xDD00"}) {
    EXPECT_EQ(kIO + wide + L": no host name", thrownBy([&] { CFile(wide).toPath(); }));
  }
}

TEST(HostNames, FilesNamedByBytesThatAreNotUtf8AreFoundOpenedListedAndRenamed) {
  qel_test::TempDir dir;
  qel_test::FileSystemScope scope(&qel_test::makeFileSystem<qel::CPosixFileSystem>);
  dir.writeFile("a\xff\xfe.qel", "abc");
  // Where the bytes were replaced, this file would be the one used.
  dir.writeFile("a\xEF\xBF\xBD\xEF\xBF\xBD.qel", "lossy");
  const CFile file(dir.path() / "a\xff\xfe.qel");
  EXPECT_TRUE(file.exists() && file.isFile());
  EXPECT_EQ(3u, file.length());
  EXPECT_FALSE(CFile(dir.wstr() + L"/a\xD800\xD800.qel").exists());
  Names names;
  CFile(dir.path()).listDirectory(names);
  names.sort();
  ASSERT_EQ((Names{L"a\xDCFF\xDCFE.qel", L"a\xFFFD\xFFFD.qel"}), names);
  const CFile listed(dir.wstr(), names.front());
  EXPECT_TRUE(listed == file);
  {
    qel::CFileOutputStream out(listed, true);
    out.write(reinterpret_cast<const unsigned char*>("de"), 2);
    out.close();
  }
  qel::CFileInputStream in(file);
  unsigned char buffer[8] = {};
  std::uint32_t status = 0;
  EXPECT_EQ(5u, in.read(buffer, sizeof(buffer), &status));
  EXPECT_EQ("abcde", std::string(reinterpret_cast<const char*>(buffer), 5));
  in.close();
  file.renameTo(CFile(dir.path() / "\x80z"));
  EXPECT_EQ("abcde", dir.readFile("\x80z"));
  EXPECT_EQ((std::vector<std::string>{"a\xEF\xBF\xBD\xEF\xBF\xBD.qel", "\x80z"}), dir.names());
  // A current directory whose name is not UTF-8 resolves relative names.
  const fs::path real = fs::canonical(dir.path());
  fs::create_directory(real / "d\xff");
  const fs::path before = fs::current_path();
  fs::current_path(real / "d\xff");
  EXPECT_EQ(real.wstring() + L"/d\xDCFF", CFile::getCurrentDirectory());
  CFile(L"rel").createNewFile();
  fs::current_path(before);
  EXPECT_TRUE(fs::is_regular_file(dir.path() / "d\xff" / "rel"));
}

TEST_F(Win32File, NamesThatAreNotUtf8LandUnderTheDriveByteForByte) {
  drive.writeFile("Data/a\xff\xfe.qel", "abc");
  EXPECT_EQ(3u, CFile(L"a\xDCFF\xDCFE.qel").length());
  Names names;
  CFile(L"C:\\Data").listDirectory(names);
  EXPECT_EQ((Names{L"a\xDCFF\xDCFE.qel"}), names);
  EXPECT_EQ(0u, thrownBy([] { CFile(L"\xD800").createNewFile(); }).find(kIO));
}

std::atomic<int> g_fsCreated{0}, g_fsDestroyed{0};

class CountingFileSystem : public qel::CPosixFileSystem {
 public:
  CountingFileSystem() { ++g_fsCreated; }
  ~CountingFileSystem() override { ++g_fsDestroyed; }
};

constexpr auto makeCounting = &qel_test::makeFileSystem<CountingFileSystem>;
constexpr auto makeWin32 = &qel_test::makeFileSystem<CWin32FileSystem>;

class SharedInstance : public ::testing::Test {
 protected:
  SharedInstance() {
    g_fsCreated = 0;
    g_fsDestroyed = 0;
  }
  qel_test::FileSystemScope scope{makeCounting};
};

TEST_F(SharedInstance, SameObjectWhileHeldNewOneAfterReleaseOrReset) {
  SmartPtr<FS> first = FS::getFileSystem();
  SmartPtr<FS> second = FS::getFileSystem();
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(2u, first->getRefCount());
  first.reset();
  second.reset();
  EXPECT_EQ(1, g_fsDestroyed.load());
  // A reset detaches the instance, but its holders keep it.
  SmartPtr<FS> held = FS::getFileSystem();
  EXPECT_EQ(2, g_fsCreated.load());
  FS::resetInstance();
  SmartPtr<FS> fresh = FS::getFileSystem();
  EXPECT_NE(held.get(), fresh.get());
  EXPECT_EQ(L'/', held->getSeparatorChar());
  // Destroying the detached instance leaves the new shared one in place.
  held.reset();
  EXPECT_EQ(fresh.get(), FS::getFileSystem().get());
}

TEST_F(SharedInstance, FactorySelectsTheKindAndNullRestoresTheDefault) {
  EXPECT_EQ(makeCounting, FS::setFactory(makeWin32));
  FS::resetInstance();
  EXPECT_EQ(L'\\', FS::getFileSystem()->getSeparatorChar());
  EXPECT_EQ(makeWin32, FS::setFactory(nullptr));
  FS::resetInstance();
  EXPECT_EQ(L'/', FS::getFileSystem()->getSeparatorChar());
  EXPECT_EQ(0, g_fsCreated.load());
  FS::setFactory(makeCounting);
}

// Eight threads fetch, copy, use and reset the shared file system (every
// instance made is destroyed exactly once) and query files through it.
TEST(StressConcurrency, EightThreadsShareTheFileSystemAndQueryFiles) {
  qel_test::FileSystemScope scope(makeCounting);
  g_fsCreated = 0;
  g_fsDestroyed = 0;
  qel_test::TempDir dir;
  dir.writeFile("a.txt", std::string(1234, 'a'));
  dir.writeFile("b.txt", "");
  CFile(dir.wpath("sub")).mkdirs();
  std::atomic<long> failures{0};
  {  // the files hold the file system: they go before the count is taken
    const CFile a(dir.wpath("a.txt")), b(dir.wpath("b.txt")), sub(dir.wpath("sub"));
    const std::function<bool(unsigned)> kOperations[] = {
        [&](unsigned step) {
          SmartPtr<FS> fs = FS::getFileSystem();
          const SmartPtr<FS> copy = fs;
          const bool ok = copy->getSeparatorChar() == L'/';
          if (step % 16 == 0) {
            FS::resetInstance();
          }
          return ok;
        },
        [&](unsigned) {
          return a.exists() && a.length() == 1234 && b.isFile() && b.length() == 0 &&
                 sub.isDirectory() && a.getName() == L"a.txt";
        },
        [&](unsigned) {
          Names names;
          CFile(dir.wstr()).listDirectory(names);
          return names.size() == 3;
        }};
    qel_test::onThreads(8, [&](int t) {
      for (unsigned i = 0, step = t * 7919u; i < 3000; ++i) {
        step = step * 1103515245u + 12345u;
        failures += kOperations[(step >> 16) % 3](step >> 4) ? 0 : 1;
      }
    });
  }
  EXPECT_EQ(failures.load(), 0);
  FS::resetInstance();
  EXPECT_EQ(g_fsCreated.load(), g_fsDestroyed.load());
  EXPECT_GT(g_fsCreated.load(), 1);
}

}  // namespace
