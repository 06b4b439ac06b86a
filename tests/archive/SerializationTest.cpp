#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/io/File.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CBaseComponent;
using qel::CBinaryComponent;
using qel::CComponent;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;
using qel_test::childrenOf;
using qel_test::describeTree;

namespace {

const char kTreeFile[] =
    "0011022001207003box00\n"
    "0017032001107002id070024200\n"
    "0009012001300\n"
    "0016032001407001b09002AB00\n"
    "0009012001300\n";

std::string storeTree(qel_test::TempDir& dir, CComposite& root) {
  CFile file(dir.wpath("t.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_END_OF_DATA;
    root.serialize(ar, code);
    EXPECT_EQ(CArchive::RET_OK, code);
  }
  return dir.readFile("t.arc");
}

CArchive::RetError loadTree(qel_test::TempDir& dir, const std::string& content, CComposite& root) {
  dir.writeFile("l.arc", content);
  CFile file(dir.wpath("l.arc"));
  CArchive ar(file, CArchive::LOAD);
  CArchive::RetError code = CArchive::RET_OK;
  root.serialize(ar, code);
  return code;
}

CBinaryComponent* binaryOf(const std::string& name, const std::string& bytes) {
  auto* binary = new CBinaryComponent(name);
  binary->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<unsigned int>(bytes.size()));
  return binary;
}

TEST(Serialization, StoredTreeBytesAndLoadingThemBack) {
  qel_test::TempDir dir;
  CComposite root;
  auto* box = new CComposite("box");
  box->add(new CComponent("id", "42"));
  root.add(box);
  root.add(binaryOf("b", "AB"));
  EXPECT_EQ(kTreeFile, storeTree(dir, root));
  CComposite loaded;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir, kTreeFile, loaded));
  EXPECT_EQ(describeTree(root), describeTree(loaded));
}

TEST(Serialization, EmptyAndUnnamedComposites) {
  qel_test::TempDir dir;
  CComposite empty;
  EXPECT_EQ("0009012001300\n", storeTree(dir, empty));
  CComposite loaded;
  EXPECT_EQ(CArchive::RET_OK, loadTree(dir, "0009012001300\n", loaded));
  EXPECT_FALSE(loaded.hasChildren());

  // An unnamed composite below the root has a start record with an empty
  // name, so that it loads back as it was and its siblings after it too.
  CComposite root;
  auto* unnamed = new CComposite();
  unnamed->add(new CComponent("inner", "1"));
  root.add(unnamed);
  root.add(new CComponent("outer", "2"));
  const std::string stored = storeTree(dir, root);
  const std::string unnamedStart = "000E02200120700000\n";
  ASSERT_EQ(0u, stored.find(unnamedStart)) << stored;
  CComposite back;
  EXPECT_EQ(CArchive::RET_OK, loadTree(dir, stored, back));
  EXPECT_EQ(describeTree(root), describeTree(back));

  // Without that record, as such trees were once stored, the inner end
  // record ends the loading of the root early, as it always did.
  CComposite old;
  EXPECT_EQ(CArchive::RET_OK, loadTree(dir, stored.substr(unnamedStart.size()), old));
  ASSERT_EQ(1u, old.getChildCount());
  EXPECT_EQ("inner", childrenOf(old)[0]->getName());
}

TEST(Serialization, ValuesLoseLineFeedsBinaryEmptyAndDuplicatesStay) {
  qel_test::TempDir dir;
  CComposite root;
  root.add(new CComponent("v", "a\nb"));
  root.add(new CBinaryComponent("e"));
  root.add(new CComponent("d", "1"));
  root.add(new CComponent("d", "2"));
  const std::string stored = storeTree(dir, root);
  EXPECT_NE(std::string::npos, stored.find("0014032001407001e0900000\n"));
  CComposite back;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir, stored, back));
  EXPECT_EQ("2<>{1<d>1=1,4<e>0#,1<v>2=ab,1<d>1=2,}", describeTree(back));
}

