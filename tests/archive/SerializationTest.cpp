// Trees stored as records and loaded back; loading must match a reference loader
// that uses only the public field readers, on any content.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
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
using qel_test::binaryOf;
using qel_test::compositeOf;
using qel_test::describeTree;
using Code = CArchive::RetError;

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
    Code code = CArchive::RET_END_OF_DATA;
    root.serialize(ar, code);
    EXPECT_EQ(CArchive::RET_OK, code);
  }
  return dir.readFile("t.arc");
}

Code loadTree(qel_test::TempDir& dir, const std::string& content, CComposite& root) {
  // A new file each time: rewriting one in place may wait for the disk.
  std::filesystem::remove(dir.path() / "l.arc");
  dir.writeFile("l.arc", content);
  CFile file(dir.wpath("l.arc"));
  CArchive ar(file, CArchive::LOAD);
  Code code = CArchive::RET_OK;
  root.serialize(ar, code);
  return code;
}

Code referenceLoad(CArchive& ar, CComposite& root) {
  std::vector<CComposite*> open(1, &root);
  for (;;) {
    Code code = CArchive::RET_OK;
    short kind = 0;
    std::string name;
    ar.readStartLine(code);
    if (code == CArchive::RET_OK) {
      ar.readShort(kind, code);
    }
    if (code == CArchive::RET_OK &&
        (kind == CBaseComponent::TYPE_COMPONENT || kind == CBaseComponent::TYPE_BINARY ||
         kind == CBaseComponent::TYPE_COMPOSITE)) {
      ar.readString(name, code);
    }
    std::string value;
    unsigned char* data = nullptr;
    unsigned int size = 0;
    if (code == CArchive::RET_OK && kind == CBaseComponent::TYPE_COMPONENT) {
      ar.readString(value, code);
    } else if (code == CArchive::RET_OK && kind == CBaseComponent::TYPE_BINARY) {
      ar.readData(&data, size, code);
    }
    std::unique_ptr<unsigned char[]> owned(data);
    if (code != CArchive::RET_OK) {
      return code;
    }
    if (kind == CBaseComponent::TYPE_COMPONENT) {
      open.back()->add(new CComponent(name, value));
    } else if (kind == CBaseComponent::TYPE_BINARY) {
      auto* leaf = new CBinaryComponent(name);
      leaf->setData(data, size);
      open.back()->add(leaf);
    } else if (kind == CBaseComponent::TYPE_COMPOSITE) {
      open.push_back(new CComposite(name));
      open[open.size() - 2]->add(open.back());
    } else {
      open.pop_back();
      if (open.empty()) {
        return code;
      }
    }
  }
}

// The same tree, code and stopping place from both loaders; returns the code.
Code expectSameOutcome(qel_test::TempDir& dir, const std::string& content,
                       const std::string& what) {
  SCOPED_TRACE(what);
  std::filesystem::remove(dir.path() / "m.arc");
  dir.writeFile("m.arc", content);
  CFile file(dir.wpath("m.arc"));
  CComposite fast;
  const CTreeFile::LoadReport report = CTreeFile::load(file, fast);
  CComposite reference;
  CArchive ar(file, CArchive::LOAD);
  const Code code = referenceLoad(ar, reference);
  EXPECT_EQ(code, report.eCode);
  EXPECT_EQ(ar.getRecordNumber(), report.nRecord);
  EXPECT_EQ(ar.getRecordOffset(), report.nOffset);
  EXPECT_EQ(describeTree(reference), describeTree(fast));
  return report.eCode;
}

