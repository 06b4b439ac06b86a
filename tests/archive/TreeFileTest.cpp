// Whole trees in files: exact or refused stores, damage reports, disk faults, locks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"
#include "support/FaultyFileSystem.h"
#include "support/FileSystemScope.h"
#include "support/TempDir.h"
#include "support/Threads.h"
#include "support/Thrown.h"

using qel::CArchive;
using qel::CComponent;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;
using qel_test::binaryOf;
using qel_test::compositeOf;
using qel_test::describeTree;
using qel_test::Failure;
using qel_test::Fault;
using qel_test::FaultyFileSystem;
using qel_test::FileCall;

namespace {

namespace fs = std::filesystem;
using Counts = std::array<unsigned, qel_test::kFileCallKinds>;

const std::wstring kLocked = L": locked by another process";

template <typename Operation>
std::wstring messageOf(Operation&& operation) {
  return qel_test::messageOf<qel::CException>(operation);
}

std::function<void(CComposite&)> adding(const std::string& name) {
  return [name](CComposite& root) { root.add(new CComponent(name, "v")); };
}

unsigned count(const Counts& counts, FileCall call) {
  return counts[static_cast<int>(call)];
}

class TreeFiles : public ::testing::Test {
 protected:
  CFile file(const std::string& name = "t.qel") const { return CFile(_dir.wpath(name)); }
  std::wstring path(const std::string& name = "t.qel") const { return _dir.wpath(name); }

  // The tree in the file, and the code when it does not load whole.
  std::string describeFile(const std::string& name = "t.qel") const {
    CComposite back;
    const CArchive::RetError code = CTreeFile::load(file(name), back).eCode;
    return describeTree(back) + (code == CArchive::RET_OK ? "" : " code " + std::to_string(code));
  }

  // The entries of the directory besides the target and those named.
  std::vector<std::string> strays(const std::vector<std::string>& expected = {}) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(_dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name != "t.qel" && std::find(expected.begin(), expected.end(), name) == expected.end()) {
        found.push_back(name);
      }
    }
    return found;
  }

  qel_test::TempDir _dir;
};

TEST_F(TreeFiles, WhatCannotBeStoredExactlyReachesNoFileAtAll) {
  const std::wstring tooLong =
      L": The value of 4096 bytes exceeds the limit of 4095 bytes of a field";
  const std::wstring lineFeed = L": A line feed cannot be stored in a text field";
  // The last one refused after many blocks of the new file were written.
  const std::pair<std::wstring, qel::CBaseComponent*> cases[] = {
      {L"network/proxy/host" + lineFeed,
       compositeOf(
           {compositeOf({new CComponent("port", "80"), new CComponent("host", "a\nb")}, "proxy")},
           "network")},
      {L"a/b\nc" + lineFeed, compositeOf({compositeOf({}, "b\nc")}, "a")},
      {L"big" + tooLong, new CComponent("big", std::string(4096, 'x'))},
      {L"bin" + tooLong, binaryOf("bin", std::string(4096, '\0'))},
      {std::wstring(4096, L'n') + tooLong, new CComponent(std::string(4096, 'n'), "v")},
      {L"zz/late" + lineFeed, compositeOf({new CComponent("late", "a\nb")}, "zz")},
  };
  CComposite old;
  old.add(new CComponent("kept", "1"));
  CTreeFile::store(file("old.qel"), old);
  const std::string before = _dir.readFile("old.qel");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.substr(0, 40));
    CComposite root;
    if (&c == &cases[std::size(cases) - 1]) {
      qel_test::buildSampleTree(root, "early", 800);
    }
    root.add(c.second);
    for (const char* target : {"old.qel", "new.qel"}) {
      EXPECT_EQ(messageOf([&] { CTreeFile::store(file(target), root); }), c.first);
    }
    EXPECT_EQ(_dir.readFile("old.qel"), before);
    EXPECT_TRUE(strays({"old.qel"}).empty());
  }
  // A line feed at any place of a name or a value of any length up to
  // three words, where records are checked a word at a time.
  for (std::size_t length = 1; length <= 24; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      std::string text(length, 't');
      text[at] = '\n';
      CComposite root;
      root.add(new CComponent("name", text));
      EXPECT_EQ(messageOf([&] { CTreeFile::store(file("old.qel"), root); }), L"name" + lineFeed)
          << length << " " << at;
      CComposite named;
      named.add(new CComponent(text, "value"));
      const std::wstring path = qel::CWin32Helper::fromUTF8(text);
      EXPECT_EQ(messageOf([&] { CTreeFile::store(file("old.qel"), named); }), path + lineFeed)
          << length << " " << at;
    }
  }
  EXPECT_EQ(_dir.readFile("old.qel"), before);
}

