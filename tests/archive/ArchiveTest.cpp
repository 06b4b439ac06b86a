// Fields, records and trees through an archive: exact bytes, read codes, limits,
// blocks; tree loading must match a reference loader using only the field readers.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "support/FaultyFileSystem.h"
#include "support/OpenFlags.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

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

// A LOAD archive over a file holding content.
struct Reader {
  explicit Reader(const std::string& content) : file(dir.wpath("r.arc")) {
    dir.writeFile("r.arc", content);
    ar = std::make_unique<qel_test::OpenArchive>(file, CArchive::LOAD);
  }
  qel_test::OpenArchive& operator*() { return *ar; }
  qel_test::OpenArchive* operator->() { return ar.get(); }
  qel_test::TempDir dir;
  CFile file;
  std::unique_ptr<qel_test::OpenArchive> ar;
};

// The bytes that body writes through a STORE archive.
std::string storeWith(const std::function<void(CArchive&, Code&)>& body) {
  qel_test::TempDir dir;
  CFile file(dir.wpath("a.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    Code code = CArchive::RET_END_OF_DATA;
    body(ar, code);
    EXPECT_EQ(CArchive::RET_OK, code);
  }
  return dir.readFile("a.arc");
}

Code startLine(CArchive& ar) {
  Code code = CArchive::RET_OK;
  ar.readStartLine(code);
  return code;
}

const char kTreeFile[] =
    "0011022001207003box00\n"
    "0017032001107002id070024200\n"
    "0009012001300\n"
    "0016032001407001b09002AB00\n"
    "0009012001300\n";

// The bytes a tree stores as.
std::string storeOf(qel::CComposite& root) {
  return storeWith([&](CArchive& ar, Code& code) { root.serialize(ar, code); });
}

Code loadTree(const std::string& content, qel::CComposite& root) {
  Reader ar(content);
  Code code = CArchive::RET_OK;
  root.serialize(*ar, code);
  return code;
}

template <typename T>
using Same = typename std::enable_if<true, T>::type;

// One field read into a variable that held value; the code must be expected.
template <typename T>
T readField(CArchive& ar, void (CArchive::*read)(T&, Code&), Same<T> value = T(),
            Code expected = CArchive::RET_OK) {
  Code code = CArchive::RET_OK;
  (ar.*read)(value, code);
  EXPECT_EQ(expected, code);
  return value;
}

std::string readBytes(CArchive& ar) {
  Code code = CArchive::RET_OK;
  unsigned char* data = nullptr;
  unsigned int size = 0;
  ar.readData(&data, size, code);
  std::unique_ptr<unsigned char[]> owned(data);
  EXPECT_EQ(CArchive::RET_OK, code);
  return std::string(reinterpret_cast<char*>(data), size);
}

TEST(Archive, EveryFieldTypeIsWrittenAndReadAsTheseBytes) {
  const std::string bytes =
      "00820A1001102002-5030056553504006-70000050061234560600A400000000007005Hello080142024013"
      "1T123456.789Z09002AB0A0141844674407370955161500\n";
  qel::CDateTime date(2024, 1, 31, 12, 34, 56, 789);
  date.forceGMT(true);
  EXPECT_EQ(bytes, storeWith([&](CArchive& ar, Code& code) {
              unsigned char data[] = {'A', 'B'};
              ar.writeBoolean(true, code);
              ar.writeShort(-5, code);
              ar.writeUShort(65535, code);
              ar.writeInteger(-70000, code);
              ar.writeLong(123456, code);
              ar.writeULong(4000000000U, code);
              ar.writeString("Hello", code);
              ar.writeDate(date, code);
              ar.writeData(data, 2, code);
              ar.writeULongLong(18446744073709551615ULL, code);
              ar.writeEndLine(code);
            }));
  // Then number texts as strtol takes them, an unset date, empty data, no date.
  Reader r(bytes +
           "004606600A4294967295020057000001001001001104004 -1205010999999999999999900\n"
           "001C04800009002AB0900008003bad00\n");
  CArchive& ar = *r;
  ASSERT_EQ(CArchive::RET_OK, startLine(ar));
  EXPECT_TRUE(readField(ar, &CArchive::readBoolean));
  EXPECT_EQ(-5, readField(ar, &CArchive::readShort));
  EXPECT_EQ(65535, readField(ar, &CArchive::readUShort));
  EXPECT_EQ(-70000, readField(ar, &CArchive::readInteger));
  EXPECT_EQ(123456, readField(ar, &CArchive::readLong));
  EXPECT_EQ(4000000000U, readField(ar, &CArchive::readULong));
  EXPECT_EQ("Hello", readField(ar, &CArchive::readString));
  const qel::CDateTime back = readField(ar, &CArchive::readDate);
  EXPECT_TRUE(back.getJD() == date.getJD() && back.getms() == date.getms() && back.isGMTTime());
  EXPECT_EQ("AB", readBytes(ar));
  EXPECT_EQ(18446744073709551615ULL, readField(ar, &CArchive::readULongLong));

  ASSERT_EQ(CArchive::RET_OK, startLine(ar));
  EXPECT_EQ(4294967295U, readField(ar, &CArchive::readULong));
  EXPECT_EQ(4464, readField(ar, &CArchive::readShort));
  EXPECT_FALSE(readField(ar, &CArchive::readBoolean, true));
  EXPECT_TRUE(readField(ar, &CArchive::readBoolean));
  EXPECT_EQ(-12, readField(ar, &CArchive::readInteger));
  EXPECT_EQ(2147483647, readField(ar, &CArchive::readLong));

  ASSERT_EQ(CArchive::RET_OK, startLine(ar));
  qel::CDateTime unset(2020, 2, 2);
  unset.encodeDateUsingDashes(true);
  unset = readField(ar, &CArchive::readDate, unset);
  EXPECT_TRUE(!unset.isValid() && unset.getms() == 0 && unset.isEncodeDateUsingDashes());
  EXPECT_EQ("AB", readBytes(ar));
  Code code = CArchive::RET_OK;
  unsigned int size = 99;
  unsigned char marker = 0;
  unsigned char* untouched = &marker;
  ar.readData(&untouched, size, code);
  EXPECT_TRUE(code == CArchive::RET_OK && size == 0 && untouched == &marker);
  EXPECT_THROW(ar.readDate(unset, code), qel::InvalidDateException);
}

TEST(Archive, RecordBytes) {
  const std::string edgeBody = std::string("07") + "1001" + "0" + "0" + "7003abc0" + "70000" +
                               "90000" + "9002" + std::string("\0A", 2) + "0" + "80000" + "701A" +
                               std::string(26, 'x') + "0" + "0";
  ASSERT_EQ(0x46u, edgeBody.size());
  const std::pair<std::function<void(CArchive&, Code&)>, std::string> cases[] = {
      // Line feeds left out, empty values, unset date, hex length, empty record.
      {[](CArchive& ar, Code& code) {
         unsigned char bytes[] = {0x00, 0x41};
         ar.writeBoolean(false, code);
         ar.writeString("a\nb\n\nc", code);
         ar.writeString("", code);
         ar.writeData(nullptr, 0, code);
         ar.writeData(bytes, 2, code);
         ar.writeDate(qel::CDateTime(), code);
         ar.writeString(std::string(26, 'x'), code);
         ar.writeEndLine(code);
         ar.writeEndLine(code);
       },
       "0046" + edgeBody + "\n" + "0003000\n"},
      // The building blocks fill with zeros and never cut.
      {[](CArchive& ar, Code& code) {
         ar.writeType(CArchive::FIELD_STRING, code);
         ar.writeFieldLen(5, code);
         ar.write("ab", 5, code);
         ar.writeSeparator(code);
         ar.write("toolong", 3, code);
         ar.writeEndLine(code);
       },
       "0014017005000ab0toolong0\n"},
      // An unclosed record and an empty archive leave nothing.
      {[](CArchive& ar, Code& code) {
         ar.writeEndLine(code);
         ar.writeString("dropped", code);
       },
       "0003000\n"},
      {[](CArchive&, Code& code) { code = CArchive::RET_OK; }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second.substr(0, 30));
    EXPECT_EQ(c.second, storeWith(c.first));
  }
}

TEST(Archive, RecordFramesGiveTheirCodes) {
  // strtol takes the length (space, 0x); bad frames are malformed, cut ones end.
  const std::pair<const char*, Code> cases[] = {
      {" 0070000000\n0x03000\n", CArchive::RET_OK},
      {"0018032001107002id070024200\n", CArchive::RET_BAD_FORMAT},
      {"0017032001107002id070024200", CArchive::RET_BAD_FORMAT},
      {"-001\n0003000\n", CArchive::RET_BAD_FORMAT},
      {"\n0003000\n", CArchive::RET_BAD_FORMAT},
      {"000A012001300\n0003000\n", CArchive::RET_BAD_FORMAT},
      {"", CArchive::RET_END_OF_DATA},
      {"000", CArchive::RET_END_OF_DATA},
      {"0003000\n000", CArchive::RET_END_OF_DATA},
      {"0017032001107002id07002", CArchive::RET_END_OF_DATA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Reader ar(c.first);
    Code code = startLine(*ar);
    if (code == CArchive::RET_OK) {
      code = startLine(*ar);
    }
    EXPECT_EQ(c.second, code);
  }
}

TEST(Archive, FieldsThatCannotBeReadLeaveTheValue) {
  // Each keeps the value; a wrong type consumes its digit; a long value empties.
  const Code bad = CArchive::RET_BAD_FORMAT;
  const std::function<void(CArchive&)> cases[] = {
      [&](CArchive& ar) { EXPECT_TRUE(readField(ar, &CArchive::readBoolean, true, bad)); },
      [&](CArchive& ar) {
        EXPECT_EQ(7, readField(ar, &CArchive::readInteger, 7, CArchive::RET_WRONG_TYPE));
        EXPECT_EQ("kept", readField(ar, &CArchive::readString, "kept", CArchive::RET_WRONG_TYPE));
      },
      [&](CArchive& ar) { EXPECT_TRUE(readField(ar, &CArchive::readBoolean, true, bad)); },
      [&](CArchive& ar) { EXPECT_EQ("kept", readField(ar, &CArchive::readString, "kept", bad)); },
      [&](CArchive& ar) {
        EXPECT_EQ("", readField(ar, &CArchive::readString, "kept", CArchive::RET_END_OF_LINE));
      },
      [&](CArchive& ar) {
        Code code = CArchive::RET_OK;
        EXPECT_EQ("", ar.read(100, code));
        EXPECT_EQ(CArchive::RET_END_OF_LINE, code);
      },
  };
  const char* contents[] = {"0003000\n",     "000A017002id00\n", "0009011001120\n",
                            "0007017-010\n", "000A017009ab00\n", "000A017009ab00\n"};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(contents[i]);
    Reader ar(contents[i]);
    ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
    cases[i](*ar);
  }
}

TEST(Archive, ComponentsAndDatesAsRecords) {
  // Fields written before a component stores itself belong to its record.
  EXPECT_EQ("001D041001102001107002id070024200\n", storeWith([](CArchive& ar, Code& code) {
              ar.writeBoolean(true, code);
              qel::CComponent("id", "42").serialize(ar, code);
            }));
  qel::CDateTime date;
  date.forceGMT(true);
  date.setJD(2460341);
  date.setms(45296789);
  const std::string dateRecord = "00220310011060072460341060084529678900\n";
  EXPECT_EQ(dateRecord, storeWith([&](CArchive& ar, Code& code) {
              ar << date;
              code = CArchive::RET_OK;
            }));
  // Loading a binary leaf replaces the bytes it held.
  Reader ar(dateRecord + "0016032001407001b09002AB00\n");
  ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
  qel::CDateTime back;
  back.encodeDateUsingDashes(true);
  *ar >> back;
  EXPECT_TRUE(back.isGMTTime() && back.isEncodeDateUsingDashes());
  EXPECT_TRUE(back.getJD() == 2460341u && back.getms() == 45296789u);
  *ar >> back;  // nothing left: false and zeros
  EXPECT_TRUE(!back.isGMTTime() && back.getJD() == 0u);
  ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
  EXPECT_EQ(CBaseComponent::TYPE_BINARY, readField(*ar, &CArchive::readShort));
  qel::CBinaryComponent b("old");
  const unsigned char old[] = {9, 9, 9, 9};
  b.setData(old, 4);
  Code code = CArchive::RET_OK;
  b.serialize(*ar, code);
  ASSERT_EQ(CArchive::RET_OK, code);
  EXPECT_EQ("4<b>2#AB", qel_test::describeTree(b));
}

TEST(Archive, RecordsAcrossBlocksAndManyRecordsKeepMemoryBounded) {
  qel_test::FaultScope faults;
  const std::string a(4000, 'a');
  const std::string b(3000, 'b');
  for (const bool large : {true, false}) {
    SCOPED_TRACE(large ? "large records" : "many records");
    const int count = large ? 10 : 20000;
    const std::string content = storeWith([&](CArchive& ar, Code& code) {
      for (int i = 0; i < count; ++i) {
        if (large) {
          for (const std::string* value : {&a, &b, &a}) {
            ar.writeString(*value, code);
          }
        } else {
          ar.writeInteger(i, code);
        }
        ar.writeEndLine(code);
      }
    });
    qel_test::FaultyFileSystem::reset();
    Reader ar(content);
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
      if (large) {
        for (const std::string* value : {&a, &b, &a}) {
          ASSERT_EQ(*value, readField(*ar, &CArchive::readString));
        }
      } else {
        ASSERT_EQ(i, readField(*ar, &CArchive::readInteger));
      }
      // Memory holds about one record and a block, not all that was read.
      ASSERT_LT(ar->getInputCapacity(), large ? 2u * (11020u + 2u * 4096u) : 3u * 4096u + 1);
    }
    EXPECT_EQ(CArchive::RET_END_OF_DATA, startLine(*ar));
    // The file is read a block at a time.
    EXPECT_GE(qel_test::FaultyFileSystem::calls(qel_test::FileCall::kRead), content.size() / 4096);
  }
}

