// Every disk call that storing and loading trees make is failed in turn (or
// made short), and each failure must come out as the file system's
// exception, leave no file open, and, for the crash-safe store, leave the
// previous file exactly as it was.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "archive/TreeSamples.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;
using qel_test::describeTree;
using qel_test::Failure;
using qel_test::Fault;
using qel_test::FaultyFileSystem;
using qel_test::FileCall;

namespace {

constexpr std::array<FileCall, qel_test::kFileCallKinds> kAllCalls = {FileCall::kOpen,
                                                                      FileCall::kRead,
                                                                      FileCall::kWrite,
                                                                      FileCall::kClose,
                                                                      FileCall::kCreateDirectory,
                                                                      FileCall::kRename,
                                                                      FileCall::kOpenReplacement,
                                                                      FileCall::kCommitReplacement,
                                                                      FileCall::kLock};

using Counts = std::array<unsigned, qel_test::kFileCallKinds>;

// The calls of each kind that one unfaulted run of the operation makes.
template <typename Operation>
Counts measure(Operation&& operation) {
  FaultyFileSystem::reset();
  operation();
  const Counts counts = FaultyFileSystem::plan().counts;
  FaultyFileSystem::reset();
  return counts;
}

unsigned total(const Counts& counts) {
  unsigned sum = 0;
  for (unsigned n : counts) {
    sum += n;
  }
  return sum;
}

// Stores root into path through an archive, closing it explicitly so that
// a failure of the last block or of the close is thrown.
void storeThroughArchive(const std::wstring& path, CComposite& root) {
  CFile file(path);
  CArchive ar(file, CArchive::STORE);
  CArchive::RetError code = CArchive::RET_END_OF_DATA;
  root.serialize(ar, code);
  ASSERT_EQ(CArchive::RET_OK, code);
  ar.close();
}

std::string describeFile(const std::wstring& path, CArchive::RetError* code = nullptr) {
  CComposite back;
  const CTreeFile::LoadReport report = CTreeFile::load(CFile(path), back);
  if (code != nullptr) {
    *code = report.eCode;
  }
  return qel_test::describeTree(back);
}

// Error notices on for the lifetime of the object.
struct ErrorNotices {
  bool previous = qel::DISPLAY_ERROR_LOGS;
  ErrorNotices() { qel::DISPLAY_ERROR_LOGS = true; }
  ~ErrorNotices() { qel::DISPLAY_ERROR_LOGS = previous; }
};

class ArchiveFaults : public ::testing::Test {
 protected:
  ArchiveFaults() {
    qel_test::buildSampleTree(_oldTree, "old", 300);
    qel_test::buildSampleTree(_newTree, "new", 420);
  }

  qel_test::TempDir _dir;
  CComposite _oldTree;
  CComposite _newTree;
};

// ---- storing through an archive ---------------------------------------------

TEST_F(ArchiveFaults, EveryFailedCallOfAStoreIsThrownAndClosesTheFile) {
  qel_test::FaultScope faults;
  int run = 0;
  auto target = [this, &run] { return _dir.wpath("store" + std::to_string(run) + "/tree.arc"); };
  const Counts counts = measure([&] { storeThroughArchive(target(), _newTree); });
  // A tree of several blocks in a directory that the store creates.
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kCreateDirectory)]);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpen)]);
  EXPECT_GE(counts[static_cast<int>(FileCall::kWrite)], 5u);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kClose)]);

  unsigned swept = 0;
  for (FileCall call : kAllCalls) {
    for (unsigned n = 1; n <= counts[static_cast<int>(call)]; ++n) {
      ++run;
      SCOPED_TRACE(std::string(qel_test::fileCallName(call)) + " #" + std::to_string(n));
      const int descriptors = qel_test::openDescriptorCount();
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, n);
      const std::wstring path = target();
      const Failure failure = qel_test::failureOf([&] { storeThroughArchive(path, _newTree); });
      EXPECT_EQ(1u, FaultyFileSystem::fired());
      ASSERT_TRUE(failure.thrown);
      EXPECT_EQ(qel_test::exceptionTypeFor(FaultyFileSystem::defaultError(call)), failure.type);
      const std::wstring where =
          call == FileCall::kCreateDirectory ? CFile(path).getParent() : path;
      EXPECT_EQ(FaultyFileSystem::messageFor(call, where), failure.message);
      EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
      ++swept;
    }
  }
  EXPECT_EQ(total(counts), swept);
  std::printf("[ fault    ] archive store: %u fault points\n", swept);
}

