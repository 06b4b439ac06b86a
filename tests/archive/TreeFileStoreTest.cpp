// Trees stored whole: every shape and every value up to the limits comes
// back exactly, what cannot be stored exactly is refused before anything
// reaches the target, and an archive over a replacement reaches the target
// only when the replacement is committed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "archive/TreeSamples.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CBinaryComponent;
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

CComposite* compositeOf(std::vector<qel::CBaseComponent*> children, const std::string& name = "") {
  auto* composite = new CComposite(name);
  for (qel::CBaseComponent* child : children) {
    composite->add(child);
  }
  return composite;
}

CBinaryComponent* binaryOf(const std::string& name, const std::string& bytes) {
  auto* binary = new CBinaryComponent(name);
  binary->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<unsigned int>(bytes.size()));
  return binary;
}

class TreeFileStore : public ::testing::Test {
 protected:
  CFile file(const std::string& name) const { return CFile(_dir.wpath(name)); }
  std::string path(const std::string& name) const { return (_dir.path() / name).string(); }

  std::string describeFile(const std::string& name) const {
    CComposite back;
    EXPECT_EQ(CTreeFile::load(file(name), back).eCode, CArchive::RET_OK);
    return qel_test::describeTree(back);
  }

  std::ptrdiff_t entryCount() const {
    return std::distance(fs::directory_iterator(_dir.path()), fs::directory_iterator());
  }

  qel_test::TempDir _dir;
};

TEST_F(TreeFileStore, EveryShapeAndEveryValueUpToTheLimitsComesBackExactly) {
  std::string nulsAndText;
  for (int i = 0; nulsAndText.size() < 4095; ++i) {
    nulsAndText += i % 3 == 0 ? '\0' : static_cast<char>('a' + i % 26);
  }
  std::string everyByte;
  for (int i = 0; i < 4095; ++i) {
    everyByte += static_cast<char>(i % 256);
  }
  const std::pair<const char*, std::function<void(CComposite&)>> trees[] = {
      {"an empty unnamed composite before a sibling",
       [](CComposite& root) {
         root.add(compositeOf({}));
         root.add(new CComponent("after", "1"));
       }},
      {"unnamed composites side by side, an empty one last",
       [](CComposite& root) {
         root.add(compositeOf({new CComponent("x", "1")}));
         root.add(compositeOf({new CComponent("y", "2")}));
         root.add(compositeOf({}));
       }},
      {"unnamed composites holding only unnamed composites",
       [](CComposite& root) {
         root.add(compositeOf({compositeOf({compositeOf({new CComponent("deep", "1")})})}));
         root.add(compositeOf({compositeOf({})}, "named"));
         root.add(new CComponent("last", "2"));
       }},
      {"values and a name of the largest length",
       [&](CComposite& root) {
         root.add(new CComponent("text", nulsAndText));
         root.add(binaryOf("binary", everyByte));
         root.add(new CComponent(std::string(4095, 'n'), "v"));
         root.add(new CComponent("nul", std::string(1, '\0')));
       }},
  };
  for (const auto& tree : trees) {
    SCOPED_TRACE(tree.first);
    CComposite root;
    tree.second(root);
    CTreeFile::store(file("t.qel"), root);
    CComposite back;
    ASSERT_EQ(CTreeFile::load(file("t.qel"), back).eCode, CArchive::RET_OK);
    EXPECT_TRUE(qel_test::describeTree(back) == qel_test::describeTree(root));
    // Stored again, what was loaded gives the same bytes: nothing moved.
    CTreeFile::store(file("again.qel"), back);
    EXPECT_TRUE(_dir.readFile("again.qel") == _dir.readFile("t.qel"));
  }
}

TEST_F(TreeFileStore, WhatCannotBeStoredExactlyReachesNoFileAtAll) {
  const std::pair<std::string, std::function<void(CComposite&)>> cases[] = {
      {"box/na\nme: A line feed cannot be stored in a text field",
       [](CComposite& root) { root.add(compositeOf({new CComponent("na\nme", "1")}, "box")); }},
      {"bin: The value of 4096 bytes exceeds the limit of 4095 bytes of a field",
       [](CComposite& root) { root.add(binaryOf("bin", std::string(4096, '\0'))); }},
      {std::string(4096, 'n') +
           ": The value of 4096 bytes exceeds the limit of 4095 bytes of a field",
       [](CComposite& root) { root.add(new CComponent(std::string(4096, 'n'), "v")); }},
      // Refused after many blocks of the new file were written.
      {"zz/late: A line feed cannot be stored in a text field",
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

TEST_F(TreeFileStore, AnArchiveOverAReplacementReachesTheTargetOnlyByTheCommit) {
  _dir.writeFile("t.qel", "old");
  CComposite root;
  root.add(new CComponent("k", "v"));
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "discarded");
    qel::CFileReplacement replacement(file("t.qel"));
    {
      CArchive ar(replacement);
      ar.setStrict(true);
      CArchive::RetError code = CArchive::RET_OK;
      // The refused text drops the record it was to join.
      ar.writeString("dropped", code);
      EXPECT_EQ(messageOf([&] { ar.writeString("a\nb", code); }),
                "A line feed cannot be stored in a text field");
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
  EXPECT_EQ(describeFile("t.qel"), qel_test::describeTree(root));
  EXPECT_EQ(entryCount(), 1);
}

}  // namespace