TEST(Serialization, StoredTreeBytesAndWhatLoadsBack) {
  qel_test::TempDir dir;
  qel_test::LogCapture quiet;
  // An unnamed composite keeps a start record; line feeds go; a named root nests.
  struct Case {
    std::function<CComposite*()> build;
    std::string bytes;
    Code code;
    std::string loaded;  // "": the tree stored
  };
  const Case cases[] = {
      {[] {
         return compositeOf(
             {compositeOf({new CComponent("id", "42")}, "box"), binaryOf("b", "AB")});
       },
       kTreeFile, CArchive::RET_OK, ""},
      {[] { return new CComposite(); }, "0009012001300\n", CArchive::RET_OK, ""},
      {[] {
         return compositeOf(
             {compositeOf({new CComponent("inner", "1")}), new CComponent("outer", "2")});
       },
       "000E02200120700000\n"
       "0019032001107005inner07001100\n0009012001300\n"
       "0019032001107005outer07001200\n0009012001300\n",
       CArchive::RET_OK, ""},
      {[] {
         return compositeOf({new CComponent("v", "a\nb"), new CBinaryComponent("e"),
                             new CComponent("d", "1"), new CComponent("d", "2"),
                             new CComposite("l\nf")});
       },
       "0015032001107001d07001100\n0015032001107001d07001200\n"
       "0014032001407001e0900000\n0016032001107001v07002ab00\n"
       "0010022001207002lf00\n0009012001300\n0009012001300\n",
       CArchive::RET_OK, "2<>{1<d>1=1,1<d>1=2,4<e>0#,1<v>2=ab,2<lf>{},}"},
      {[] { return compositeOf({new CComponent("k", "v")}, "cfg"); },
       "0011022001207003cfg00\n0015032001107001k07001v00\n0009012001300\n",
       CArchive::RET_END_OF_DATA, "2<>{2<cfg>{1<k>1=v,},}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    std::unique_ptr<CComposite> root(c.build());
    EXPECT_EQ(c.bytes, storeTree(dir, *root));
    CComposite back;
    EXPECT_EQ(c.code, loadTree(dir, c.bytes, back));
    EXPECT_EQ(c.loaded.empty() ? describeTree(*root) : c.loaded, describeTree(back));
  }
  // Old files without that record end the root early; kind 9 ends a composite.
  const std::pair<std::string, std::string> loads[] = {
      {"0019032001107005inner07001100\n0009012001300\n"
       "0019032001107005outer07001200\n0009012001300\n",
       "2<>{1<inner>1=1,}"},
      {"0011022001207003box00\n0009012001900\n0017032001107002id070024200\n0009012001300\n",
       "2<>{2<box>{},1<id>2=42,}"},
  };
  for (const auto& l : loads) {
    CComposite back;
    EXPECT_EQ(CArchive::RET_OK, loadTree(dir, l.first, back));
    EXPECT_EQ(l.second, describeTree(back));
  }
  EXPECT_EQ(CArchive::RET_OK, expectSameOutcome(dir, kTreeFile, "stored tree"));
}

TEST(Serialization, TreesOfEveryByteComeBackEqual) {
  // Every byte but the line feed, largest lengths, duplicates, unsorted last child.
  qel_test::TempDir dir;
  qel_test::LogCapture quiet;
  CComposite root;
  std::string everyByte;
  for (int i = 0; i < 4095; ++i) {
    everyByte += static_cast<char>(i % 3 == 0 ? 0 : i % 256 == 10 ? 11 : i % 256);
  }
  root.add(new CComponent("text", everyByte));
  root.add(binaryOf("binary", everyByte.substr(0, 4094) + "\n"));
  root.add(new CComponent(std::string(4095, 'n'), std::string(1, '\0')));
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
  for (int i = 0; i < 300; ++i) {
    parent->add(new CComponent("k" + std::to_string(i * 7919 % 1000), std::to_string(i)));
  }
  parent->add(new CComponent("k" + std::to_string(7 * 7919 % 1000), "again"));
  parent->add(new CComponent("a", "last"));
  const std::string stored = storeTree(dir, root);
  CComposite back;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir, stored, back));
  EXPECT_TRUE(describeTree(root) == describeTree(back));
  EXPECT_TRUE(stored == storeTree(dir, back));
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

// ---- the plain-record path against the field readers --------------------