TEST_F(ArchiveFaults, AShortWriteAnywhereInAStoreLosesNothing) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("short.arc");
  const Counts counts = measure([&] { storeThroughArchive(path, _newTree); });
  const unsigned writes = counts[static_cast<int>(FileCall::kWrite)];
  const std::string expected = describeTree(_newTree);
  const std::string stored = _dir.readFile("short.arc");
  for (unsigned n = 1; n <= writes + 1; ++n) {
    // The last round makes every write short.
    const bool every = n > writes;
    SCOPED_TRACE(every ? std::string("every write") : "write #" + std::to_string(n));
    std::filesystem::remove(_dir.path() / "short.arc");
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kWrite, every ? 1 : n, Fault::kShort, 0, every);
    const Failure failure = qel_test::failureOf([&] { storeThroughArchive(path, _newTree); });
    EXPECT_FALSE(failure.thrown) << qel::CWin32Helper::toUTF8(failure.message);
    EXPECT_GE(FaultyFileSystem::fired(), 1u);
    EXPECT_TRUE(qel_test::sameBytes(stored, _dir.readFile("short.arc")));
    FaultyFileSystem::reset();
    CArchive::RetError code = CArchive::RET_END_OF_DATA;
    EXPECT_TRUE(qel_test::sameBytes(expected, describeFile(path, &code)));
    EXPECT_EQ(CArchive::RET_OK, code);
  }
  std::printf("[ fault    ] archive store, short writes: %u points\n", writes + 1);
}

// ---- loading ----------------------------------------------------------------

TEST_F(ArchiveFaults, EveryFailedCallOfALoadIsThrownOrHarmless) {
  qel_test::FaultScope faults;
  ErrorNotices notices;
  const std::wstring path = _dir.wpath("load.arc");
  CTreeFile::store(CFile(path), _newTree);
  const std::string expected = describeTree(_newTree);
  const Counts counts = measure([&] { describeFile(path); });
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpen)]);
  EXPECT_GE(counts[static_cast<int>(FileCall::kRead)], 6u);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kClose)]);
  EXPECT_EQ(0u, counts[static_cast<int>(FileCall::kWrite)] +
                    counts[static_cast<int>(FileCall::kCreateDirectory)] +
                    counts[static_cast<int>(FileCall::kRename)]);

  unsigned swept = 0;
  for (FileCall call : kAllCalls) {
    for (unsigned n = 1; n <= counts[static_cast<int>(call)]; ++n) {
      SCOPED_TRACE(std::string(qel_test::fileCallName(call)) + " #" + std::to_string(n));
      const int descriptors = qel_test::openDescriptorCount();
      qel_test::LogCapture log;
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, n);
      std::string loaded;
      CArchive::RetError code = CArchive::RET_END_OF_DATA;
      const Failure failure = qel_test::failureOf([&] { loaded = describeFile(path, &code); });
      EXPECT_EQ(1u, FaultyFileSystem::fired());
      if (call == FileCall::kClose) {
        // Everything was read when the close fails: the tree is complete
        // and the failure is only logged.
        EXPECT_FALSE(failure.thrown);
        EXPECT_EQ(CArchive::RET_OK, code);
        EXPECT_TRUE(qel_test::sameBytes(expected, loaded));
        ASSERT_EQ(1u, log.messages().size());
        EXPECT_EQ(L"1:", log.messages()[0].substr(0, 2));
        // Nothing was lost, and the notice does not claim otherwise.
        EXPECT_NE(std::wstring::npos, log.messages()[0].find(L"file not closed"))
            << log.messages()[0];
      } else {
        ASSERT_TRUE(failure.thrown);
        EXPECT_EQ(L"IOException", failure.type);
        EXPECT_EQ(FaultyFileSystem::messageFor(call, path), failure.message);
      }
      EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
      ++swept;
    }
  }
  EXPECT_EQ(total(counts), swept);
  std::printf("[ fault    ] tree load: %u fault points\n", swept);
}

TEST_F(ArchiveFaults, AFileThatVanishesBeforeTheOpenIsReportedAsNotFound) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("gone.arc");
  CTreeFile::store(CFile(path), _oldTree);
  FaultyFileSystem::reset();
  FaultyFileSystem::arm(FileCall::kOpen, 1, Fault::kFail, FaultyFileSystem::kFileNotFound);
  CComposite back;
  const CTreeFile::LoadReport report = CTreeFile::load(CFile(path), back);
  EXPECT_EQ(1u, FaultyFileSystem::fired());
  EXPECT_FALSE(report.bFound);
  EXPECT_EQ(CArchive::RET_END_OF_DATA, report.eCode);
  EXPECT_EQ(0u, back.getChildCount());
}

