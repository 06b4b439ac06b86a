#include <gtest/gtest.h>

#include <filesystem>
#include <list>
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

namespace {

// Loading a tree takes its leaves straight from the records when they have
// the plain layout.  The reference below loads with nothing but the public
// field readers, record by record: whatever the content, both must build the
// same tree and stop at the same record with the same code.

struct Outcome {
  CArchive::RetError eCode;
  std::uint32_t nRecord;
  std::uint64_t nOffset;
  std::string tree;
};

CArchive::RetError referenceLoad(CArchive& ar, CComposite& root) {
  std::vector<CComposite*> open(1, &root);
  for (;;) {
    CArchive::RetError code = CArchive::RET_OK;
    ar.readStartLine(code);
    if (code != CArchive::RET_OK) {
      return code;
    }
    short kind = 0;
    ar.readShort(kind, code);
    if (code != CArchive::RET_OK) {
      return code;
    }
    std::string name;
    switch (kind) {
      case CBaseComponent::TYPE_COMPONENT: {
        std::string value;
        ar.readString(name, code);
        if (code == CArchive::RET_OK) {
          ar.readString(value, code);
        }
        if (code != CArchive::RET_OK) {
          return code;
        }
        open.back()->add(new CComponent(name, value));
        break;
      }
      case CBaseComponent::TYPE_BINARY: {
        ar.readString(name, code);
        if (code != CArchive::RET_OK) {
          return code;
        }
        unsigned char* data = nullptr;
        unsigned int size = 0;
        ar.readData(&data, size, code);
        std::unique_ptr<unsigned char[]> owned(data);
        if (code != CArchive::RET_OK) {
          return code;
        }
        auto* leaf = new CBinaryComponent(name);
        leaf->setData(data, size);
        open.back()->add(leaf);
        break;
      }
      case CBaseComponent::TYPE_COMPOSITE: {
        ar.readString(name, code);
        if (code != CArchive::RET_OK) {
          return code;
        }
        auto* child = new CComposite(name);
        open.back()->add(child);
        open.push_back(child);
        break;
      }
      default:
        open.pop_back();
        if (open.empty()) {
          return code;
        }
        break;
    }
  }
}

Outcome loadWithTreeFile(qel_test::TempDir& dir) {
  CComposite root;
  const CTreeFile::LoadReport report = CTreeFile::load(CFile(dir.wpath("m.arc")), root);
  return Outcome{report.eCode, report.nRecord, report.nOffset, qel_test::describeTree(root)};
}

Outcome loadWithTreeFile(qel_test::TempDir& dir, const std::string& content) {
  dir.writeFile("m.arc", content);
  return loadWithTreeFile(dir);
}

Outcome loadWithFieldReaders(qel_test::TempDir& dir) {
  CComposite root;
  CFile file(dir.wpath("m.arc"));
  CArchive ar(file, CArchive::LOAD);
  const CArchive::RetError code = referenceLoad(ar, root);
  return Outcome{code, ar.getRecordNumber(), ar.getRecordOffset(), qel_test::describeTree(root)};
}

void expectSameOutcome(qel_test::TempDir& dir, const std::string& content,
                       const std::string& what) {
  // A new file each time: rewriting one in place may wait for the disk.
  std::filesystem::remove(dir.path() / "m.arc");
  dir.writeFile("m.arc", content);
  const Outcome fast = loadWithTreeFile(dir);
  const Outcome reference = loadWithFieldReaders(dir);
  EXPECT_EQ(reference.eCode, fast.eCode) << what;
  EXPECT_EQ(reference.nRecord, fast.nRecord) << what;
  EXPECT_EQ(reference.nOffset, fast.nOffset) << what;
  EXPECT_EQ(reference.tree, fast.tree) << what;
}

std::string storeTree(qel_test::TempDir& dir, CComposite& root) {
  CTreeFile::store(CFile(dir.wpath("s.arc")), root);
  return dir.readFile("s.arc");
}

// Text and binary leaves (empty ones too, bytes with line feeds and '0'),
// nested and empty composites, repeated names.
void buildSample(CComposite& root, std::size_t longValue) {
  auto* box = new CComposite("box");
  box->add(new CComponent("id", "42"));
  box->add(new CComponent("empty", ""));
  auto* bytes = new CBinaryComponent("bin");
  const unsigned char raw[] = {'A', '\n', '0', 0, 0xFF, '\n'};
  bytes->setData(raw, sizeof(raw));
  box->add(bytes);
  box->add(new CBinaryComponent("nothing"));
  auto* inner = new CComposite("inner");
  inner->add(new CComponent("id", "7"));
  inner->add(new CComposite("leafless"));
  box->add(inner);
  root.add(box);
  root.add(new CComponent("long", std::string(longValue, 'v')));
  root.add(new CComponent("longer", std::string(longValue, 'w')));
  root.add(new CComponent("z", "last"));
  root.add(new CComponent("z", "again"));
}

TEST(LoadPath, PlainRecordsLoadAsTheFieldReadersReadThem) {
  qel_test::TempDir dir;
  CComposite root;
  buildSample(root, 4000);
  const std::string stored = storeTree(dir, root);
  // The long value makes records cross the blocks in which the file is read.
  ASSERT_GT(stored.size(), 2 * CArchive::BLOCK_SIZE);
  const Outcome fast = loadWithTreeFile(dir, stored);
  EXPECT_EQ(CArchive::RET_OK, fast.eCode);
  EXPECT_EQ(qel_test::describeTree(root), fast.tree);
  expectSameOutcome(dir, stored, "stored tree");
}

TEST(LoadPath, DamagedRecordsGiveTheSameTreeAndReport) {
  qel_test::TempDir dir;
  // Repeated names are logged on every load.
  qel_test::LogCapture quiet;
  CComposite root;
  buildSample(root, 20);
  const std::string stored = storeTree(dir, root);
  // Bytes of the length, the field count, a type, a field length, a value,
  // a separator and the line feed of a composite's, a text leaf's and a
  // binary leaf's record replaced by framing characters, by a character the
  // C library skips or reads as a sign, by a line feed and by a byte no
  // field uses; removed, and a '0' put in before them.
  const std::string replacements = std::string("07F \n+") + '\xFF';
  std::size_t variant = 0;
  std::size_t next = 0;
  for (int n = 0; n < 5; ++n) {
    const std::size_t record = next;
    next += 4 + std::stoul(stored.substr(record, 4), nullptr, 16) + 1;
    const std::size_t lineFeed = next - record - 1;
    for (const std::size_t at :
         std::vector<std::size_t>{0, 3, 4, 5, 6, 7, 9, 10, 12, 15, lineFeed}) {
      std::string mutated = stored;
      const char c = replacements[variant++ % replacements.size()];
      mutated[record + at] = mutated[record + at] == c ? '1' : c;
      const std::string where = "byte " + std::to_string(record + at);
      expectSameOutcome(dir, mutated, where + " -> " + std::to_string(c));
      expectSameOutcome(dir, stored.substr(0, record + at) + stored.substr(record + at + 1),
                        where + " removed");
      expectSameOutcome(dir, stored.substr(0, record + at) + "0" + stored.substr(record + at),
                        "'0' put in at " + where);
    }
  }
}

// A record of the given field count, fields and closing separator.
std::string record(const std::string& body) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 12; shift >= 0; shift -= 4) {
    text += kHex[(body.size() >> shift) & 0xF];
  }
  return text + body + "\n";
}