TEST_F(TreeFiles, ADamagedFileIsNamedByTheRecordAndTheByteWhereItStops) {
  CComposite sample;
  qel_test::buildSampleTree(sample, "damaged", 600);
  CTreeFile::store(file(), sample);
  const std::string whole = _dir.readFile("t.qel");
  // Where each record starts, found through the length fields.
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at + 4 <= whole.size();
       at += std::stoul(whole.substr(at, 4), nullptr, 16) + 5) {
    starts.push_back(at);
  }
  ASSERT_EQ(starts.back() + 14, whole.size());  // the last record is the root's end
  // A record well past the first blocks, so that the offset is the file's.
  const std::size_t k = starts.size() * 3 / 4;
  ASSERT_GT(starts[k], 3u * CArchive::BLOCK_SIZE);
  const std::wstring at =
      L" at record " + std::to_wstring(k + 1) + L", byte offset " + std::to_wstring(starts[k]);
  const std::wstring after = L" at record " + std::to_wstring(starts.size() + 1) +
                             L", byte offset " + std::to_wstring(whole.size());
  const std::wstring damaged = L": the record's length, field count or a separator is damaged";
  const std::wstring cut = L": the file ends before the tree does";
  std::string badLength = whole;
  badLength[starts[k] + 3] = badLength[starts[k] + 3] == 'F' ? 'E' : 'F';
  const std::pair<std::string, std::wstring> cases[] = {
      {badLength, L"malformed" + at + damaged},
      {"0009012Z01300\n", L"malformed at record 1, byte offset 0" + damaged},
      {whole.substr(0, starts[k] + 9), L"truncated" + at + cut},
      {whole.substr(0, starts[k] + 2), L"truncated" + at + cut},
      {whole + whole.substr(starts.back()), L"more records after the end of the tree" + after},
      {whole + "x", L"more records after the end of the tree" + after},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    _dir.writeFile("t.qel", c.first);
    bool edited = false;
    EXPECT_EQ(messageOf([&] { CTreeFile::update(file(), [&](CComposite&) { edited = true; }); }),
              path() + L": " + c.second);
    EXPECT_FALSE(edited);
    EXPECT_TRUE(_dir.readFile("t.qel") == c.first);
  }
  EXPECT_TRUE(strays().empty());
}

