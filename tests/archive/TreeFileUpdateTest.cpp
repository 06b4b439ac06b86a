// Read-modify-writes of tree files: a damaged file is named by the record and
// byte where loading stopped, an edit that fails or a target that cannot be
// replaced changes nothing, and the lock keeps updates apart for as long as
// they run, whichever name the file is reached by.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "archive/TreeSamples.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CComponent;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;

namespace {

namespace fs = std::filesystem;

template <typename Operation>
std::string messageOf(Operation&& operation) {
  try {
    operation();
  } catch (const qel::CException& e) {
    return qel::CWin32Helper::toUTF8(e.getMessage());
  }
  return "";
}

// Where each record of a stored file starts, found through the length fields.
std::vector<std::size_t> recordStarts(const std::string& bytes) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at + 4 <= bytes.size();) {
    starts.push_back(at);
    at += 4 + std::stoul(bytes.substr(at, 4), nullptr, 16) + 1;
  }
  return starts;
}

std::function<void(CComposite&)> adding(const std::string& name) {
  return [name](CComposite& root) { root.add(new CComponent(name, "v")); };
}

class TreeFileUpdate : public ::testing::Test {
 protected:
  CFile file(const std::string& name = "t.qel") const { return CFile(_dir.wpath(name)); }
  std::string path(const std::string& name = "t.qel") const {
    return (_dir.path() / name).string();
  }
  std::wstring wpath(const std::string& name = "t.qel") const { return _dir.wpath(name); }