TEST(LoadPath, LooseLayoutsOfEachFieldFallBackToTheFieldReaders) {
  qel_test::TempDir dir;
  const std::string end = record("012001300");
  // Each leaf record once plain, then with the name, then the value in a
  // layout only the field readers take: a value length with a space or a
  // sign, a value that runs past its record, a wrong type.
  const std::vector<std::string> records = {
      record("032001107002id070024200"),   record("032001107 02id070024200"),
      record("032001107002id07 024200"),   record("032001107002id07+024200"),
      record("032001107002id070094200"),   record("032001107002id090024200"),
      record("032001407003bin09002Z\n00"), record("032001407 03bin09002Z\n00"),
      record("032001407003bin09 02Z\n00"), record("032001407003bin07002Z\n00"),
      record("032001407003bin09003Z\n00"), record("032001407003bin0900000"),
      record("022001207003box00"),         record("022001207 03box00"),
      record("032001107002id170024200"),
  };
  // The looser layouts are what the C library reads; they load.
  for (std::size_t i : {0, 1, 2, 3, 6, 7, 8, 11}) {
    const Outcome loaded = loadWithTreeFile(dir, records[i] + end);
    EXPECT_EQ(CArchive::RET_OK, loaded.eCode) << records[i];
    EXPECT_EQ(2u, loaded.nRecord) << records[i];
  }
  EXPECT_EQ(CArchive::RET_END_OF_LINE, loadWithTreeFile(dir, records[4] + end).eCode);
  EXPECT_EQ(CArchive::RET_WRONG_TYPE, loadWithTreeFile(dir, records[5] + end).eCode);
  // A separator that is not 0 stops loading where the field reader says.
  EXPECT_EQ(CArchive::RET_BAD_FORMAT, loadWithTreeFile(dir, records[14] + end).eCode);
  for (const std::string& text : records) {
    expectSameOutcome(dir, text + end, text);
    // Preceded by a record that fills the first block almost to its end.
    const std::string filler = record("032001107002ab07002cd00");
    std::string content;
    while (content.size() + filler.size() < CArchive::BLOCK_SIZE - 10) {
      content += filler;
    }
    expectSameOutcome(dir, content + text + end, "after a block: " + text);
  }
}

}  // namespace
