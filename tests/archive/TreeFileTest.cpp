// Whole trees in files: stored exactly or refused before anything reaches
// the target, loaded without side effects, a damaged file named by the record
// and byte where loading stopped, and read-modify-writes kept apart by a lock
// for as long as they run, whichever name the file is reached by.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"
#include "qel/io/FileSystem.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

using qel::CArchive;
using qel::CBinaryComponent;
using qel::CComponent;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;
using qel_test::binaryOf;
using qel_test::compositeOf;
using qel_test::describeTree;

namespace {

namespace fs = std::filesystem;

const std::wstring kNothing = L"<nothing thrown>";
const std::wstring kLocked = L": locked by another process";

template <typename Operation>
std::wstring messageOf(Operation&& operation) {
  return qel_test::messageOf<qel::CException>(operation);
}

std::function<void(CComposite&)> adding(const std::string& name) {
  return [name](CComposite& root) { root.add(new CComponent(name, "v")); };
}

class TreeFiles : public ::testing::Test {
 protected:
  CFile file(const std::string& name = "t.qel") const { return CFile(_dir.wpath(name)); }
  std::wstring path(const std::string& name = "t.qel") const { return _dir.wpath(name); }

  // The tree in the file; "" for a file that does not load whole.
  std::string describeFile(const std::string& name = "t.qel") const {
    CComposite back;
    return CTreeFile::load(file(name), back).eCode == CArchive::RET_OK ? describeTree(back) : "";
  }

  std::ptrdiff_t entryCount() const {
    return std::distance(fs::directory_iterator(_dir.path()), fs::directory_iterator());
  }

  qel_test::TempDir _dir;
};

TEST_F(TreeFiles, WhatCannotBeStoredExactlyReachesNoFileAtAll) {
  const std::wstring tooLong =
      L": The value of 4096 bytes exceeds the limit of 4095 bytes of a field";
  const std::wstring lineFeed = L": A line feed cannot be stored in a text field";
  const std::pair<std::wstring, std::function<void(CComposite&)>> cases[] = {
      {L"network/proxy/host" + lineFeed,
       [](CComposite& root) {
         root.add(compositeOf(
             {compositeOf({new CComponent("port", "80"), new CComponent("host", "a\nb")}, "proxy")},
             "network"));
       }},
      {L"a/b\nc" + lineFeed,
       [](CComposite& root) { root.add(compositeOf({compositeOf({}, "b\nc")}, "a")); }},
      {L"big" + tooLong,
       [](CComposite& root) { root.add(new CComponent("big", std::string(4096, 'x'))); }},
      {L"bin" + tooLong,
       [](CComposite& root) { root.add(binaryOf("bin", std::string(4096, '\0'))); }},
      {std::wstring(4096, L'n') + tooLong,
       [](CComposite& root) { root.add(new CComponent(std::string(4096, 'n'), "v")); }},
      // Refused after many blocks of the new file were written.
      {L"zz/late" + lineFeed,
       [](CComposite& root) {
         qel_test::buildSampleTree(root, "early", 800);
         root.add(compositeOf({new CComponent("late", "a\nb")}, "zz"));
       }},
  };
  CComposite old;
  old.add(new CComponent("kept", "1"));
  CTreeFile::store(file("old.qel"), old);
  const std::string before = _dir.readFile("old.qel");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.substr(0, 40));
    CComposite root;
    c.second(root);
    for (const char* target : {"old.qel", "new.qel"}) {
      EXPECT_EQ(messageOf([&] { CTreeFile::store(file(target), root); }), c.first);
    }
    EXPECT_EQ(_dir.readFile("old.qel"), before);
    EXPECT_EQ(entryCount(), 1);
  }
}