TEST_F(TreeFiles, UpdatesEditWholeFilesAndWhatCannotBeEditedOrReplacedChangesNothing) {
  auto failing = [](CComposite&) { throw qel::IOException(L"no"); };
  // A failing edit of a missing file creates nothing, nor does a load.
  EXPECT_EQ(messageOf([&] { CTreeFile::update(file(), failing); }), L"no");
  CComposite none;
  EXPECT_FALSE(CTreeFile::load(file("missing/t.qel"), none).bFound);
  EXPECT_TRUE(fs::is_empty(_dir.path()));
  // A missing or empty file is edited as an empty tree.
  _dir.writeFile("empty.qel", "");
  CTreeFile::update(file("empty.qel"), adding("kept"));
  CTreeFile::update(file(), adding("kept"));
  const std::string before = _dir.readFile("t.qel");
  EXPECT_EQ(before, _dir.readFile("empty.qel"));
  EXPECT_EQ(messageOf([&] { CTreeFile::update(file(), failing); }), L"no");
  // A read-only file may be locked, but is replaced only when asked.
  fs::permissions(_dir.path() / "t.qel", fs::perms(0444));
  CComposite root;
  root.add(new CComponent("stored", "1"));
  EXPECT_EQ(messageOf([&] { CTreeFile::store(file(), root); }), path() + L" is read-only");
  EXPECT_EQ(messageOf([&] { CTreeFile::update(file(), adding("no"), 0, 0); }),
            path() + L" is read-only");
  EXPECT_EQ(_dir.readFile("t.qel"), before);
  CTreeFile::update(file(), adding("forced"), 0, CTreeFile::STORE_REPLACE_READ_ONLY);
  EXPECT_EQ(describeFile(), "2<>{1<kept>1=v,1<forced>1=v,}");
  EXPECT_EQ(fs::status(_dir.path() / "t.qel").permissions(), fs::perms(0444));
  CTreeFile::store(file(), root, CTreeFile::STORE_REPLACE_READ_ONLY);
  EXPECT_EQ(describeFile(), describeTree(root));
  EXPECT_TRUE(strays({"empty.qel"}).empty());
  // Each failure above released the lock.
  EXPECT_NO_THROW(qel::CFileSystem::getFileSystem()->lockFile(path(), 0));
  // What is not a regular file is refused before any edit.
  fs::create_directory(_dir.path() / "dir");
  ASSERT_EQ(::mkfifo((_dir.path() / "fifo").c_str(), 0600), 0);
  for (const auto& target : {std::make_pair("dir", L" is a directory"),
                             std::make_pair("fifo", L" is not a regular file")}) {
    EXPECT_EQ(messageOf([&] { CTreeFile::update(file(target.first), failing); }),
              path(target.first) + target.second);
  }
  EXPECT_TRUE(fs::is_fifo(_dir.path() / "fifo") && fs::is_empty(_dir.path() / "dir"));
}

TEST_F(TreeFiles, ANameThatIsNotUtf8IsStoredLoadedAndUpdatedByteForByte) {
  const fs::path sub = _dir.path() / "s\xff";
  const fs::path target = sub / "a\xff\xfe.qel";
  CComposite root;
  adding("k")(root);
  // The missing parent is made under its own bytes too.
  CTreeFile::store(target, root);
  _dir.writeFile("s\xff/a\xEF\xBF\xBD\xEF\xBF\xBD.qel", "lossy");
  CTreeFile::update(target, adding("p"));
  const CFile viaFile(target);
  CTreeFile::update(viaFile, adding("f"), 0, 0);
  fs::permissions(target, fs::perms(0444));
  CTreeFile::update(target, adding("r"), 0, CTreeFile::STORE_REPLACE_READ_ONLY);
  CComposite byPath;
  CComposite byFile;
  EXPECT_EQ(CArchive::RET_OK, CTreeFile::load(target, byPath).eCode);
  EXPECT_EQ(CArchive::RET_OK, CTreeFile::load(viaFile, byFile).eCode);
  EXPECT_EQ("2<>{1<f>1=v,1<k>1=v,1<p>1=v,1<r>1=v,}", describeTree(byPath));
  EXPECT_EQ(describeTree(byPath), describeTree(byFile));
  CTreeFile::store(target, root, CTreeFile::STORE_REPLACE_READ_ONLY);
  CComposite stored;
  EXPECT_TRUE(CTreeFile::load(viaFile, stored).bFound);
  EXPECT_EQ(describeTree(root), describeTree(stored));
  EXPECT_EQ((std::vector<std::string>{"a\xEF\xBF\xBD\xEF\xBF\xBD.qel", "a\xff\xfe.qel"}),
            qel_test::namesIn(sub));
  EXPECT_EQ("lossy", _dir.readFile("s\xff/a\xEF\xBF\xBD\xEF\xBF\xBD.qel"));
  EXPECT_EQ(std::vector<std::string>{"s\xff"}, _dir.names());
}

