// Every disk call that storing and loading trees make is failed in turn (or
// made short), and each failure must come out as the file system's
// exception, leave no file open, and, for the crash-safe store, leave the
// previous file exactly as it was.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
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

using Counts = std::array<unsigned, qel_test::kFileCallKinds>;

unsigned count(const Counts& counts, FileCall call) {
  return counts[static_cast<int>(call)];
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
  return describeTree(back);
}

class ArchiveFaults : public ::testing::Test {
 protected:
  ArchiveFaults() {
    qel_test::buildSampleTree(_oldTree, "old", 300);
    qel_test::buildSampleTree(_newTree, "new", 420);
    // A record longer than half a block: short reads must not end it.
    _newTree.add(new qel::CComponent("long", std::string(4000, 'l')));
  }

  void SetUp() override {
    CTreeFile::store(CFile(path()), _oldTree);
    _oldBytes = _dir.readFile("tree.arc");
    ASSERT_GT(_oldBytes.size(), 3u * CArchive::BLOCK_SIZE);
  }

  std::wstring path() const { return _dir.wpath("tree.arc"); }

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

  // The previous file is exactly as it was, with nothing beside it.
  void expectOldFileIntact() const {
    EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("tree.arc")));
    EXPECT_TRUE(strays().empty());
  }

  qel_test::TempDir _dir;
  CComposite _oldTree;
  CComposite _newTree;
  std::string _oldBytes;
};

TEST_F(ArchiveFaults, EveryFailedCallOfAStoreThroughAnArchiveOrOfALoadIsThrownOrLogged) {
  qel_test::FaultScope faults;
  CTreeFile::store(CFile(path()), _newTree);
  const std::string expected = describeTree(_newTree);
  int run = 0;
  // A store of several blocks into a directory that it creates.
  auto target = [this, &run] { return _dir.wpath("store" + std::to_string(run) + "/tree.arc"); };
  std::unique_ptr<qel_test::LogCapture> log;
  std::string loaded;
  CArchive::RetError code = CArchive::RET_END_OF_DATA;
  for (const bool load : {false, true}) {
    SCOPED_TRACE(load ? "load" : "store");
    const std::function<void()> operation = [&] {
      load ? (void)(loaded = describeFile(path(), &code)) : storeThroughArchive(target(), _newTree);
    };
    const Counts counts = qel_test::countCalls(operation);
    EXPECT_TRUE(count(counts, FileCall::kOpen) == 1 && count(counts, FileCall::kClose) == 1 &&
                count(counts, FileCall::kCreateDirectory) == (load ? 0u : 1u));
    EXPECT_GE(count(counts, load ? FileCall::kRead : FileCall::kWrite), 5u);
    const unsigned swept = qel_test::sweepFaults(
        counts,
        {FileCall::kCreateDirectory, FileCall::kOpen, FileCall::kRead, FileCall::kWrite,
         FileCall::kClose},
        [&] {
          ++run;
          log.reset();
          log = std::make_unique<qel_test::LogCapture>();
        },
        operation,
        [&](FileCall call, unsigned, const Failure& failure) {
          if (load && call == FileCall::kClose) {
            // Everything was read when the close fails: the tree is complete
            // and the failure is only logged, without claiming a loss.
            EXPECT_FALSE(failure.thrown);
            EXPECT_EQ(CArchive::RET_OK, code);
            EXPECT_TRUE(qel_test::sameBytes(expected, loaded));
            ASSERT_EQ(1u, log->messages().size());
            EXPECT_EQ(0u, log->messages()[0].find(L"1:CArchive::~CArchive ERROR - file not closed"))
                << qel::CWin32Helper::toUTF8(log->messages()[0]);
            return;
          }
          ASSERT_TRUE(failure.thrown);
          EXPECT_EQ(qel_test::exceptionTypeFor(FaultyFileSystem::defaultError(call)), failure.type);
          const std::wstring where = load ? path()
                                     : call == FileCall::kCreateDirectory
                                         ? CFile(target()).getParent()
                                         : target();
          EXPECT_EQ(FaultyFileSystem::messageFor(call, where), failure.message);
        });
    EXPECT_EQ(total(counts), swept);
  }
  log.reset();
  // A file that vanishes before the open is not found.
  FaultyFileSystem::reset();
  FaultyFileSystem::arm(FileCall::kOpen, 1, Fault::kFail, FaultyFileSystem::kFileNotFound);
  CComposite back;
  const CTreeFile::LoadReport report = CTreeFile::load(CFile(path()), back);
  EXPECT_EQ(1u, FaultyFileSystem::fired());
  EXPECT_TRUE(!report.bFound && report.eCode == CArchive::RET_END_OF_DATA);
  EXPECT_EQ(0u, back.getChildCount());
}