TEST(Serialization, ComponentsWriteTheRecordsOfTheFieldWriters) {
  // Every kind of record, with values at the limits and texts that lose
  // their line feeds, is the record the field writers make.
  qel_test::TempDir dir;
  const std::string longest(4095, 'x');
  const std::string longName(4095, 'n');
  unsigned char bytes[300];
  for (int i = 0; i < 300; ++i) {
    bytes[i] = static_cast<unsigned char>(i == 10 ? 11 : i);
  }
  CComposite root;
  auto* box = new CComposite("box");
  root.add(box);
  box->add(new CComponent("a", longest));
  box->add(new CComponent(longName, ""));
  box->add(new CComponent("l\nf", "x\ny\n"));
  box->add(binaryOf("data", std::string(reinterpret_cast<char*>(bytes), sizeof(bytes))));
  box->add(new CBinaryComponent("none"));
  root.add(new CComposite("empty\nbox"));
  const std::string stored = storeTree(dir, root);

  CFile file(dir.wpath("fields.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    auto text = [&](short kind, const std::string& name, const std::string* value) {
      ar.writeShort(kind, code);
      if (kind != 3) {
        ar.writeString(name, code);
      }
      if (value != nullptr) {
        ar.writeString(*value, code);
      }
      ar.writeEndLine(code);
    };
    auto data = [&](const std::string& name, unsigned char* value, unsigned int size) {
      ar.writeShort(4, code);
      ar.writeString(name, code);
      ar.writeData(value, size, code);
      ar.writeEndLine(code);
    };
    const std::string feeds = "x\ny\n";
    const std::string none;
    text(2, "box", nullptr);
    text(1, "a", &longest);
    data("data", bytes, sizeof(bytes));
    text(1, "l\nf", &feeds);
    text(1, longName, &none);
    data("none", nullptr, 0);
    text(3, "", nullptr);
    text(2, "empty\nbox", nullptr);
    text(3, "", nullptr);
    text(3, "", nullptr);
  }
  EXPECT_EQ(dir.readFile("fields.arc"), stored);
}