TEST(Archive, RawReaderCopiesOnlyWhatTheFileDelivers) {
  std::string content;
  for (int i = 0; i < 5000; ++i) {
    content += static_cast<char>('A' + i % 26);
  }
  Reader ar(content);
  std::vector<unsigned char> bytes(6000, 0xEE);
  qel_test::LogCapture log;
  EXPECT_EQ(4000u, ar->readValue(bytes.data(), 4000));
  EXPECT_EQ(1000u, ar->readValue(bytes.data() + 4000, 2000));
  EXPECT_EQ(0, std::memcmp(content.data(), bytes.data(), 5000));
  EXPECT_EQ(0xEE, bytes[5000]);
  EXPECT_EQ(0u, ar->readValue(bytes.data(), 1));
  ASSERT_FALSE(log.messages().empty());
  EXPECT_EQ(L"1:CArchive::readValue ERROR _nRead <= zero!!!", log.messages()[0]);
}

TEST(Archive, BlocksReachTheFileWhenFullAndAtTheCloseWhichThrowsOrLogsAFailedLastOne) {
  qel_test::FaultScope faults;
  qel_test::TempDir dir;
  CFile file(dir.wpath("blocks.arc"));
  std::string expected;
  {
    CArchive ar(file, CArchive::STORE);
    // Written as it comes, not synchronously.
    const int flags = qel_test::openFlagsOf(dir.path() / "blocks.arc");
    EXPECT_EQ(O_WRONLY, flags & (O_ACCMODE | O_DSYNC));
    Code code = CArchive::RET_OK;
    for (int i = 0; i < 10; ++i) {
      // 6 + 7003 + 987 value bytes + 0 + 0 + line feed = 1000 bytes
      const std::string value(987, static_cast<char>('a' + i));
      ar.writeString(value, code);
      ar.writeEndLine(code);
      expected += "03E30173DB" + value + "00\n";
    }
    EXPECT_EQ(2u, qel_test::FaultyFileSystem::calls(qel_test::FileCall::kWrite));
    ar.close();
    EXPECT_EQ(-1, qel_test::openFlagsOf(dir.path() / "blocks.arc"));
    EXPECT_EQ(3u, qel_test::FaultyFileSystem::calls(qel_test::FileCall::kWrite));
  }
  EXPECT_EQ(expected, dir.readFile("blocks.arc"));
  CArchive reader(file, CArchive::LOAD);
  EXPECT_EQ(O_RDONLY, qel_test::openFlagsOf(dir.path() / "blocks.arc") & O_ACCMODE);
  // A last block that fails: the close throws it, the destructor logs it.
  qel_test::LogCapture log;
  for (const bool closed : {true, false}) {
    SCOPED_TRACE(closed ? "close" : "destructor");
    CFile full(dir.wpath("full.arc"));
    CArchive ar(full, CArchive::STORE);
    Code code = CArchive::RET_OK;
    ar.writeString("value", code);
    ar.writeEndLine(code);
    qel_test::FaultyFileSystem::setRoom(closed ? 3 : 0);
    if (closed) {
      EXPECT_THROW(ar.close(), qel::IOException);
      EXPECT_TRUE(ar.isClosed());
      EXPECT_NO_THROW(ar.close());
      EXPECT_EQ(L"The archive is closed",
                qel_test::messageOf<qel::IOException>([&] { ar.writeEndLine(code); }));
    }
  }
  ASSERT_EQ(1u, log.messages().size());
  EXPECT_EQ(0u, log.messages()[0].find(L"1:CArchive::~CArchive ERROR - last block lost: "))
      << qel::CWin32Helper::toUTF8(log.messages()[0]);
}