TEST_F(ArchiveFaults, EveryFailedCallOfACrashSafeStoreOrUpdateLeavesThePreviousFileIntact) {
  qel_test::FaultScope faults;
  auto edit = [](CComposite& root) { root.add(new qel::CComponent("added", "1")); };
  for (const bool update : {false, true}) {
    SCOPED_TRACE(update ? "update" : "store");
    const std::function<void()> operation = [&] {
      update ? CTreeFile::update(CFile(path()), edit) : CTreeFile::store(CFile(path()), _newTree);
    };
    _dir.writeFile("tree.arc", _oldBytes);
    const Counts counts = qel_test::countCalls(operation);
    // Nothing but the lock, the loading and the replacement touches the
    // directory.
    for (FileCall call : {FileCall::kOpenReplacement, FileCall::kCommitReplacement, FileCall::kLock,
                          FileCall::kOpen, FileCall::kClose}) {
      const bool once =
          update || call == FileCall::kOpenReplacement || call == FileCall::kCommitReplacement;
      EXPECT_EQ(once ? 1u : 0u, count(counts, call)) << qel_test::fileCallName(call);
    }
    EXPECT_GE(count(counts, FileCall::kWrite), 5u);
    const std::string newBytes = _dir.readFile("tree.arc");
    ASSERT_NE(_oldBytes, newBytes);
    // A failed close of the loaded file is only logged: the tree is whole.
    const unsigned swept = qel_test::sweepFaults(
        counts,
        {FileCall::kOpen, FileCall::kRead, FileCall::kWrite, FileCall::kOpenReplacement,
         FileCall::kCommitReplacement, FileCall::kLock},
        [&] { _dir.writeFile("tree.arc", _oldBytes); }, operation,
        [&](FileCall call, unsigned, const Failure& failure) {
          ASSERT_TRUE(failure.thrown);
          EXPECT_EQ(L"IOException", failure.type);
          if (!update) {
            EXPECT_EQ(FaultyFileSystem::replacementMessageFor(call, path()), failure.message);
          }
          expectOldFileIntact();
          // The lock went with the failure.
          FaultyFileSystem::reset();
          EXPECT_NO_THROW(qel::CFileSystem::getFileSystem()->lockFile(path(), 0));
        });
    EXPECT_EQ(total(counts) - count(counts, FileCall::kClose), swept);
    // Afterwards the same change goes through.
    FaultyFileSystem::reset();
    operation();
    EXPECT_TRUE(qel_test::sameBytes(newBytes, _dir.readFile("tree.arc")));
    EXPECT_TRUE(strays().empty());
  }
}

TEST_F(ArchiveFaults, ShortTransfersAnywhereLoseNothing) {
  // Each write of a store, or read of a load, made short in turn, then all.
  qel_test::FaultScope faults;
  CTreeFile::store(CFile(path()), _newTree);
  const std::string newBytes = _dir.readFile("tree.arc");
  const std::string expected = describeTree(_newTree);
  for (const FileCall call : {FileCall::kWrite, FileCall::kRead}) {
    const bool store = call == FileCall::kWrite;
    CArchive::RetError code = CArchive::RET_END_OF_DATA;
    std::string loaded;
    const std::function<void()> operation = [&] {
      store ? CTreeFile::store(CFile(path()), _newTree)
            : (void)(loaded = describeFile(path(), &code));
    };
    const unsigned calls = count(qel_test::countCalls(operation), call);
    for (unsigned n = 1; n <= calls + 1; ++n) {
      const bool every = n > calls;
      SCOPED_TRACE(std::string(store ? "store" : "load") + ": " +
                   (every ? std::string("every call") : "call #" + std::to_string(n)));
      _dir.writeFile("tree.arc", store ? _oldBytes : newBytes);
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, every ? 1 : n, Fault::kShort, 0, every);
      const Failure failure = qel_test::failureOf(operation);
      EXPECT_FALSE(failure.thrown) << qel::CWin32Helper::toUTF8(failure.message);
      EXPECT_GE(FaultyFileSystem::fired(), 1u);
      EXPECT_TRUE(qel_test::sameBytes(newBytes, _dir.readFile("tree.arc")));
      EXPECT_TRUE(strays().empty());
      if (!store) {
        EXPECT_TRUE(qel_test::sameBytes(expected, loaded));
        EXPECT_EQ(CArchive::RET_OK, code);
      }
    }
  }
}