TEST_F(TreeFiles, TheLockIsHeldThroughTheStoreUnderEveryNameOfTheFile) {
  fs::create_directory(_dir.path() / "real");
  fs::create_directory(_dir.path() / "links");
  CTreeFile::update(file("real/t.qel"), adding("first"));
  fs::create_symlink("../real/t.qel", _dir.path() / "links/t.qel");

  // A lock already held makes an update that does not wait fail untried.
  auto fileSystem = qel::CFileSystem::getFileSystem();
  {
    auto held = fileSystem->lockFile(path("real/t.qel"), 0);
    bool edited = false;
    EXPECT_EQ(messageOf([&] {
                CTreeFile::update(
                    file("links/t.qel"), [&](CComposite&) { edited = true; }, 0, 0);
              }),
              path("links/t.qel") + kLocked);
    EXPECT_FALSE(edited);
  }

  qel_test::FaultScope faults;
  std::vector<std::wstring> whileCommitting;
  qel_test::FaultyFileSystem::plan().beforeCommit = [&] {
    for (const char* name : {"real/t.qel", "links/t.qel"}) {
      whileCommitting.push_back(
          messageOf([&] { qel::CFileSystem::getFileSystem()->lockFile(path(name), 0); }));
    }
  };
  CTreeFile::update(file("links/t.qel"), adding("second"));
  EXPECT_EQ(whileCommitting, (std::vector<std::wstring>{path("real/t.qel") + kLocked,
                                                        path("links/t.qel") + kLocked}));
  EXPECT_TRUE(fs::is_symlink(_dir.path() / "links/t.qel"));
  EXPECT_EQ(describeFile("real/t.qel"), "2<>{1<first>1=v,1<second>1=v,}");
  EXPECT_EQ(fs::directory_iterator(_dir.path() / "links")->path().filename(), "t.qel");
}

// Kills its process at the n-th write (0: at the commit, the new file complete).
class KillingFileSystem : public FaultyFileSystem {
 public:
  static unsigned& killAt() {
    static unsigned n = 0;
    return n;
  }
  std::uint32_t writeFile(qel::CFileDescriptor* descriptor, const unsigned char* buffer,
                          std::uint32_t size) const override {
    if (calls(FileCall::kWrite) + 1 == killAt()) {
      ::raise(SIGKILL);
    }
    return FaultyFileSystem::writeFile(descriptor, buffer, size);
  }
};

// A store killed (in a fork made before any thread) leaves the previous tree and nothing else.
TEST_F(TreeFiles, AKilledStoreLeavesTheTargetOneWholeTree) {
  CComposite trees[2];
  std::string bytes[2];
  for (int i = 0; i < 2; ++i) {
    qel_test::buildSampleTree(trees[i], i == 0 ? "first" : "second-tree", 1000);
    CTreeFile::store(file(), trees[i]);
    bytes[i] = _dir.readFile("t.qel");
  }
  ASSERT_GT(bytes[0].size(), 8u * CArchive::BLOCK_SIZE);
  unsigned writes = 0;
  {
    qel_test::FaultScope faults;
    writes =
        count(qel_test::countCalls([&] { CTreeFile::store(file(), trees[1]); }), FileCall::kWrite);
  }
  for (const unsigned killAt : {1u, 2u, writes / 2, writes, 0u}) {
    SCOPED_TRACE("killed at write " + std::to_string(killAt));
    CTreeFile::store(file(), trees[0]);
    const pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      qel_test::FileSystemScope scope(&qel_test::makeFileSystem<KillingFileSystem>);
      FaultyFileSystem::reset();
      KillingFileSystem::killAt() = killAt;
      FaultyFileSystem::plan().beforeCommit = [] { ::raise(SIGKILL); };
      try {
        CTreeFile::store(file(), trees[1]);
      } catch (...) {
      }
      ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    EXPECT_TRUE(qel_test::sameBytes(bytes[0], _dir.readFile("t.qel")));
    EXPECT_EQ(describeTree(trees[0]), describeFile());
    EXPECT_TRUE(strays().empty());
    // The next store goes through.
    CTreeFile::store(file(), trees[1]);
    EXPECT_TRUE(qel_test::sameBytes(bytes[1], _dir.readFile("t.qel")));
  }
}

