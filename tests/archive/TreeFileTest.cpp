// Whole trees in files: stored exactly or refused, loaded without side
// effects, and edited by one process at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
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
#include "support/TempDir.h"

using qel::CArchive;
using qel::CBinaryComponent;
using qel::CComponent;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;

namespace {

// What operation threw, as the user reads it; "" when it threw nothing.
template <typename Operation>
std::string messageOf(Operation&& operation) {
  try {
    operation();
  } catch (const qel::CException& e) {
    return qel::CWin32Helper::toUTF8(e.getMessage());
  }
  return "";
}

class TreeFiles : public ::testing::Test {
 protected:
  CFile file(const std::string& name) const { return CFile(_dir.wpath(name)); }
  std::string path(const std::string& name) const { return (_dir.path() / name).string(); }

  std::string describeFile(const std::string& name) const {
    CComposite back;
    const CTreeFile::LoadReport report = CTreeFile::load(file(name), back);
    EXPECT_EQ(report.eCode, CArchive::RET_OK);
    return qel_test::describeTree(back);
  }

  qel_test::TempDir _dir;
};

TEST_F(TreeFiles, StoresExactlyWhatItIsGiven) {
  CComposite root;
  // Unnamed composites below the root, nested and followed by siblings.
  auto* outer = new CComposite();
  auto* inner = new CComposite();
  inner->add(new CComponent("deep", "1"));
  outer->add(inner);
  outer->add(new CComponent("after-inner", "2"));
  root.add(outer);
  root.add(new CComponent("after-outer", "3"));
  // NUL bytes inside values.
  root.add(new CComponent("text", std::string("a\0b\0", 4)));
  const unsigned char bytes[] = {0, '\n', 0, 255};
  auto* binary = new CBinaryComponent("binary");
  binary->setData(bytes, sizeof bytes);
  root.add(binary);
  CTreeFile::store(file("t.qel"), root);
  EXPECT_EQ(describeFile("t.qel"), qel_test::describeTree(root));
}

TEST_F(TreeFiles, RefusesWhatItCannotStoreAndNamesThePath) {
  CComposite old;
  old.add(new CComponent("kept", "1"));
  CTreeFile::store(file("t.qel"), old);
  const std::string before = _dir.readFile("t.qel");
  struct Case {
    const char* what;
    std::string expected;
    void (*build)(CComposite&);
  };
  const Case cases[] = {
      {"a line feed in a value", "network/proxy/host: A line feed cannot be stored in a text field",
       [](CComposite& root) {
         auto* network = new CComposite("network");
         auto* proxy = new CComposite("proxy");
         proxy->add(new CComponent("port", "80"));
         proxy->add(new CComponent("host", "a\nb"));
         network->add(proxy);
         root.add(network);
       }},
      {"a line feed in a composite's name", "a/b\nc: A line feed cannot be stored in a text field",
       [](CComposite& root) {
         auto* a = new CComposite("a");
         a->add(new CComposite("b\nc"));
         root.add(a);
       }},
      {"a value over the limit", "big: The value of 4096 bytes exceeds the limit of 4095 bytes",
       [](CComposite& root) { root.add(new CComponent("big", std::string(4096, 'x'))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CComposite root;
    c.build(root);
    const std::string message = messageOf([&] { CTreeFile::store(file("t.qel"), root); });
    EXPECT_EQ(message.substr(0, c.expected.size()), c.expected);
    EXPECT_EQ(_dir.readFile("t.qel"), before);
  }
  EXPECT_EQ(std::vector<std::string>{"t.qel"}, [this] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(_dir.path())) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }());
}

TEST_F(TreeFiles, LoadingCreatesNothingAndReadOnlyFilesNeedTheFlag) {
  CComposite root;
  const CTreeFile::LoadReport report = CTreeFile::load(file("missing/t.qel"), root);
  EXPECT_FALSE(report.bFound);
  EXPECT_FALSE(std::filesystem::exists(_dir.path() / "missing"));

  root.add(new CComponent("v", "1"));
  CTreeFile::store(file("ro.qel"), root);
  std::filesystem::permissions(_dir.path() / "ro.qel", std::filesystem::perms::owner_read);
  EXPECT_EQ(messageOf([&] { CTreeFile::store(file("ro.qel"), root); }),
            path("ro.qel") + " is read-only");
  root.add(new CComponent("w", "2"));
  EXPECT_EQ(messageOf([&] {
              CTreeFile::store(file("ro.qel"), root, CTreeFile::STORE_REPLACE_READ_ONLY);
            }),
            "");
  EXPECT_EQ(describeFile("ro.qel"), qel_test::describeTree(root));
}

TEST_F(TreeFiles, UpdateEditsWholeFilesAndLeavesOthersAlone) {
  auto add = [](const char* name) {
    return [name](CComposite& root) { root.add(new CComponent(name, "v")); };
  };
  CTreeFile::update(file("new.qel"), add("first"));
  _dir.writeFile("empty.qel", "");
  CTreeFile::update(file("empty.qel"), add("first"));
  CTreeFile::update(file("new.qel"), add("second"));
  CComposite one;
  one.add(new CComponent("first", "v"));
  EXPECT_EQ(describeFile("empty.qel"), qel_test::describeTree(one));
  CComposite expected;
  expected.add(new CComponent("first", "v"));
  expected.add(new CComponent("second", "v"));
  EXPECT_EQ(describeFile("new.qel"), qel_test::describeTree(expected));

  const std::string whole = _dir.readFile("new.qel");
  const std::string damaged[][2] = {
      {whole.substr(0, whole.size() - 5), "truncated at record 3, byte offset "},
      {"0009012Z01300\n", "malformed at record 1, byte offset 0"},
      {whole + "0009012001300\n",
       "more records after the end of the tree at record 4, byte offset "},
      {whole + "00", "more records after the end of the tree at record 4, byte offset "},
  };
  for (const auto& d : damaged) {
    SCOPED_TRACE(d[1]);
    _dir.writeFile("bad.qel", d[0]);
    const std::string message =
        messageOf([&] { CTreeFile::update(file("bad.qel"), add("never")); });
    EXPECT_EQ(message.substr(0, path("bad.qel").size() + 2 + d[1].size()),
              path("bad.qel") + ": " + d[1]);
    EXPECT_EQ(_dir.readFile("bad.qel"), d[0]);
  }

  // An edit that throws changes nothing and leaves the file unlocked.
  EXPECT_THROW(
      CTreeFile::update(file("new.qel"), [](CComposite&) { throw qel::IOException(L"no"); }),
      qel::IOException);
  EXPECT_EQ(_dir.readFile("new.qel"), whole);
  EXPECT_NO_THROW(CTreeFile::update(file("new.qel"), add("third"), 0, 0));
}

// ---- the lock, between threads (each lock is its own open file) -----------

class TreeFileLockConcurrency : public TreeFiles {};

TEST_F(TreeFileLockConcurrency, ALockIsWaitedForThenRefused) {
  CTreeFile::update(file("t.qel"), [](CComposite&) {});
  auto fileSystem = qel::CFileSystem::getFileSystem();
  auto held = fileSystem->lockFile(file("t.qel").getPath(), 0);
  std::string refused;
  std::thread other(
      [&] { refused = messageOf([&] { fileSystem->lockFile(file("t.qel").getPath(), 0); }); });
  other.join();
  EXPECT_EQ(refused, path("t.qel") + ": locked by another process");

  std::atomic<bool> got{false};
  std::thread waiter([&] {
    fileSystem->lockFile(file("t.qel").getPath(), 20000);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got.load());
  held->close();
  waiter.join();
  EXPECT_TRUE(got.load());
}

TEST_F(TreeFileLockConcurrency, AWaiterLocksTheFileThatReplacedTheOneItWaitedFor) {
  CTreeFile::update(file("t.qel"), [](CComposite&) {});
  auto fileSystem = qel::CFileSystem::getFileSystem();
  const std::wstring target = file("t.qel").getPath();
  auto held = fileSystem->lockFile(target, 0);
  std::atomic<int> stage{0};
  std::string third;
  std::thread waiter([&] {
    auto mine = fileSystem->lockFile(target, 20000);
    stage = 1;
    // While this thread holds it, the lock of the new file is taken.
    third = messageOf([&] { fileSystem->lockFile(target, 0); });
    stage = 2;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  CComposite root;
  root.add(new CComponent("replaced", "1"));
  CTreeFile::store(file("t.qel"), root);  // a new inode under the name
  held->close();
  waiter.join();
  EXPECT_EQ(stage.load(), 2);
  EXPECT_EQ(third, path("t.qel") + ": locked by another process");
}

TEST_F(TreeFileLockConcurrency, ConcurrentUpdatesLoseNothingAndReadersSeeWholeTrees) {
  constexpr int kWriters = 4;
  constexpr int kEdits = 50;
  std::atomic<bool> writing{true};
  std::atomic<int> loads{0};
  std::atomic<int> badLoads{0};
  std::thread reader([&] {
    while (writing) {
      CComposite root;
      const CTreeFile::LoadReport report = CTreeFile::load(file("t.qel"), root);
      if (report.bFound) {
        ++loads;
        badLoads += report.eCode == CArchive::RET_OK ? 0 : 1;
      }
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([this, w] {
      for (int i = 0; i < kEdits; ++i) {
        const std::string name = "w" + std::to_string(w) + "-" + std::to_string(i);
        CTreeFile::update(file("t.qel"),
                          [&name](CComposite& root) { root.add(new CComponent(name, "v")); });
      }
    });
  }
  for (std::thread& t : writers) {
    t.join();
  }
  writing = false;
  reader.join();
  CComposite root;
  ASSERT_EQ(CTreeFile::load(file("t.qel"), root).eCode, CArchive::RET_OK);
  EXPECT_EQ(root.getChildCount(), static_cast<unsigned>(kWriters * kEdits));
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kEdits; ++i) {
      EXPECT_NE(root.find("w" + std::to_string(w) + "-" + std::to_string(i)), nullptr);
    }
  }
  EXPECT_GT(loads.load(), 0);
  EXPECT_EQ(badLoads.load(), 0);
}

}  // namespace