TEST_F(ArchiveFaults, TheFirstFailureIsReportedWhenDiscardingFailsToo) {
  qel_test::FaultScope faults;
  qel_test::LogCapture log;
  const unsigned writes = count(
      qel_test::countCalls([&] { CTreeFile::store(CFile(path()), _newTree); }), FileCall::kWrite);
  for (unsigned n = 1; n <= writes; ++n) {
    SCOPED_TRACE("writeFile #" + std::to_string(n) + " and closeFile #1");
    _dir.writeFile("tree.arc", _oldBytes);
    const int descriptors = qel_test::openDescriptorCount();
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kWrite, n);
    FaultyFileSystem::arm(FileCall::kClose, 1);
    const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path()), _newTree); });
    EXPECT_EQ(2u, FaultyFileSystem::fired());
    ASSERT_TRUE(failure.thrown);
    EXPECT_EQ(path() + L": No space left on device", failure.message);
    expectOldFileIntact();
    EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
  }
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(ArchiveFaults, AFailedDirectoryCreationOrAFullDiskLeavesNothingBehind) {
  qel_test::FaultScope faults;
  FaultyFileSystem::arm(FileCall::kCreateDirectory, 1);
  Failure failure =
      qel_test::failureOf([&] { CTreeFile::store(CFile(_dir.wpath("sub/tree.arc")), _newTree); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(L"IOException", failure.type);
  EXPECT_EQ(_dir.wpath("sub"), failure.message);
  EXPECT_FALSE(std::filesystem::exists(_dir.path() / "sub"));

  // Room for about half of the new file: the write that reaches the limit
  // is short, the next one fails with the disk-full error.
  const int descriptors = qel_test::openDescriptorCount();
  FaultyFileSystem::reset();
  FaultyFileSystem::setRoom(static_cast<long long>(_oldBytes.size() / 2 + 1000));
  failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path()), _newTree); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(L"IOException", failure.type);
  EXPECT_EQ(path() + L": No space left on device", failure.message);
  EXPECT_EQ(0, FaultyFileSystem::plan().room);
  expectOldFileIntact();
  EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
  FaultyFileSystem::reset();
  EXPECT_TRUE(qel_test::sameBytes(describeTree(_oldTree), describeFile(path())));
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

TEST_F(ArchiveFaults, TheNewFileIsPrivateUntilItIsInPlace) {
  qel_test::FaultScope faults;
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
  CTreeFile::store(CFile(path()), _newTree);
  EXPECT_EQ(1u, seen);
  EXPECT_EQ(std::filesystem::perms(0644),
            std::filesystem::status(_dir.path() / "tree.arc").permissions());
  EXPECT_TRUE(strays().empty());
}

// A leaf whose storing fails, by its code or by an exception that is not
// the library's.
class FailingComponent : public qel::CComponent {
 public:
  explicit FailingComponent(bool throws) : CComponent("zz-failing", "value"), _bThrows(throws) {}
  CBaseComponent* clone() const override { return new FailingComponent(*this); }
  void serialize(CArchive& ar, CArchive::RetError& code) override {
    if (!ar.isStoring()) {
      CComponent::serialize(ar, code);
    } else if (_bThrows) {
      throw std::bad_alloc();
    } else {
      code = CArchive::RET_WRONG_TYPE;
    }
  }

 private:
  bool _bThrows;
};

TEST_F(ArchiveFaults, AFailingComponentLeavesThePreviousFileAndAFileAtTargetDotTmpIntact) {
  // A user's own "<target>.tmp", and a link planted there by someone who can
  // write the directory, survive a store that succeeds and one that fails;
  // the link's victim is never written.
  const std::filesystem::path planted = _dir.path() / "tree.arc.tmp";
  _dir.writeFile("victim", "private");
  CComposite failing;
  qel_test::buildSampleTree(failing, "failing", 10);
  failing.add(new FailingComponent(false));
  for (const bool link : {false, true}) {
    SCOPED_TRACE(link ? "a link to another file" : "a file of the user's");
    std::filesystem::remove(planted);
    if (link) {
      std::filesystem::create_symlink(_dir.path() / "victim", planted);
    } else {
      _dir.writeFile("tree.arc.tmp", "mine");
    }
    CTreeFile::store(CFile(path()), _newTree);
    EXPECT_EQ(describeTree(_newTree), describeFile(path()));
    EXPECT_EQ(std::filesystem::file_type::regular,
              std::filesystem::symlink_status(_dir.path() / "tree.arc").type());
    const Failure failure = qel_test::failureOf([&] { CTreeFile::store(CFile(path()), failing); });
    EXPECT_EQ(L"IOException", failure.type);
    EXPECT_EQ(L"Storing the tree into " + path() + L" failed with code 2", failure.message);
    EXPECT_EQ(describeTree(_newTree), describeFile(path()));
    EXPECT_EQ(link, std::filesystem::is_symlink(planted));
    EXPECT_EQ(link ? "private" : "mine", _dir.readFile("tree.arc.tmp"));
    EXPECT_EQ("private", _dir.readFile("victim"));
    EXPECT_TRUE(strays({"victim", "tree.arc.tmp"}).empty());
  }
  // An exception that is not the library's passes as it is.
  CComposite throwing;
  qel_test::buildSampleTree(throwing, "throwing", 100);
  throwing.add(new FailingComponent(true));
  EXPECT_THROW(CTreeFile::store(CFile(path()), throwing), std::bad_alloc);
  EXPECT_EQ(describeTree(_newTree), describeFile(path()));
  EXPECT_TRUE(strays({"victim", "tree.arc.tmp"}).empty());
}

}  // namespace