  // The names of the root's children in the file; none for a file that
  // does not load whole.
  std::vector<std::string> namesIn(const std::string& name = "t.qel") const {
    CComposite root;
    std::list<qel::CBaseComponent*> children;
    if (CTreeFile::load(file(name), root).eCode == CArchive::RET_OK) {
      root.getChildren(children);
    }
    std::vector<std::string> names;
    for (const qel::CBaseComponent* child : children) {
      names.push_back(child->getName());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::ptrdiff_t entryCount() const {
    return std::distance(fs::directory_iterator(_dir.path()), fs::directory_iterator());
  }

  qel_test::TempDir _dir;
};

TEST_F(TreeFileUpdate, ADamagedFileIsNamedByTheRecordAndTheByteWhereItStops) {
  CComposite sample;
  qel_test::buildSampleTree(sample, "damaged", 600);
  CTreeFile::store(file(), sample);
  const std::string whole = _dir.readFile("t.qel");
  const std::vector<std::size_t> starts = recordStarts(whole);
  ASSERT_EQ(starts.back() + 14, whole.size());  // the last record is the root's end
  // A record well past the first blocks, so that the offset is the file's.
  const std::size_t k = starts.size() * 3 / 4;
  ASSERT_GT(starts[k], 3u * CArchive::BLOCK_SIZE);
  const std::string at =
      " at record " + std::to_string(k + 1) + ", byte offset " + std::to_string(starts[k]);
  const std::string after = " at record " + std::to_string(starts.size() + 1) + ", byte offset " +
                            std::to_string(whole.size());
  std::string badLength = whole;
  badLength[starts[k] + 3] = badLength[starts[k] + 3] == 'F' ? 'E' : 'F';
  const std::string cases[][2] = {
      {badLength, "malformed" + at},
      {whole.substr(0, starts[k] + 9), "truncated" + at},
      {whole.substr(0, starts[k] + 2), "truncated" + at},
      {whole + whole.substr(starts.back()), "more records after the end of the tree" + after},
      {whole + "x", "more records after the end of the tree" + after},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[1]);
    _dir.writeFile("t.qel", c[0]);
    bool edited = false;
    EXPECT_EQ(messageOf([&] { CTreeFile::update(file(), [&](CComposite&) { edited = true; }); }),
              path() + ": " + c[1]);
    EXPECT_FALSE(edited);
    EXPECT_TRUE(_dir.readFile("t.qel") == c[0]);
  }
  EXPECT_EQ(entryCount(), 1);
}

TEST_F(TreeFileUpdate, WhatCannotBeEditedOrReplacedChangesNothingAndReleasesTheLock) {
  // A failing edit of a missing file creates nothing.
  EXPECT_EQ(messageOf([&] {
              CTreeFile::update(file(), [](CComposite&) { throw qel::IOException(L"no"); });
            }),
            "no");
  EXPECT_EQ(entryCount(), 0);

  CTreeFile::update(file(), adding("kept"));
  const std::string before = _dir.readFile("t.qel");
  // A read-only file may be locked, but is replaced only when asked.
  fs::permissions(_dir.path() / "t.qel", fs::perms(0444));
  EXPECT_EQ(messageOf([&] { CTreeFile::update(file(), adding("no"), 0, 0); }),
            path() + " is read-only");
  EXPECT_EQ(_dir.readFile("t.qel"), before);
  EXPECT_EQ(entryCount(), 1);
  CTreeFile::update(file(), adding("forced"), 0, CTreeFile::STORE_REPLACE_READ_ONLY);
  EXPECT_EQ(namesIn(), (std::vector<std::string>{"forced", "kept"}));
  EXPECT_EQ(fs::status(_dir.path() / "t.qel").permissions(), fs::perms(0444));

  // Each failure above released the lock.
  EXPECT_NO_THROW(qel::CFileSystem::getFileSystem()->lockFile(wpath(), 0));

  // What is not a regular file is refused before any edit.
  fs::create_directory(_dir.path() / "dir");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  for (const auto& target : {std::make_pair("dir", " is a directory"),
                             std::make_pair("fifo", " is not a regular file")}) {
    bool edited = false;
    EXPECT_EQ(messageOf([&] {
                CTreeFile::update(file(target.first), [&](CComposite&) { edited = true; });
              }),
              path(target.first) + target.second);
    EXPECT_FALSE(edited);
  }
  EXPECT_TRUE(fs::is_fifo(_dir.path() / "fifo"));
  EXPECT_TRUE(fs::is_empty(_dir.path() / "dir"));
}

TEST_F(TreeFileUpdate, TheLockIsHeldThroughTheStoreUnderEveryNameOfTheFile) {
  fs::create_directory(_dir.path() / "real");
  fs::create_directory(_dir.path() / "links");
  CTreeFile::update(file("real/t.qel"), adding("first"));
  fs::create_symlink("../real/t.qel", _dir.path() / "links/t.qel");

  // A lock already held makes an update that does not wait fail untried.
  auto fileSystem = qel::CFileSystem::getFileSystem();
  {
    auto held = fileSystem->lockFile(wpath("real/t.qel"), 0);
    bool edited = false;
    EXPECT_EQ(messageOf([&] {
                CTreeFile::update(
                    file("links/t.qel"), [&](CComposite&) { edited = true; }, 0, 0);
              }),
              path("links/t.qel") + ": locked by another process");
    EXPECT_FALSE(edited);
  }

  qel_test::FaultScope faults;
  std::vector<std::string> whileCommitting;
  qel_test::FaultyFileSystem::plan().beforeCommit = [&] {
    for (const char* name : {"real/t.qel", "links/t.qel"}) {
      whileCommitting.push_back(
          messageOf([&] { qel::CFileSystem::getFileSystem()->lockFile(wpath(name), 0); }));
    }
  };
  CTreeFile::update(file("links/t.qel"), adding("second"));
  EXPECT_EQ(whileCommitting,
            (std::vector<std::string>{path("real/t.qel") + ": locked by another process",
                                      path("links/t.qel") + ": locked by another process"}));
  EXPECT_TRUE(fs::is_symlink(_dir.path() / "links/t.qel"));
  EXPECT_EQ(namesIn("real/t.qel"), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(fs::directory_iterator(_dir.path() / "links")->path().filename(), "t.qel");
}

// ---- between threads (each lock is its own open file) -----------------------

class TreeFileUpdateConcurrency : public TreeFileUpdate {};

TEST_F(TreeFileUpdateConcurrency, AWaiterForAMissingFileLocksTheFileThatWasCreated) {
  auto fileSystem = qel::CFileSystem::getFileSystem();
  auto held = fileSystem->lockFile(wpath(), 0);  // no file yet
  std::string third = "not run";
  std::thread waiter([&] {
    auto mine = fileSystem->lockFile(wpath(), 20000);
    // Held by this thread: the lock of the file now there is taken.
    third = messageOf([&] { fileSystem->lockFile(wpath(), 0); });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  CComposite root;
  root.add(new CComponent("created", "1"));
  CTreeFile::store(file(), root);
  held->close();
  waiter.join();
  EXPECT_EQ(third, path() + ": locked by another process");
}

TEST_F(TreeFileUpdateConcurrency, UpdatesThatCreateTheSameFileTogetherKeepBothEdits) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::string name = "c" + std::to_string(attempt) + ".qel";
    std::atomic<int> ready{0};
    std::vector<std::string> failures(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        ++ready;
        while (ready.load() < 2) {
          std::this_thread::yield();
        }
        failures[t] = messageOf([&] { CTreeFile::update(file(name), adding(t == 0 ? "a" : "b")); });
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    SCOPED_TRACE(name);
    EXPECT_EQ(failures, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(namesIn(name), (std::vector<std::string>{"a", "b"}));
  }
}

}  // namespace