TEST(Archive, OversizedValuesAreRefusedAndTheirRecordDropped) {
  std::string empty;
  const std::string bytes = storeWith([&](CArchive& ar, Code& code) {
    ar.writeString(std::string(4095, 'v'), code);  // the largest value fits
    ar.writeEndLine(code);
    std::vector<unsigned char> big(5000, 1);
    const std::pair<std::function<void()>, std::wstring> refused[] = {
        {[&] { ar.writeString(std::string(4096, 'v'), code); },
         L"The value of 4096 bytes exceeds the limit of 4095 bytes of a field"},
        {[&] { ar.writeData(big.data(), 5000, code); },
         L"The value of 5000 bytes exceeds the limit of 4095 bytes of a field"},
        {[&] { ar.writeFieldLen(0x1000, code); },
         L"The value length 4096 exceeds the limit of 4095 bytes of a field"},
        {[&] { ar.writeType(static_cast<CArchive::FieldType>(16), code); },
         L"The field type 16 does not fit one hexadecimal digit"},
        {[&] { ar.writeData(nullptr, 3, code); }, L"No bytes given for a data field of 3 bytes"},
        {[&] {
           ar.setStrict(true);
           ar.writeString("a\nb", code);
         },
         L"A line feed cannot be stored in a text field"},
        {[&] {
           for (int i = 0; i < 256; ++i) {
             ar.writeBoolean(true, code);
           }
         },
         L"A record cannot hold more than 255 fields"},
        {[&] {
           for (int i = 0; i < 17; ++i) {
             ar.writeString(std::string(4000, 'r'), code);
           }
           ar.writeEndLine(code);
         },
         L"The record of 68100 characters exceeds the limit of 65535 characters"},
    };
    for (const auto& r : refused) {
      ar.writeString("dropped", code);
      EXPECT_EQ(r.second, qel_test::messageOf<qel::IOException>(r.first));
      ar.writeEndLine(code);  // empty: the refusal dropped the record
      empty += "0003000\n";
    }
  });
  EXPECT_EQ("1007017FFF" + std::string(4095, 'v') + "00\n" + empty, bytes);
}