TEST(Serialization, AComponentJoinsARecordLeftOpen) {
  // Fields written before a component stores itself belong to its record.
  qel_test::TempDir dir;
  CFile file(dir.wpath("open.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    ar.writeBoolean(true, code);
    CComponent leaf("id", "42");
    leaf.serialize(ar, code);
    EXPECT_EQ(CArchive::RET_OK, code);
  }
  EXPECT_EQ("001D041001102001107002id070024200\n", dir.readFile("open.arc"));
}

TEST(Serialization, NamedRootUnknownKindsTruncationAndGarbage) {
  qel_test::TempDir dir;
  CComposite named("cfg");
  named.add(new CComponent("k", "v"));
  const std::string stored = storeTree(dir, named);
  CComposite back;
  EXPECT_EQ(CArchive::RET_END_OF_DATA, loadTree(dir, stored, back));
  ASSERT_EQ(1u, back.getChildCount());
  EXPECT_TRUE(back.find("cfg")->isComposite());

  // Kind 9 ends the nested composite with RET_OK; its parent goes on.
  CComposite unknown;
  EXPECT_EQ(CArchive::RET_OK, loadTree(dir,
                                       "0011022001207003box00\n0009012001900\n"
                                       "0017032001107002id070024200\n0009012001300\n",
                                       unknown));
  EXPECT_EQ(2u, unknown.getChildCount());
  EXPECT_FALSE(static_cast<CComposite*>(unknown.find("box"))->hasChildren());

  // Content of any kind loads to a code and reads no date.
  for (const std::string& content :
       {std::string("\xff\x00zz", 4), std::string("0009018001300\n"),
        std::string("000B03200110800000\n"), std::string("0009012001300\n-+x \n0A"),
        std::string("0011022001207003box00\n0017032001107002id0700")}) {
    CComposite garbage;
    CArchive::RetError code = CArchive::RET_OK;
    EXPECT_NO_THROW(code = loadTree(dir, content, garbage)) << content;
    EXPECT_GE(code, CArchive::RET_OK);
    EXPECT_LE(code, CArchive::RET_END_OF_DATA);
  }
}

TEST(Serialization, TruncatedFilesLoadWhatPrecedesTheCut) {
  qel_test::TempDir dir;
  CComposite root;
  for (int i = 0; i < 6; ++i) {
    auto* box = new CComposite("box" + std::to_string(i));
    box->add(new CComponent("k", std::string(static_cast<std::size_t>(i * 300), 'v')));
    box->add(new CComponent("n", "text"));
    root.add(box);
  }
  const std::string stored = storeTree(dir, root);
  ASSERT_GT(stored.size(), 4096u);
  const std::size_t lastFeed = stored.rfind('\n', stored.size() - 2);
  // Cutting off exactly a record's line feed leaves a record without it;
  // every other cut leaves fewer characters than a length announces.
  struct Cut {
    std::size_t at;
    std::size_t children;
  };
  for (const Cut& cut : {Cut{0, 0}, Cut{2, 0}, Cut{22 + 10, 1}, Cut{1500, 4}, Cut{4096, 6},
                         Cut{4097, 6}, Cut{lastFeed, 6}, Cut{stored.size() - 1, 6}}) {
    SCOPED_TRACE("cut at " + std::to_string(cut.at));
    CComposite back;
    EXPECT_EQ(stored[cut.at] == '\n' ? CArchive::RET_BAD_FORMAT : CArchive::RET_END_OF_DATA,
              loadTree(dir, stored.substr(0, cut.at), back));
    EXPECT_EQ(cut.children, back.getChildCount());
  }
}

TEST(Serialization, TreesOfEveryByteComeBackEqual) {
  // Names and values of every byte but the line feed, repeated names,
  // nesting, empty values and binary values ending in a line feed.
  qel_test::TempDir dir;
  CComposite root;
  CComposite* parent = &root;
  for (int depth = 0; depth < 5; ++depth) {
    for (int i = 0; i < 6; ++i) {
      std::string name(1 + (depth * 6 + i) % 5, static_cast<char>((depth * 41 + i * 53) % 256));
      if (name[0] == '\n' || i == 3) {
        name = "dup";
      }
      std::string bytes;
      for (int b = 0; b < (i * 17 + depth) % 41; ++b) {
        bytes += static_cast<char>((depth * 97 + i * 31 + b * 7) % 256);
      }
      if (i % 2 == 0) {
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\n'), bytes.end());
        parent->add(new CComponent(name, bytes));
      } else {
        parent->add(binaryOf(name, bytes + "\n"));
      }
    }
    auto* next = new CComposite(depth % 2 == 0 ? "dup" : "box");
    parent->add(next);
    parent = next;
  }
  const std::string stored = storeTree(dir, root);
  CComposite back;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir, stored, back));
  EXPECT_EQ(describeTree(root), describeTree(back));
  EXPECT_EQ(stored, storeTree(dir, back));
}

TEST(Serialization, DeepNestingInAFile) {
  qel_test::TempDir dir;
  std::string content;
  for (int i = 0; i < 200000; ++i) {
    content += "0011022001207003box00\n";
  }
  CComposite back;
  EXPECT_EQ(CArchive::RET_END_OF_DATA, loadTree(dir, content, back));
  EXPECT_EQ(1u, back.getChildCount());
}

TEST(Serialization, LoadingReplacesBytesHeld) {
  qel_test::TempDir dir;
  dir.writeFile("b.arc", "0016032001407001b09002AB00\n");
  CFile file(dir.wpath("b.arc"));
  CArchive ar(file, CArchive::LOAD);
  CArchive::RetError code = CArchive::RET_OK;
  ar.readStartLine(code);
  short kind = 0;
  ar.readShort(kind, code);
  CBinaryComponent b("old");
  const unsigned char old[] = {9, 9, 9, 9};
  b.setData(old, 4);
  b.serialize(ar, code);
  ASSERT_EQ(CArchive::RET_OK, code);
  EXPECT_EQ("b", b.getName());
  const unsigned char ab[] = {'A', 'B'};
  EXPECT_TRUE(b.isEqual(ab, 2));
}