TEST_F(ArchiveFaults, ShortReadsAnywhereLoadTheWholeTree) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("reads.arc");
  CTreeFile::store(CFile(path), _newTree);
  const std::string expected = describeTree(_newTree);
  const unsigned reads = measure([&] { describeFile(path); })[static_cast<int>(FileCall::kRead)];
  for (unsigned n = 1; n <= reads + 1; ++n) {
    const bool every = n > reads;
    SCOPED_TRACE(every ? std::string("every read") : "read #" + std::to_string(n));
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kRead, every ? 1 : n, Fault::kShort, 0, every);
    CArchive::RetError code = CArchive::RET_END_OF_DATA;
    EXPECT_TRUE(qel_test::sameBytes(expected, describeFile(path, &code)));
    EXPECT_EQ(CArchive::RET_OK, code);
    EXPECT_GE(FaultyFileSystem::fired(), 1u);
  }
  std::printf("[ fault    ] tree load, short reads: %u points\n", reads + 1);
}

// ---- the crash-safe store ---------------------------------------------------

class CrashSafeStoreFaults : public ArchiveFaults {
 protected:
  void SetUp() override {
    CTreeFile::store(CFile(_dir.wpath("tree.arc")), _oldTree);
    _oldBytes = _dir.readFile("tree.arc");
    ASSERT_GT(_oldBytes.size(), 3u * CArchive::BLOCK_SIZE);
  }

  // The entries of the directory besides the target and those named.
  std::vector<std::string> strays(const std::vector<std::string>& expected = {}) const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(_dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name != "tree.arc" &&
          std::find(expected.begin(), expected.end(), name) == expected.end()) {
        found.push_back(name);
      }
    }
    return found;
  }

  std::string _oldBytes;
};

TEST_F(CrashSafeStoreFaults, EveryFailedCallLeavesThePreviousFileIntact) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("tree.arc");
  const Counts counts = measure([&] { CTreeFile::store(CFile(path), _newTree); });
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpenReplacement)]);
  EXPECT_GE(counts[static_cast<int>(FileCall::kWrite)], 5u);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kCommitReplacement)]);
  // Nothing but the replacement touches the directory.
  EXPECT_EQ(0u, counts[static_cast<int>(FileCall::kOpen)] +
                    counts[static_cast<int>(FileCall::kClose)] +
                    counts[static_cast<int>(FileCall::kRename)] +
                    counts[static_cast<int>(FileCall::kCreateDirectory)]);
  const std::string newBytes = _dir.readFile("tree.arc");
  ASSERT_NE(_oldBytes, newBytes);

  unsigned swept = 0;
  for (FileCall call : kAllCalls) {
    for (unsigned n = 1; n <= counts[static_cast<int>(call)]; ++n) {
      SCOPED_TRACE(std::string(qel_test::fileCallName(call)) + " #" + std::to_string(n));
      _dir.writeFile("tree.arc", _oldBytes);
      const int descriptors = qel_test::openDescriptorCount();
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, n);
      const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
      EXPECT_EQ(1u, FaultyFileSystem::fired());
      ASSERT_TRUE(failure.thrown);
      EXPECT_EQ(L"IOException", failure.type);
      EXPECT_EQ(FaultyFileSystem::replacementMessageFor(call, path), failure.message);
      EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
      EXPECT_TRUE(strays().empty());
      EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
      ++swept;
    }
  }
  EXPECT_EQ(total(counts), swept);
  std::printf("[ fault    ] crash-safe store: %u fault points\n", swept);

  // Afterwards the same store goes through.
  FaultyFileSystem::reset();
  CTreeFile::store(CFile(path), _newTree);
  EXPECT_TRUE(qel_test::sameBytes(newBytes, _dir.readFile("tree.arc")));
  EXPECT_TRUE(strays().empty());
}

TEST_F(CrashSafeStoreFaults, TheFirstFailureIsReportedWhenDiscardingFailsToo) {
  qel_test::FaultScope faults;
  ErrorNotices notices;
  const std::wstring path = _dir.wpath("tree.arc");
  const unsigned writes =
      measure([&] { CTreeFile::store(CFile(path), _newTree); })[static_cast<int>(FileCall::kWrite)];
  for (unsigned n = 1; n <= writes; ++n) {
    SCOPED_TRACE("writeFile #" + std::to_string(n) + " and closeFile #1");
    _dir.writeFile("tree.arc", _oldBytes);
    const int descriptors = qel_test::openDescriptorCount();
    qel_test::LogCapture log;
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kWrite, n);
    FaultyFileSystem::arm(FileCall::kClose, 1);
    const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
    EXPECT_EQ(2u, FaultyFileSystem::fired());
    ASSERT_TRUE(failure.thrown);
    EXPECT_EQ(path + L": No space left on device", failure.message);
    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
    EXPECT_TRUE(strays().empty());
    EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
  }
  std::printf("[ fault    ] crash-safe store, failed write and discard: %u points\n", writes);
}