TEST(Archive, ModesParentsMissingFilesAndDirectoriesAndLoadingWithoutAFile) {
  qel_test::TempDir dir;
  CFile directory(dir.wstr());
  EXPECT_EQ(dir.wstr() + L" is a directory", qel_test::messageOf<qel::IOException>(
                                                 [&] { CArchive ar(directory, CArchive::STORE); }));
  EXPECT_THROW(CArchive(directory, CArchive::LOAD), qel::IOException);
  CFile nested(dir.wpath("sub/a.arc"));
  {
    CArchive ar(nested, CArchive::STORE);
    EXPECT_TRUE(ar.isStoring() && !ar.isLoading() && !ar.isLoaded());
  }
  EXPECT_TRUE(nested.isFile());
  // Loading without a file gives the end of the data and touches nothing.
  CFile missing(dir.wpath("other/missing.arc"));
  qel_test::OpenArchive load(missing, CArchive::LOAD);
  EXPECT_TRUE(load.isLoading() && !load.isLoaded());
  EXPECT_TRUE(CFile(dir.wpath("other")).isDirectory());
  EXPECT_EQ(CArchive::RET_END_OF_DATA, startLine(load));
  EXPECT_EQ(5, readField(load, &CArchive::readInteger, 5, CArchive::RET_END_OF_DATA));
  EXPECT_EQ("kept", readField(load, &CArchive::readString, "kept", CArchive::RET_END_OF_DATA));
  Code code = CArchive::RET_OK;
  unsigned char* data = nullptr;
  unsigned int size = 3;
  load.readData(&data, size, code);
  EXPECT_TRUE(size == 3 && data == nullptr && code == CArchive::RET_END_OF_DATA);
  unsigned char raw[4] = {1, 2, 3, 4};
  EXPECT_TRUE(load.readValue(raw, 4) == 0 && raw[0] == 1);
  CFile deep(dir.wpath("x/y/missing.arc"));
  EXPECT_THROW(CArchive(deep, CArchive::LOAD), qel::IOException);
  dir.writeFile("full.arc", "0003000\n");
  CFile full(dir.wpath("full.arc"));
  CArchive store(full, CArchive::STORE);
  EXPECT_EQ("", dir.readFile("full.arc"));
}