// ---- between threads (each lock is its own open file) -----------------------

class TreeFileLockConcurrency : public TreeFiles {};

TEST_F(TreeFileLockConcurrency, ConcurrentUpdatesLoseNothingAndReadersSeeWholeTrees) {
  // Writers start together on a missing file while a reader loads it.
  constexpr int kWriters = 3;
  constexpr int kEdits = 15;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string name = "c" + std::to_string(attempt) + ".qel";
    SCOPED_TRACE(name);
    std::atomic<bool> writing{true};
    std::atomic<int> badLoads{0};
    std::thread reader([&] {
      while (writing) {
        CComposite root;
        const CTreeFile::LoadReport report = CTreeFile::load(file(name), root);
        badLoads += report.bFound && report.eCode != CArchive::RET_OK ? 1 : 0;
      }
    });
    qel_test::onThreads(kWriters, [&](int w) {
      for (int i = 0; i < kEdits; ++i) {
        EXPECT_NO_THROW(CTreeFile::update(
            file(name), adding("w" + std::to_string(w) + "-" + std::to_string(i))));
      }
    });
    writing = false;
    reader.join();
    EXPECT_EQ(badLoads.load(), 0);
    CComposite root;
    ASSERT_EQ(CTreeFile::load(file(name), root).eCode, CArchive::RET_OK);
    EXPECT_EQ(root.getChildCount(), static_cast<unsigned>(kWriters * kEdits));
    for (int w = 0; w < kWriters; ++w) {
      for (int i = 0; i < kEdits; ++i) {
        EXPECT_NE(root.find("w" + std::to_string(w) + "-" + std::to_string(i)), nullptr);
      }
    }
  }
}

class ArchiveFaults : public TreeFiles {
 protected:
  ArchiveFaults() {
    qel_test::buildSampleTree(_oldTree, "old", 300);
    qel_test::buildSampleTree(_newTree, "new", 420);
    // A record longer than half a block: short reads must not end it.
    _newTree.add(new qel::CComponent("long", std::string(4000, 'l')));
  }

  void SetUp() override {
    CTreeFile::store(file(), _oldTree);
    _oldBytes = _dir.readFile("t.qel");
    ASSERT_GT(_oldBytes.size(), 3u * CArchive::BLOCK_SIZE);
  }

  // The previous file is exactly as it was, with nothing beside it.
  void expectOldFileIntact() const {
    EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("t.qel")));
    EXPECT_TRUE(strays().empty());
  }

  CComposite _oldTree;
  CComposite _newTree;
  std::string _oldBytes;
};

