#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "archive/TreeSamples.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/io/File.h"
#include "support/FileSystemScope.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CBaseComponent;
using qel::CBinaryComponent;
using qel::CComponent;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;

namespace {

const char kTreeFile[] =
    "0011022001207003box00\n"
    "0017032001107002id070024200\n"
    "0009012001300\n"
    "0016032001407001b09002AB00\n"
    "0009012001300\n";

std::string storeTree(qel_test::TempDir& dir, CComposite& root, const char* name = "t.arc") {
  CFile file(dir.wpath(name));
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_END_OF_DATA;
    root.serialize(ar, code);
    EXPECT_EQ(CArchive::RET_OK, code);
  }
  return dir.readFile(name);
}

CArchive::RetError loadTree(qel_test::TempDir& dir, const std::string& content, CComposite& root) {
  dir.writeFile("l.arc", content);
  CFile file(dir.wpath("l.arc"));
  CArchive ar(file, CArchive::LOAD);
  CArchive::RetError code = CArchive::RET_OK;
  root.serialize(ar, code);
  return code;
}

std::vector<CBaseComponent*> childrenOf(CComposite& composite) {
  std::list<CBaseComponent*> children;
  composite.getChildren(children);
  return std::vector<CBaseComponent*>(children.begin(), children.end());
}

TEST(Serialization, TheStoredTreeOfTheFormatDescription) {
  qel_test::TempDir dir;
  CComposite root;
  auto* box = new CComposite("box");
  box->add(new CComponent("id", "42"));
  root.add(box);
  auto* b = new CBinaryComponent("b");
  const unsigned char ab[] = {'A', 'B'};
  b->setData(ab, 2);
  root.add(b);
  EXPECT_EQ(kTreeFile, storeTree(dir, root));

  CComposite loaded;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir, kTreeFile, loaded));
  const auto children = childrenOf(loaded);
  ASSERT_EQ(2u, children.size());
  EXPECT_EQ("box", children[0]->getName());
  EXPECT_EQ("b", children[1]->getName());
  auto* loadedBox = dynamic_cast<CComposite*>(children[0]);
  ASSERT_NE(nullptr, loadedBox);
  auto* id = dynamic_cast<CComponent*>(loadedBox->find("id"));
  ASSERT_NE(nullptr, id);
  EXPECT_EQ("42", id->getValue());
  auto* loadedB = dynamic_cast<CBinaryComponent*>(children[1]);
  ASSERT_NE(nullptr, loadedB);
  EXPECT_TRUE(loadedB->isEqual(ab, 2));
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
  EXPECT_EQ(qel_test::describeTree(root), qel_test::describeTree(back));

  // Without that record, as such trees were once stored, the inner end
  // record ends the loading of the root early, as it always did.
  CComposite old;
  EXPECT_EQ(CArchive::RET_OK, loadTree(dir, stored.substr(unnamedStart.size()), old));
  const auto children = childrenOf(old);
  ASSERT_EQ(1u, children.size());
  EXPECT_EQ("inner", children[0]->getName());
}

TEST(Serialization, ValuesLoseLineFeedsBinaryEmptyAndDuplicates) {
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
  EXPECT_EQ(4u, back.getChildCount());
  EXPECT_EQ("ab", static_cast<CComponent*>(back.find("v"))->getValue());
  unsigned int size = 7;
  EXPECT_EQ(nullptr, static_cast<CBinaryComponent*>(back.find("e"))->getData(size));
  EXPECT_EQ(0u, size);
  std::vector<std::string> values;
  for (CBaseComponent* child : childrenOf(back)) {
    if (child->getName() == "d") {
      values.push_back(static_cast<CComponent*>(child)->getValue());
    }
  }
  std::sort(values.begin(), values.end());
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), values);
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
  auto* data = new CBinaryComponent("data");
  data->setData(bytes, sizeof(bytes));
  box->add(data);
  box->add(new CBinaryComponent("none"));
  root.add(new CComposite("empty\nbox"));
  const std::string stored = storeTree(dir, root);

  CFile file(dir.wpath("fields.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    auto text = [&](short kind, const std::string& name, const std::string& value, int fields) {
      ar.writeShort(kind, code);
      if (fields >= 2) {
        ar.writeString(name, code);
      }
      if (fields >= 3) {
        ar.writeString(value, code);
      }
      ar.writeEndLine(code);
    };
    text(2, "box", "", 2);
    text(1, "a", longest, 3);
    ar.writeShort(4, code);
    ar.writeString("data", code);
    ar.writeData(bytes, sizeof(bytes), code);
    ar.writeEndLine(code);
    text(1, "l\nf", "x\ny\n", 3);
    text(1, longName, "", 3);
    ar.writeShort(4, code);
    ar.writeString("none", code);
    ar.writeData(nullptr, 0, code);
    ar.writeEndLine(code);
    text(3, "", "", 1);
    text(2, "empty\nbox", "", 2);
    text(3, "", "", 1);
    text(3, "", "", 1);
  }
  EXPECT_EQ(dir.readFile("fields.arc"), stored);
}

