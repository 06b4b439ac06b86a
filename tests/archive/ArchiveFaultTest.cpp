// Every disk call that storing and loading trees make is failed in turn (or
// made short), and each failure must come out as the file system's
// exception, leave no file open, and, for the crash-safe store, leave the
// previous file exactly as it was.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

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
                                                                      FileCall::kRename};

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

  bool temporaryLeft() const {
    return std::filesystem::exists(std::filesystem::symlink_status(_dir.path() / "tree.arc.tmp"));
  }

  std::string _oldBytes;
};

TEST_F(CrashSafeStoreFaults, EveryFailedCallLeavesThePreviousFileIntact) {
  qel_test::FaultScope faults;
  const std::wstring path = _dir.wpath("tree.arc");
  const std::wstring temporary = path + L".tmp";
  const Counts counts = measure([&] { CTreeFile::store(CFile(path), _newTree); });
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpen)]);
  EXPECT_GE(counts[static_cast<int>(FileCall::kWrite)], 5u);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kClose)]);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kRename)]);
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
      EXPECT_EQ(FaultyFileSystem::messageFor(call, temporary), failure.message);
      EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
      EXPECT_FALSE(temporaryLeft());
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
  EXPECT_FALSE(temporaryLeft());
}

TEST_F(CrashSafeStoreFaults, TheFirstFailureIsReportedWhenTheCloseFailsToo) {
  qel_test::FaultScope faults;
  ErrorNotices notices;
  const std::wstring path = _dir.wpath("tree.arc");
  const unsigned writes =
      measure([&] { CTreeFile::store(CFile(path), _newTree); })[static_cast<int>(FileCall::kWrite)];
  for (unsigned n = 1; n <= writes; ++n) {
    SCOPED_TRACE("writeFile #" + std::to_string(n) + " and closeFile #1");
    _dir.writeFile("tree.arc", _oldBytes);
    const int descriptors = qel_test::openDescriptorCount();
    // The close runs where it cannot throw; its failure becomes a notice.
    qel_test::LogCapture log;
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kWrite, n);
    FaultyFileSystem::arm(FileCall::kClose, 1);
    const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
    EXPECT_EQ(2u, FaultyFileSystem::fired());
    ASSERT_TRUE(failure.thrown);
    EXPECT_EQ(L"CPosixFileSystem::writeFile", failure.message);
    // The last block goes out in the explicit close, which reports the
    // write and drops the close failure; an earlier block fails while the
    // tree is written, and the archive's destructor logs the failed close.
    EXPECT_EQ(n < writes ? 1u : 0u, log.messages().size());
    EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
    EXPECT_FALSE(temporaryLeft());
    EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
  }
  std::printf("[ fault    ] crash-safe store, failed write and close: %u points\n", writes);
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
    EXPECT_FALSE(temporaryLeft());
  }
  std::printf("[ fault    ] crash-safe store, short writes: %u points\n", writes + 1);
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
  EXPECT_FALSE(temporaryLeft());

  CComposite throwing;
  qel_test::buildSampleTree(throwing, "throwing", 100);
  throwing.add(new FailingComponent(FailingComponent::How::kThrow));
  EXPECT_THROW(CTreeFile::store(CFile(path), throwing), std::bad_alloc);
  EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
  EXPECT_FALSE(temporaryLeft());
}

TEST_F(CrashSafeStoreFaults, AForeignEntryInTheTemporarysPlaceIsNotRemoved) {
  // A directory that happens to have the temporary name is not the store's
  // to remove: the store fails and leaves it, and the target, alone.
  const std::filesystem::path foreign = _dir.path() / "tree.arc.tmp";
  std::filesystem::create_directory(foreign);
  const std::wstring path = _dir.wpath("tree.arc");
  const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(L"IOException", failure.type);
  EXPECT_EQ(path + L".tmp is a directory", failure.message);
  EXPECT_TRUE(std::filesystem::is_directory(foreign));
  EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
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
  EXPECT_EQ(L"CPosixFileSystem::writeFile", failure.message);
  EXPECT_EQ(0, FaultyFileSystem::plan().room);
  EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
  EXPECT_FALSE(temporaryLeft());
  EXPECT_EQ(descriptors, qel_test::openDescriptorCount());

  CArchive::RetError code = CArchive::RET_END_OF_DATA;
  EXPECT_TRUE(qel_test::sameBytes(describeTree(_oldTree), describeFile(path, &code)));
  EXPECT_EQ(CArchive::RET_OK, code);
}

TEST_F(CrashSafeStoreFaults, TheHostsOwnDiskFullErrorKeepsThePreviousFile) {
  // No injection: the temporary name leads to a device that is always full,
  // so the first write gets the host's own "no space" error.
  std::error_code ec;
  std::filesystem::create_symlink("/dev/full", _dir.path() / "tree.arc.tmp", ec);
  if (ec || !std::filesystem::exists("/dev/full")) {
    GTEST_SKIP() << "no /dev/full on this host";
  }
  const std::wstring path = _dir.wpath("tree.arc");
  const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path), _newTree); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(L"IOException", failure.type);
  // Archive files gather their writes and hand them to the disk at the
  // latest when they are closed, so a tree this small meets the full disk
  // there.
  EXPECT_EQ(L"CPosixFileSystem::closeFile", failure.message);
  EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
  EXPECT_FALSE(temporaryLeft());
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

}  // namespace