TEST_F(CrashSafeStoreFaults, AFailedDirectoryCreationLeavesNothingBehind) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("sub/tree.arc");
  FaultyFileSystem::arm(FileCall::kCreateDirectory, 1);
  const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(L"IOException", failure.type);
  EXPECT_EQ(_dir.wpath("sub"), failure.message);
  EXPECT_FALSE(std::filesystem::exists(_dir.path() / "sub"));
}

TEST_F(CrashSafeStoreFaults, ShortWritesStillReplaceTheFileWhole) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("tree.arc");
  const unsigned writes =
      measure([&] { CTreeFile::store(CFile(path), _newTree); })[static_cast<int>(FileCall::kWrite)];
  const std::string newBytes = _dir.readFile("tree.arc");
  for (unsigned n = 1; n <= writes + 1; ++n) {
    const bool every = n > writes;
    SCOPED_TRACE(every ? std::string("every write") : "write #" + std::to_string(n));
    _dir.writeFile("tree.arc", _oldBytes);
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kWrite, every ? 1 : n, Fault::kShort, 0, every);
    const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
    EXPECT_FALSE(failure.thrown) << qel::CWin32Helper::toUTF8(failure.message);
    EXPECT_TRUE(qel_test::sameBytes(newBytes, _dir.readFile("tree.arc")));
    EXPECT_TRUE(strays().empty());
  }
  std::printf("[ fault    ] crash-safe store, short writes: %u points\n", writes + 1);
}

// The files open in this process that lie in directory (or lay there: an
// unnamed file shows as "<directory>/#<inode> (deleted)").
std::vector<std::filesystem::path> openFilesIn(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target.parent_path() == directory) {
      found.push_back(entry.path());
    }
  }
  return found;
}