TEST(LoadPath, DamagedRecordsGiveTheSameTreeAndReport) {
  qel_test::TempDir dir;
  qel_test::LogCapture quiet;
  // Leaves of every kind and records crossing the blocks in which the file is read.
  CComposite root;
  auto* box = new CComposite("box");
  box->add(new CComponent("id", "42"));
  box->add(new CComponent("empty", ""));
  box->add(binaryOf("bin", std::string("A\n0\0\xff\n", 6)));
  box->add(new CBinaryComponent("nothing"));
  box->add(new CComposite("leafless"));
  root.add(box);
  root.add(new CComponent("long", std::string(4000, 'v')));
  root.add(new CComponent("z", "last"));
  root.add(new CComponent("z", "again"));
  CTreeFile::store(CFile(dir.wpath("s.arc")), root);
  const std::string stored = dir.readFile("s.arc");
  ASSERT_GT(stored.size(), CArchive::BLOCK_SIZE);
  EXPECT_EQ(CArchive::RET_OK, expectSameOutcome(dir, stored, "stored tree"));
  // Bytes of each field of the first records replaced, removed and a '0' put in.
  const std::string replacements = std::string("07F \n+") + '\xFF';
  std::size_t variant = 0;
  std::size_t next = 0;
  for (int n = 0; n < 5; ++n) {
    const std::size_t start = next;
    next += 4 + std::stoul(stored.substr(start, 4), nullptr, 16) + 1;
    for (const std::size_t at : std::vector<std::size_t>{0, 3, 4, 6, 7, 9, 10, 15, next - 1}) {
      std::string mutated = stored;
      const std::size_t i = at == next - 1 ? at : start + at;
      const char c = replacements[variant++ % replacements.size()];
      mutated[i] = mutated[i] == c ? '1' : c;
      const std::string where = "byte " + std::to_string(i);
      expectSameOutcome(dir, mutated, where + " -> " + std::to_string(c));
      expectSameOutcome(dir, stored.substr(0, i) + stored.substr(i + 1), where + " removed");
      expectSameOutcome(dir, stored.substr(0, i) + "0" + stored.substr(i), "'0' put in " + where);
    }
  }
  // Content of any kind loads to a code and reads no date.
  for (const std::string& content : {std::string("\xff\x00zz", 4), std::string("0009018001300\n"),
                                     std::string("000B03200110800000\n"), stored.substr(0, 4096)}) {
    expectSameOutcome(dir, content, content.substr(0, 20));
  }
  // A cut line feed is malformed, any other cut ends the data after what it kept.
  const std::size_t lastFeed = stored.rfind('\n', stored.size() - 2);
  for (const std::size_t cut :
       std::vector<std::size_t>{0, 2, 32, 1500, 4096, lastFeed, stored.size() - 1}) {
    EXPECT_EQ(stored[cut] == '\n' ? CArchive::RET_BAD_FORMAT : CArchive::RET_END_OF_DATA,
              expectSameOutcome(dir, stored.substr(0, cut), "cut at " + std::to_string(cut)));
  }
}

TEST(LoadPath, LooseLayoutsOfEachFieldFallBackToTheFieldReaders) {
  qel_test::LogCapture quiet;
  qel_test::TempDir dir;
  const std::string end = "0009012001300\n";
  // Layouts only the field readers take, alone and straddling a block boundary.
  const std::pair<std::string, Code> records[] = {
      {"0017032001107002id070024200\n", CArchive::RET_OK},
      {"0017032001107 02id070024200\n", CArchive::RET_OK},
      {"0017032001107002id07 024200\n", CArchive::RET_OK},
      {"0017032001107002id07+024200\n", CArchive::RET_OK},
      {"0017032001107002id070094200\n", CArchive::RET_END_OF_LINE},
      {"0017032001107002id090024200\n", CArchive::RET_WRONG_TYPE},
      {"0017032001107002id170024200\n", CArchive::RET_BAD_FORMAT},
      {"0018032001407003bin09002Z\n00\n", CArchive::RET_OK},
      {"0018032001407 03bin09002Z\n00\n", CArchive::RET_OK},
      {"0018032001407003bin09 02Z\n00\n", CArchive::RET_OK},
      {"0018032001407003bin07002Z\n00\n", CArchive::RET_WRONG_TYPE},
      {"0018032001407003bin09003Z\n00\n", CArchive::RET_OK},
      {"0016032001407003bin0900000\n", CArchive::RET_OK},
      {"0011022001207003box00\n", CArchive::RET_END_OF_DATA},
      {"0011022001207 03box00\n", CArchive::RET_END_OF_DATA},
  };
  // Preceded by a record that fills the first block almost to its end.
  const std::string filler = "0017032001107002ab07002cd00\n";
  std::string block;
  while (block.size() + filler.size() < CArchive::BLOCK_SIZE - 10) {
    block += filler;
  }
  for (const auto& r : records) {
    EXPECT_EQ(r.second, expectSameOutcome(dir, r.first + end, r.first));
    EXPECT_EQ(r.second, expectSameOutcome(dir, block + r.first + end, "after a block: " + r.first));
  }
}

}  // namespace