TEST(Serialization, DateRecords) {
  qel_test::TempDir dir;
  CFile file(dir.wpath("d.arc"));
  qel::CDateTime date;
  date.forceGMT(true);
  date.setJD(2460341);
  date.setms(45296789);
  {
    CArchive ar(file, CArchive::STORE);
    ar << date;
  }
  EXPECT_EQ("00220310011060072460341060084529678900\n", dir.readFile("d.arc"));
  CArchive ar(file, CArchive::LOAD);
  CArchive::RetError code = CArchive::RET_OK;
  ar.readStartLine(code);
  qel::CDateTime back;
  back.encodeDateUsingDashes(true);
  ar >> back;
  EXPECT_TRUE(back.isGMTTime());
  EXPECT_EQ(2460341u, back.getJD());
  EXPECT_EQ(45296789u, back.getms());
  EXPECT_TRUE(back.isEncodeDateUsingDashes());
  ar >> back;  // nothing left: false and zeros
  EXPECT_FALSE(back.isGMTTime());
  EXPECT_EQ(0u, back.getJD());
}

TEST(Serialization, LargeListsAddedOutOfOrderStoreInListOrder) {
  qel_test::TempDir dir;
  CComposite root;
  auto* box = new CComposite("box");
  root.add(box);
  for (int i = 0; i < 300; ++i) {
    box->add(new CComponent("k" + std::to_string(i * 7919 % 1000), std::to_string(i)));
  }
  // A second child of an existing name goes after the first.
  box->add(new CComponent("k" + std::to_string(7 * 7919 % 1000), "again"));
  box->add(new CComponent("a", "last"));
  const std::string stored = storeTree(dir, root);
  CComposite back;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir, stored, back));
  EXPECT_EQ(describeTree(root), describeTree(back));
  // The last added child was stored last; everything before in name order.
  const std::vector<CBaseComponent*> loaded =
      childrenOf(*static_cast<CComposite*>(back.find("box")));
  ASSERT_EQ(302u, loaded.size());
  EXPECT_EQ("a", loaded.back()->getName());
  EXPECT_TRUE(std::is_sorted(
      loaded.begin(), loaded.end() - 1,
      [](CBaseComponent* x, CBaseComponent* y) { return x->getName() < y->getName(); }));
}

TEST(TreeFile, ReportsWhereLoadingStopped) {
  qel_test::TempDir dir;
  CComposite back;
  dir.writeFile("good.arc", kTreeFile);
  const CTreeFile::LoadReport good = CTreeFile::load(CFile(dir.wpath("good.arc")), back);
  EXPECT_TRUE(good.bFound);
  EXPECT_EQ(CArchive::RET_OK, good.eCode);
  EXPECT_EQ(5u, good.nRecord);
  // Record 3 announces one character more than it has.
  dir.writeFile("bad.arc", std::string("0011022001207003box00\n") +
                               "0017032001107002id070024200\n" + "0018032001107002id070024200\n" +
                               "0009012001300\n");
  CComposite partial;
  const CTreeFile::LoadReport report = CTreeFile::load(CFile(dir.wpath("bad.arc")), partial);
  EXPECT_TRUE(report.bFound);
  EXPECT_EQ(CArchive::RET_BAD_FORMAT, report.eCode);
  EXPECT_EQ(3u, report.nRecord);
  EXPECT_EQ(22u + 28u, report.nOffset);
  EXPECT_EQ(1u, partial.getChildCount());

  const CTreeFile::LoadReport missing = CTreeFile::load(CFile(dir.wpath("none.arc")), back);
  EXPECT_FALSE(missing.bFound);
  EXPECT_EQ(CArchive::RET_END_OF_DATA, missing.eCode);
}

}  // namespace