TEST(Serialization, FieldsInLooserLayoutsLoadAsTheFieldReadersReadThem) {
  // A kind with a sign or a space, and a length with a space, are what the
  // C library reads; such records load like their plain forms.
  qel_test::TempDir dir;
  CComposite root;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir,
                                       "0017032001107002id070024200\n"
                                       "0017032002+107002ab07001x00\n"
                                       "0017032001107 03cde07001y00\n"
                                       "0018032002 407003bin09001Z00\n"
                                       "0009012001300\n",
                                       root));
  ASSERT_EQ(4u, root.getChildCount());
  EXPECT_EQ("42", static_cast<CComponent*>(root.find("id"))->getValue());
  EXPECT_EQ("x", static_cast<CComponent*>(root.find("ab"))->getValue());
  EXPECT_EQ("y", static_cast<CComponent*>(root.find("cde"))->getValue());
  auto* binary = dynamic_cast<CBinaryComponent*>(root.find("bin"));
  ASSERT_NE(nullptr, binary);
  unsigned int size = 0;
  const unsigned char* bytes = binary->getData(size);
  ASSERT_EQ(1u, size);
  EXPECT_EQ('Z', bytes[0]);
  // A separator that is not 0 stops loading where the field reader says.
  CComposite bad;
  EXPECT_EQ(CArchive::RET_BAD_FORMAT,
            loadTree(dir, "0017032001107002id170024200\n0009012001300\n", bad));
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