TEST_F(TreeFiles, AnArchiveOverAReplacementReachesTheTargetOnlyByTheCommit) {
  _dir.writeFile("t.qel", "old");
  CComposite root;
  root.add(new CComponent("k", "v"));
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "discarded");
    qel::CFileReplacement replacement(file());
    {
      CArchive ar(replacement);
      ar.setStrict(true);
      CArchive::RetError code = CArchive::RET_OK;
      // The refused text drops the record it was to join.
      ar.writeString("dropped", code);
      EXPECT_EQ(messageOf([&] { ar.writeString("a\nb", code); }),
                L"A line feed cannot be stored in a text field");
      root.serialize(ar, code);
      ASSERT_EQ(code, CArchive::RET_OK);
      ar.close();
    }
    EXPECT_EQ(_dir.readFile("t.qel"), "old");
    if (commit) {
      replacement.commit();
    } else {
      replacement.discard();
    }
  }
  EXPECT_EQ(describeFile(), describeTree(root));
  EXPECT_EQ(entryCount(), 1);
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
  std::string badLength = whole;
  badLength[starts[k] + 3] = badLength[starts[k] + 3] == 'F' ? 'E' : 'F';
  const std::pair<std::string, std::wstring> cases[] = {
      {badLength, L"malformed" + at},
      {"0009012Z01300\n", L"malformed at record 1, byte offset 0"},
      {whole.substr(0, starts[k] + 9), L"truncated" + at},
      {whole.substr(0, starts[k] + 2), L"truncated" + at},
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
  EXPECT_EQ(entryCount(), 1);
}

TEST_F(TreeFiles, UpdatesEditWholeFilesAndWhatCannotBeEditedOrReplacedChangesNothing) {
  auto failing = [](CComposite&) { throw qel::IOException(L"no"); };
  // A failing edit of a missing file creates nothing, nor does a load.
  EXPECT_EQ(messageOf([&] { CTreeFile::update(file(), failing); }), L"no");
  CComposite none;
  EXPECT_FALSE(CTreeFile::load(file("missing/t.qel"), none).bFound);
  EXPECT_EQ(entryCount(), 0);
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
  EXPECT_EQ(entryCount(), 2);
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
  CComposite expected;
  expected.add(new CComponent("first", "v"));
  expected.add(new CComponent("second", "v"));
  EXPECT_EQ(describeFile("real/t.qel"), describeTree(expected));
  EXPECT_EQ(fs::directory_iterator(_dir.path() / "links")->path().filename(), "t.qel");
}

// ---- between threads (each lock is its own open file) -----------------------

class TreeFileLockConcurrency : public TreeFiles {};

TEST_F(TreeFileLockConcurrency, ALockIsRefusedOrWaitedForAndThenTakesTheFileNowThere) {
  auto fileSystem = qel::CFileSystem::getFileSystem();
  for (const bool existing : {true, false}) {
    SCOPED_TRACE(existing ? "replaced" : "created");
    fs::remove(_dir.path() / "t.qel");
    if (existing) {
      CTreeFile::update(file(), [](CComposite&) {});
    }
    auto held = fileSystem->lockFile(path(), 0);
    std::wstring refused;
    std::thread other([&] { refused = messageOf([&] { fileSystem->lockFile(path(), 0); }); });
    other.join();
    EXPECT_EQ(refused, path() + kLocked);
    std::atomic<bool> got{false};
    std::wstring third = L"not run";
    std::thread waiter([&] {
      auto mine = fileSystem->lockFile(path(), 20000);
      got = true;
      // Held by this thread: the lock of the file now there is taken.
      third = messageOf([&] { fileSystem->lockFile(path(), 0); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got.load());
    CComposite root;
    root.add(new CComponent("new", "1"));
    CTreeFile::store(file(), root);  // a new inode under the name
    held->close();
    waiter.join();
    EXPECT_EQ(third, path() + kLocked);
  }
}

TEST_F(TreeFileLockConcurrency, ConcurrentUpdatesLoseNothingAndReadersSeeWholeTrees) {
  // Writers that start together on a file that is not there yet, with a
  // reader loading it all along.
  constexpr int kWriters = 3;
  constexpr int kEdits = 15;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string name = "c" + std::to_string(attempt) + ".qel";
    SCOPED_TRACE(name);
    std::atomic<int> ready{0};
    std::atomic<bool> writing{true};
    std::atomic<int> badLoads{0};
    std::thread reader([&] {
      while (writing) {
        CComposite root;
        const CTreeFile::LoadReport report = CTreeFile::load(file(name), root);
        badLoads += report.bFound && report.eCode != CArchive::RET_OK ? 1 : 0;
      }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        ++ready;
        while (ready.load() < kWriters) {
          std::this_thread::yield();
        }
        for (int i = 0; i < kEdits; ++i) {
          EXPECT_EQ(kNothing, messageOf([&] {
                      CTreeFile::update(file(name),
                                        adding("w" + std::to_string(w) + "-" + std::to_string(i)));
                    }));
        }
      });
    }
    for (std::thread& t : writers) {
      t.join();
    }
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

}  // namespace