// Loads with nothing but the public field readers, record by record.
Code referenceLoad(CArchive& ar, CComposite& root) {
  std::vector<CComposite*> open(1, &root);
  for (;;) {
    Code code = startLine(ar);
    short kind = -1;
    if (code == CArchive::RET_OK) {
      ar.readShort(kind, code);
    }
    std::string name;
    std::string value;
    unsigned char* data = nullptr;
    unsigned int size = 0;
    if (code == CArchive::RET_OK &&
        (kind == CBaseComponent::TYPE_COMPONENT || kind == CBaseComponent::TYPE_BINARY ||
         kind == CBaseComponent::TYPE_COMPOSITE)) {
      ar.readString(name, code);
    }
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
      open.back()->add(binaryOf(name, std::string(reinterpret_cast<char*>(data), size)));
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
Code expectSameOutcome(const std::string& content, const std::string& what) {
  SCOPED_TRACE(what);
  Reader ar(content);
  CComposite fast;
  const CTreeFile::LoadReport report = CTreeFile::load(ar.file, fast);
  CComposite reference;
  const Code code = referenceLoad(*ar, reference);
  EXPECT_EQ(code, report.eCode);
  EXPECT_EQ(ar->getRecordNumber(), report.nRecord);
  EXPECT_EQ(ar->getRecordOffset(), report.nOffset);
  EXPECT_EQ(describeTree(reference), describeTree(fast));
  return report.eCode;
}

TEST(Serialization, StoredTreeBytesAndWhatLoadsBack) {
  qel_test::LogCapture quiet;
  // An unnamed composite keeps a start record; line feeds go; a named root nests.
  struct Case {
    CComposite* root;
    std::string bytes;
    Code code;
    std::string loaded;  // "": the tree stored
  };
  const Case cases[] = {
      {compositeOf({compositeOf({new CComponent("id", "42")}, "box"), binaryOf("b", "AB")}),
       kTreeFile, CArchive::RET_OK, ""},
      {new CComposite(), "0009012001300\n", CArchive::RET_OK, ""},
      {compositeOf({compositeOf({new CComponent("inner", "1")}), new CComponent("outer", "2")}),
       "000E02200120700000\n"
       "0019032001107005inner07001100\n0009012001300\n"
       "0019032001107005outer07001200\n0009012001300\n",
       CArchive::RET_OK, ""},
      {compositeOf({new CComponent("v", "a\nb"), new CBinaryComponent("e"),
                    new CComponent("d", "1"), new CComponent("d", "2"), new CComposite("l\nf")}),
       "0015032001107001d07001100\n0015032001107001d07001200\n"
       "0014032001407001e0900000\n0016032001107001v07002ab00\n"
       "0010022001207002lf00\n0009012001300\n0009012001300\n",
       CArchive::RET_OK, "2<>{1<d>1=1,1<d>1=2,4<e>0#,1<v>2=ab,2<lf>{},}"},
      {compositeOf({new CComponent("k", "v")}, "cfg"),
       "0011022001207003cfg00\n0015032001107001k07001v00\n0009012001300\n",
       CArchive::RET_END_OF_DATA, "2<>{2<cfg>{1<k>1=v,},}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    std::unique_ptr<CComposite> root(c.root);
    EXPECT_EQ(c.bytes, storeOf(*root));
    CComposite back;
    EXPECT_EQ(c.code, loadTree(c.bytes, back));
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
    EXPECT_EQ(CArchive::RET_OK, loadTree(l.first, back));
    EXPECT_EQ(l.second, describeTree(back));
  }
  EXPECT_EQ(CArchive::RET_OK, expectSameOutcome(kTreeFile, "stored tree"));
}

TEST(Serialization, TreesOfEveryByteComeBackEqual) {
  // Every byte but the line feed in names and values, largest lengths,
  // duplicates, nesting, a large list with its last child not sorted in.
  qel_test::LogCapture quiet;
  std::string everyByte;
  for (int i = 0; i < 4095; ++i) {
    everyByte += static_cast<char>(i % 3 == 0 ? 0 : i % 256 == 10 ? 11 : i % 256);
  }
  CComposite root;
  root.add(new CComponent(std::string(4095, 'n'), std::string(1, '\0')));
  CComposite* parent = &root;
  for (int depth = 0; depth < 5; ++depth) {
    parent->add(new CComponent(everyByte.substr(depth * 41, 1 + depth), everyByte));
    parent->add(
        binaryOf(everyByte.substr(depth * 97 + 2, 3), everyByte.substr(depth, 4094) + "\n"));
    parent->add(new CComponent("dup", everyByte.substr(depth * 5, depth)));
    parent->add(binaryOf("dup", ""));
    auto* next = new CComposite(depth % 2 == 0 ? "dup" : "box");
    parent->add(next);
    parent = next;
  }
  for (int i = 0; i < 300; ++i) {
    parent->add(new CComponent("k" + std::to_string(i * 7919 % 1000), std::to_string(i)));
  }
  parent->add(new CComponent("k" + std::to_string(7 * 7919 % 1000), "again"));
  parent->add(new CComponent("a", "last"));
  const std::string stored = storeOf(root);
  CComposite back;
  ASSERT_EQ(CArchive::RET_OK, loadTree(stored, back));
  EXPECT_TRUE(describeTree(root) == describeTree(back));
  EXPECT_TRUE(stored == storeOf(back));
}

TEST(Serialization, DeepTreesLoadCopyAndGoWithoutReachingTheCallStack) {
  std::string content;
  for (int i = 0; i < 300000; ++i) {
    content += "0011022001207003box00\n";
  }
  CComposite back;
  EXPECT_EQ(CArchive::RET_END_OF_DATA, loadTree(content, back));
  EXPECT_EQ(1u, back.getChildCount());
  std::unique_ptr<CBaseComponent> copy(back.clone());
  EXPECT_TRUE(static_cast<CComposite*>(copy.get())->hasChildren());
}

// ---- the plain-record path against the field readers --------------------

TEST(LoadPath, DamagedRecordsGiveTheSameTreeAndReport) {
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
  const std::string stored = storeOf(root);
  ASSERT_GT(stored.size(), CArchive::BLOCK_SIZE);
  EXPECT_EQ(CArchive::RET_OK, expectSameOutcome(stored, "stored tree"));
  // A length, a type and a field length replaced, a field's end removed.
  const std::pair<std::size_t, const char*> damages[] = {{3, "F"}, {9, "\n"}, {15, "+"}, {40, ""}};
  for (const auto& d : damages) {
    expectSameOutcome(stored.substr(0, d.first) + d.second + stored.substr(d.first + 1),
                      "byte " + std::to_string(d.first) + " -> " + d.second);
  }
  // Content of any kind loads to a code and reads no date.
  for (const std::string& content : {std::string("\xff\x00zz", 4), std::string("0009018001300\n"),
                                     std::string("000B03200110800000\n"), stored.substr(0, 4096)}) {
    expectSameOutcome(content, content.substr(0, 20));
  }
  // A cut line feed is malformed, any other cut ends the data after what it kept.
  const std::size_t lastFeed = stored.rfind('\n', stored.size() - 2);
  for (const std::size_t cut :
       std::vector<std::size_t>{0, 2, 32, 1500, 4096, lastFeed, stored.size() - 1}) {
    EXPECT_EQ(stored[cut] == '\n' ? CArchive::RET_BAD_FORMAT : CArchive::RET_END_OF_DATA,
              expectSameOutcome(stored.substr(0, cut), "cut at " + std::to_string(cut)));
  }
}

TEST(LoadPath, LooseLayoutsOfEachFieldFallBackToTheFieldReaders) {
  qel_test::LogCapture quiet;
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
    EXPECT_EQ(r.second, expectSameOutcome(r.first + end, r.first));
    EXPECT_EQ(r.second, expectSameOutcome(block + r.first + end, "after a block: " + r.first));
  }
}

}  // namespace