TEST_F(CrashSafeStoreFaults, TheNewFileIsPrivateUntilItIsInPlace) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("tree.arc");
  std::filesystem::permissions(_dir.path() / "tree.arc", std::filesystem::perms(0644));
  unsigned seen = 0;
  FaultyFileSystem::plan().beforeCommit = [&] {
    // The complete new file is open, private from its first byte, and no
    // one can open it by a name that is not the store's own.
    const std::vector<std::filesystem::path> open = openFilesIn(_dir.path());
    ASSERT_EQ(1u, open.size());
    struct stat st;
    ASSERT_EQ(0, ::stat(open[0].c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    for (const std::string& name : strays()) {
      EXPECT_EQ(0u, name.rfind(".tree.arc.", 0)) << name;
    }
    EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
    ++seen;
  };
  CTreeFile::store(CFile(path), _newTree);
  EXPECT_EQ(1u, seen);
  EXPECT_EQ(std::filesystem::perms(0644),
            std::filesystem::status(_dir.path() / "tree.arc").permissions());
  EXPECT_TRUE(strays().empty());
}

// A leaf whose storing fails, by its code or by an exception that is not
// the library's.
class FailingComponent : public qel::CComponent {
 public:
  enum class How { kCode, kThrow };
  explicit FailingComponent(How how) : CComponent("zz-failing", "value"), _how(how) {}
  CBaseComponent* clone() const override { return new FailingComponent(*this); }
  void serialize(CArchive& ar, CArchive::RetError& code) override {
    if (!ar.isStoring()) {
      CComponent::serialize(ar, code);
    } else if (_how == How::kThrow) {
      throw std::bad_alloc();
    } else {
      code = CArchive::RET_WRONG_TYPE;
    }
  }

 private:
  How _how;
};

TEST_F(CrashSafeStoreFaults, AFailingComponentLeavesThePreviousFileIntact) {
  const std::wstring path = _dir.wpath("tree.arc");
  _newTree.add(new FailingComponent(FailingComponent::How::kCode));
  const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(L"IOException", failure.type);
  EXPECT_EQ(L"Storing the tree into " + path + L" failed with code 2", failure.message);
  EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
  EXPECT_TRUE(strays().empty());

  CComposite throwing;
  qel_test::buildSampleTree(throwing, "throwing", 100);
  throwing.add(new FailingComponent(FailingComponent::How::kThrow));
  EXPECT_THROW(CTreeFile::store(CFile(path), throwing), std::bad_alloc);
  EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
  EXPECT_TRUE(strays().empty());
}

TEST_F(CrashSafeStoreFaults, AFileOrLinkAtTheNameTargetDotTmpIsNotTouched) {
  // A user's own "<target>.tmp", and a link planted there by someone who can
  // write the directory, survive a store that succeeds and one that fails;
  // the link's victim is never written.
  const std::wstring path = _dir.wpath("tree.arc");
  const std::filesystem::path planted = _dir.path() / "tree.arc.tmp";
  _dir.writeFile("victim", "private");
  CComposite failing;
  qel_test::buildSampleTree(failing, "failing", 10);
  failing.add(new FailingComponent(FailingComponent::How::kCode));
  for (const bool link : {false, true}) {
    SCOPED_TRACE(link ? "a link to another file" : "a file of the user's");
    std::filesystem::remove(planted);
    if (link) {
      std::filesystem::create_symlink(_dir.path() / "victim", planted);
    } else {
      _dir.writeFile("tree.arc.tmp", "mine");
    }
    CTreeFile::store(CFile(path), _newTree);
    EXPECT_EQ(describeTree(_newTree), describeFile(path));
    EXPECT_EQ(std::filesystem::file_type::regular,
              std::filesystem::symlink_status(_dir.path() / "tree.arc").type());
    EXPECT_THROW(CTreeFile::store(CFile(path), failing), qel::IOException);
    EXPECT_EQ(describeTree(_newTree), describeFile(path));
    EXPECT_EQ(link, std::filesystem::is_symlink(planted));
    EXPECT_EQ(link ? "private" : "mine", _dir.readFile("tree.arc.tmp"));
    EXPECT_EQ("private", _dir.readFile("victim"));
    EXPECT_TRUE(strays({"victim", "tree.arc.tmp"}).empty());
  }
}

TEST_F(CrashSafeStoreFaults, EveryFailedCallOfAnUpdateLeavesTheFileAndReleasesTheLock) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("tree.arc");
  auto edit = [](CComposite& root) { root.add(new qel::CComponent("added", "1")); };
  const Counts counts = measure([&] { CTreeFile::update(CFile(path), edit); });
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kLock)]);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpen)]);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpenReplacement)]);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kCommitReplacement)]);

  unsigned swept = 0;
  for (FileCall call : kAllCalls) {
    // A failed close of the loaded file is only logged: the tree is whole.
    if (call == FileCall::kClose) {
      continue;
    }
    for (unsigned n = 1; n <= counts[static_cast<int>(call)]; ++n) {
      SCOPED_TRACE(std::string(qel_test::fileCallName(call)) + " #" + std::to_string(n));
      _dir.writeFile("tree.arc", _oldBytes);
      const int descriptors = qel_test::openDescriptorCount();
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, n);
      const Failure failure = qel_test::failureOf([&] { CTreeFile::update(CFile(path), edit); });
      EXPECT_EQ(1u, FaultyFileSystem::fired());
      EXPECT_TRUE(failure.thrown);
      EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
      EXPECT_TRUE(strays().empty());
      EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
      // The lock went with the failure.
      FaultyFileSystem::reset();
      EXPECT_NO_THROW(qel::CFileSystem::getFileSystem()->lockFile(path, 0));
      ++swept;
    }
  }
  EXPECT_EQ(total(counts) - counts[static_cast<int>(FileCall::kClose)], swept);
  std::printf("[ fault    ] update: %u fault points\n", swept);
}

// ---- a full disk --------------------------------------------------------------

TEST_F(CrashSafeStoreFaults, ADiskThatFillsHalfWayKeepsThePreviousFile) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("tree.arc");
  const int descriptors = qel_test::openDescriptorCount();
  // Room for about half of the new file: the write that reaches the limit
  // is short, the next one fails with the disk-full error.
  FaultyFileSystem::setRoom(static_cast<long long>(_oldBytes.size() / 2 + 1000));
  const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(L"IOException", failure.type);
  EXPECT_EQ(path + L": No space left on device", failure.message);
  EXPECT_EQ(0, FaultyFileSystem::plan().room);
  EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
  EXPECT_TRUE(strays().empty());
  EXPECT_EQ(descriptors, qel_test::openDescriptorCount());

  CArchive::RetError code = CArchive::RET_END_OF_DATA;
  EXPECT_TRUE(qel_test::sameBytes(describeTree(_oldTree), describeFile(path, &code)));
  EXPECT_EQ(CArchive::RET_OK, code);
}

}  // namespace