TEST_F(ArchiveFaults, EveryFailedCallOfAStoreThroughAnArchiveOrOfALoadIsThrownOrLogged) {
  qel_test::FaultScope faults;
  CTreeFile::store(file(), _newTree);
  const std::string expected = describeTree(_newTree);
  int run = 0;
  // A store of several blocks into a directory that it creates.
  auto target = [this, &run] { return _dir.wpath("store" + std::to_string(run) + "/t.qel"); };
  std::unique_ptr<qel_test::LogCapture> log;
  std::string loaded;
  for (const bool load : {false, true}) {
    SCOPED_TRACE(load ? "load" : "store");
    const std::function<void()> operation = [&] {
      if (load) {
        loaded = describeFile();
        return;
      }
      // Closed explicitly, so that a failed last block or close is thrown.
      CFile out(target());
      CArchive ar(out, CArchive::STORE);
      CArchive::RetError code = CArchive::RET_END_OF_DATA;
      _newTree.serialize(ar, code);
      ASSERT_EQ(CArchive::RET_OK, code);
      ar.close();
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
            // Everything was read: the tree is whole and the failure only logged.
            EXPECT_FALSE(failure.thrown);
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
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0u), swept);
  }
  log.reset();
  // A file that vanishes before the open is not found.
  FaultyFileSystem::reset();
  FaultyFileSystem::arm(FileCall::kOpen, 1, Fault::kFail, FaultyFileSystem::kFileNotFound);
  CComposite back;
  const CTreeFile::LoadReport report = CTreeFile::load(file(), back);
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
      update ? CTreeFile::update(file(), edit) : CTreeFile::store(file(), _newTree);
    };
    _dir.writeFile("t.qel", _oldBytes);
    const Counts counts = qel_test::countCalls(operation);
    // Only the lock, the load and the replacement touch the directory.
    for (FileCall call : {FileCall::kOpenReplacement, FileCall::kCommitReplacement, FileCall::kLock,
                          FileCall::kOpen, FileCall::kClose}) {
      const bool once =
          update || call == FileCall::kOpenReplacement || call == FileCall::kCommitReplacement;
      EXPECT_EQ(once ? 1u : 0u, count(counts, call)) << qel_test::fileCallName(call);
    }
    EXPECT_GE(count(counts, FileCall::kWrite), 5u);
    const std::string newBytes = _dir.readFile("t.qel");
    ASSERT_NE(_oldBytes, newBytes);
    // A failed close of the loaded file is only logged: the tree is whole.
    const unsigned swept = qel_test::sweepFaults(
        counts,
        {FileCall::kOpen, FileCall::kRead, FileCall::kWrite, FileCall::kOpenReplacement,
         FileCall::kCommitReplacement, FileCall::kLock},
        [&] { _dir.writeFile("t.qel", _oldBytes); }, operation,
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
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0u) - count(counts, FileCall::kClose),
              swept);
    // Afterwards the same change goes through.
    FaultyFileSystem::reset();
    operation();
    EXPECT_TRUE(qel_test::sameBytes(newBytes, _dir.readFile("t.qel")));
    EXPECT_TRUE(strays().empty());
  }
  // A failed creation of the directory leaves nothing behind.
  FaultyFileSystem::arm(FileCall::kCreateDirectory, 1);
  EXPECT_EQ(L"IOException: " + _dir.wpath("sub"),
            qel_test::thrownBy([&] { CTreeFile::store(file("sub/t.qel"), _newTree); }));
  EXPECT_FALSE(fs::exists(_dir.path() / "sub"));
}

TEST_F(ArchiveFaults, ShortTransfersAnywhereLoseNothing) {
  // Each write of a store, or read of a load, made short in turn, then all.
  qel_test::FaultScope faults;
  CTreeFile::store(file(), _newTree);
  const std::string newBytes = _dir.readFile("t.qel");
  const std::string expected = describeTree(_newTree);
  for (const FileCall call : {FileCall::kWrite, FileCall::kRead}) {
    const bool store = call == FileCall::kWrite;
    std::string loaded;
    const std::function<void()> operation = [&] {
      store ? CTreeFile::store(file(), _newTree) : (void)(loaded = describeFile());
    };
    const unsigned calls = count(qel_test::countCalls(operation), call);
    for (unsigned n = 1; n <= calls + 1; ++n) {
      const bool every = n > calls;
      SCOPED_TRACE(std::string(store ? "store" : "load") + ": " +
                   (every ? std::string("every call") : "call #" + std::to_string(n)));
      _dir.writeFile("t.qel", store ? _oldBytes : newBytes);
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, every ? 1 : n, Fault::kShort, 0, every);
      const Failure failure = qel_test::failureOf(operation);
      EXPECT_FALSE(failure.thrown) << qel::CWin32Helper::toUTF8(failure.message);
      EXPECT_GE(FaultyFileSystem::fired(), 1u);
      EXPECT_TRUE(qel_test::sameBytes(newBytes, _dir.readFile("t.qel")));
      EXPECT_TRUE(strays().empty());
      EXPECT_TRUE(store || qel_test::sameBytes(expected, loaded));
    }
  }
}