TEST(Serialization, NamedRootUnknownKindsAndTruncation) {
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

  // Cut inside the nested composite's second record.
  CComposite cut;
  EXPECT_EQ(CArchive::RET_END_OF_DATA,
            loadTree(dir, std::string(kTreeFile).substr(0, 22 + 10), cut));
  ASSERT_EQ(1u, cut.getChildCount());
  EXPECT_FALSE(static_cast<CComposite*>(cut.find("box"))->hasChildren());
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

// ---- random trees ---------------------------------------------------------

std::string randomBytes(std::mt19937& random, std::size_t maxLength) {
  std::string text(random() % (maxLength + 1), '\0');
  for (char& c : text) {
    c = static_cast<char>(random() % 256);
  }
  return text;
}

std::string withoutLineFeeds(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

void buildRandom(std::mt19937& random, CComposite& parent, int depth) {
  const int count = static_cast<int>(random() % 6);
  for (int i = 0; i < count; ++i) {
    // Names are never empty (an unnamed composite is not a node of its own).
    std::string name = withoutLineFeeds(randomBytes(random, 6));
    if (name.empty() || random() % 4 == 0) {
      name = "dup";
    }
    switch (random() % 3) {
      case 0:
        parent.add(new CComponent(name, randomBytes(random, 40)));
        break;
      case 1: {
        auto* b = new CBinaryComponent(name);
        const std::string bytes = randomBytes(random, 40) + "\n";
        b->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                   static_cast<unsigned>(bytes.size()));
        parent.add(b);
        break;
      }
      default: {
        auto* c = new CComposite(name);
        if (depth < 4) {
          buildRandom(random, *c, depth + 1);
        }
        parent.add(c);
        break;
      }
    }
  }
}

// A canonical text of a subtree: children in list order, except that runs of
// equal names (whose relative order is free) are sorted by their text.
std::string describe(CBaseComponent& node) {
  std::string text = std::to_string(node.getType()) + ":" + node.getName() + "=";
  if (auto* c = dynamic_cast<CComponent*>(&node)) {
    text += withoutLineFeeds(c->getValue());
  } else if (auto* b = dynamic_cast<CBinaryComponent*>(&node)) {
    unsigned int size = 0;
    const unsigned char* data = b->getData(size);
    text += std::string(reinterpret_cast<const char*>(data), size);
  } else if (auto* composite = dynamic_cast<CComposite*>(&node)) {
    std::vector<std::pair<std::string, std::string>> parts;
    for (CBaseComponent* child : childrenOf(*composite)) {
      parts.emplace_back(child->getName(), describe(*child));
    }
    for (std::size_t i = 0; i < parts.size();) {
      std::size_t j = i;
      while (j < parts.size() && parts[j].first == parts[i].first) {
        ++j;
      }
      std::sort(parts.begin() + static_cast<long>(i), parts.begin() + static_cast<long>(j));
      i = j;
    }
    text += "{";
    for (const auto& part : parts) {
      text += std::to_string(part.second.size()) + "#" + part.second;
    }
    text += "}";
  }
  return text;
}

TEST(SerializationProperty, RandomTreesComeBackEqual) {
  std::mt19937 random(20240131);
  qel_test::TempDir dir;
  for (int round = 0; round < 60; ++round) {
    CComposite root;
    buildRandom(random, root, 0);
    const std::string stored = storeTree(dir, root);
    CComposite back;
    ASSERT_EQ(CArchive::RET_OK, loadTree(dir, stored, back)) << "round " << round;
    EXPECT_EQ(describe(root), describe(back)) << "round " << round;
    // Storing the loaded tree again gives the same order of names.
    std::vector<std::string> before;
    std::vector<std::string> after;
    for (CBaseComponent* child : childrenOf(root)) {
      before.push_back(child->getName());
    }
    for (CBaseComponent* child : childrenOf(back)) {
      after.push_back(child->getName());
    }
    EXPECT_EQ(before, after);
  }
}

TEST(SerializationProperty, TruncationAtEveryOffset) {
  std::mt19937 random(99);
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
  std::size_t previousChildren = 0;
  for (std::size_t cut = 0; cut < stored.size(); ++cut) {
    CComposite back;
    const CArchive::RetError code = loadTree(dir, stored.substr(0, cut), back);
    // Cutting off exactly a record's line feed leaves a record without it;
    // every other cut leaves fewer characters than a length announces.
    const CArchive::RetError expected =
        stored[cut] == '\n' ? CArchive::RET_BAD_FORMAT : CArchive::RET_END_OF_DATA;
    ASSERT_EQ(expected, code) << "cut at " << cut;
    EXPECT_GE(back.getChildCount(), previousChildren);
    previousChildren = back.getChildCount();
  }
  EXPECT_EQ(6u, previousChildren);
}

TEST(SerializationProperty, ArbitraryContentLoadsToACode) {
  std::mt19937 random(5);
  qel_test::TempDir dir;
  const std::string alphabet = "0123456789ABCDEF\n -+x";
  for (int round = 0; round < 400; ++round) {
    std::string content;
    const std::size_t length = random() % 300;
    for (std::size_t i = 0; i < length; ++i) {
      content += random() % 4 == 0 ? static_cast<char>(random() % 256)
                                   : alphabet[random() % alphabet.size()];
    }
    if (round % 3 == 0) {
      content = "0009012001300\n" + content;
    }
    CComposite back;
    CArchive::RetError code = CArchive::RET_OK;
    try {
      code = loadTree(dir, content, back);
    } catch (const qel::InvalidDateException&) {
      ADD_FAILURE() << "no date is read while loading components";
    }
    EXPECT_GE(code, CArchive::RET_OK);
    EXPECT_LE(code, CArchive::RET_END_OF_DATA);
  }
}

TEST(SerializationProperty, DeepNestingInAFile) {
  qel_test::TempDir dir;
  std::string content;
  for (int i = 0; i < 200000; ++i) {
    content += "0011022001207003box00\n";
  }
  CComposite back;
  EXPECT_EQ(CArchive::RET_END_OF_DATA, loadTree(dir, content, back));
  EXPECT_EQ(1u, back.getChildCount());
}

// ---- whole-tree files ---------------------------------------------------

TEST(TreeFile, StoresCrashSafelyAndLoadsWithAReport) {
  qel_test::FileSystemScope scope(&qel_test::RecordingFileSystem::create);
  qel_test::RecordingFileSystem::reset();
  qel_test::TempDir dir;
  CFile file(dir.wpath("cfg/settings.arc"));
  CComposite root;
  for (int i = 0; i < 400; ++i) {
    root.add(new CComponent("key" + std::to_string(i), std::string(30, 'x')));
  }
  CTreeFile::store(file, root);
  const std::string good = dir.readFile("cfg/settings.arc");
  ASSERT_GT(good.size(), 3u * 4096u);

  // A disk that fills up half-way through the next store.
  root.add(new CComponent("more", "y"));
  qel_test::RecordingFileSystem::room() = 6000;
  EXPECT_THROW(CTreeFile::store(file, root), qel::IOException);
  qel_test::RecordingFileSystem::room() = -1;
  EXPECT_EQ(good, dir.readFile("cfg/settings.arc"));
  EXPECT_FALSE(CFile(dir.wpath("cfg/settings.arc.tmp")).exists());

  CComposite back;
  const CTreeFile::LoadReport report = CTreeFile::load(file, back);
  EXPECT_TRUE(report.bFound);
  EXPECT_EQ(CArchive::RET_OK, report.eCode);
  EXPECT_EQ(401u, report.nRecord);
  EXPECT_EQ(400u, back.getChildCount());
}

TEST(TreeFile, ReportsWhereLoadingStopped) {
  qel_test::TempDir dir;
  // Record 3 announces one character more than it has.
  dir.writeFile("bad.arc", std::string("0011022001207003box00\n") +
                               "0017032001107002id070024200\n" + "0018032001107002id070024200\n" +
                               "0009012001300\n");
  CComposite back;
  const CTreeFile::LoadReport report = CTreeFile::load(CFile(dir.wpath("bad.arc")), back);
  EXPECT_TRUE(report.bFound);
  EXPECT_EQ(CArchive::RET_BAD_FORMAT, report.eCode);
  EXPECT_EQ(3u, report.nRecord);
  EXPECT_EQ(22u + 28u, report.nOffset);
  EXPECT_EQ(1u, back.getChildCount());

  const CTreeFile::LoadReport missing = CTreeFile::load(CFile(dir.wpath("none.arc")), back);
  EXPECT_FALSE(missing.bFound);
  EXPECT_EQ(CArchive::RET_END_OF_DATA, missing.eCode);
}

TEST(Serialization, LargeListsAddedOutOfOrderStoreInListOrder) {
  qel_test::TempDir dir;
  CComposite root;
  auto* box = new CComposite("box");
  root.add(box);
  std::mt19937 random(31);
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    names.push_back("k" + std::to_string(random() % 1000000));
    box->add(new CComponent(names.back(), std::to_string(i)));
  }
  // A second child of an existing name goes after the first.
  box->add(new CComponent(names[7], "again"));
  box->add(new CComponent("a", "last"));
  const std::string stored = storeTree(dir, root);

  CComposite back;
  ASSERT_EQ(CArchive::RET_OK, loadTree(dir, stored, back));
  auto* loadedBox = dynamic_cast<CComposite*>(back.find("box"));
  ASSERT_NE(nullptr, loadedBox);
  const std::vector<CBaseComponent*> original = childrenOf(*box);
  const std::vector<CBaseComponent*> loaded = childrenOf(*loadedBox);
  ASSERT_EQ(302u, loaded.size());
  ASSERT_EQ(original.size(), loaded.size());
  for (std::size_t i = 0; i < loaded.size(); ++i) {
    EXPECT_EQ(original[i]->getName(), loaded[i]->getName());
    EXPECT_EQ(static_cast<CComponent*>(original[i])->getValue(),
              static_cast<CComponent*>(loaded[i])->getValue());
  }
  // The last added child was stored last; everything before in name order.
  EXPECT_EQ("a", loaded.back()->getName());
  EXPECT_TRUE(std::is_sorted(
      loaded.begin(), loaded.end() - 1,
      [](CBaseComponent* x, CBaseComponent* y) { return x->getName() < y->getName(); }));
  EXPECT_EQ(static_cast<CComponent*>(box->find(names[7]))->getValue(),
            static_cast<CComponent*>(loadedBox->find(names[7]))->getValue());
}

}  // namespace