TEST_F(ArchiveFaults, TheFirstFailureIsReportedWhenDiscardingFailsToo) {
  qel_test::FaultScope faults;
  qel_test::LogCapture log;
  const unsigned writes =
      count(qel_test::countCalls([&] { CTreeFile::store(file(), _newTree); }), FileCall::kWrite);
  for (unsigned n = 1; n <= writes; ++n) {
    SCOPED_TRACE("writeFile #" + std::to_string(n) + " and closeFile #1");
    _dir.writeFile("t.qel", _oldBytes);
    const int descriptors = qel_test::openDescriptorCount();
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kWrite, n);
    FaultyFileSystem::arm(FileCall::kClose, 1);
    const Failure failure = qel_test::failureOf([&] { CTreeFile::store(file(), _newTree); });
    EXPECT_EQ(2u, FaultyFileSystem::fired());
    ASSERT_TRUE(failure.thrown);
    EXPECT_EQ(path() + L": No space left on device", failure.message);
    expectOldFileIntact();
    EXPECT_EQ(descriptors, qel_test::openDescriptorCount());
  }
  EXPECT_TRUE(log.messages().empty());
}

// The files open in this process in directory (also unnamed, deleted ones).
std::vector<fs::path> openFilesIn(const fs::path& directory) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && target.parent_path() == directory) {
      found.push_back(entry.path());
    }
  }
  return found;
}

TEST_F(ArchiveFaults, TheNewFileIsPrivateUntilItIsInPlace) {
  qel_test::FaultScope faults;
  fs::permissions(_dir.path() / "t.qel", fs::perms(0644));
  unsigned seen = 0;
  FaultyFileSystem::plan().beforeCommit = [&] {
    // The new file is open, private, and reachable by no other name.
    const std::vector<fs::path> open = openFilesIn(_dir.path());
    ASSERT_EQ(1u, open.size());
    struct stat st;
    ASSERT_EQ(0, ::stat(open[0].c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    for (const std::string& name : strays()) {
      EXPECT_EQ(0u, name.rfind(".t.qel.", 0)) << name;
    }
    EXPECT_TRUE(qel_test::sameBytes(_oldBytes, _dir.readFile("t.qel")));
    ++seen;
  };
  CTreeFile::store(file(), _newTree);
  EXPECT_EQ(1u, seen);
  EXPECT_EQ(fs::perms(0644), fs::status(_dir.path() / "t.qel").permissions());
  EXPECT_TRUE(strays().empty());
}

// A leaf whose storing fails, by its code or by a foreign exception.
struct FailingComponent : qel::CComponent {
  explicit FailingComponent(bool throws) : CComponent("zz-failing", "value"), bThrows(throws) {}
  void serialize(CArchive&, CArchive::RetError& code) override {
    if (bThrows) {
      throw std::bad_alloc();
    }
    code = CArchive::RET_WRONG_TYPE;
  }
  bool bThrows;
};

TEST_F(ArchiveFaults, AFailingComponentLeavesThePreviousFileAndAFileAtTargetDotTmpIntact) {
  // A link planted at <target>.tmp survives, and so does the file it names.
  _dir.writeFile("victim", "private");
  fs::create_symlink(_dir.path() / "victim", _dir.path() / "t.qel.tmp");
  CTreeFile::store(file(), _newTree);
  EXPECT_EQ(describeTree(_newTree), describeFile());
  EXPECT_EQ(fs::file_type::regular, fs::symlink_status(_dir.path() / "t.qel").type());
  for (const bool throws : {false, true}) {
    CComposite failing;
    qel_test::buildSampleTree(failing, "failing", throws ? 100 : 10);
    failing.add(new FailingComponent(throws));
    if (throws) {
      // An exception that is not the library's passes as it is.
      EXPECT_THROW(CTreeFile::store(file(), failing), std::bad_alloc);
    } else {
      const Failure failure = qel_test::failureOf([&] { CTreeFile::store(file(), failing); });
      EXPECT_EQ(L"IOException", failure.type);
      EXPECT_EQ(L"Storing the tree into " + path() + L" failed with code 2", failure.message);
    }
    EXPECT_EQ(describeTree(_newTree), describeFile());
    EXPECT_TRUE(fs::is_symlink(_dir.path() / "t.qel.tmp"));
    EXPECT_EQ("private", _dir.readFile("victim"));
    EXPECT_TRUE(strays({"victim", "t.qel.tmp"}).empty());
  }
}

}  // namespace
