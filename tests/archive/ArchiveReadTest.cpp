#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/core/Exception.h"
#include "qel/io/File.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CFile;

namespace {

// A LOAD archive over a file holding content.
class Reader {
 public:
  explicit Reader(const std::string& content) : _file(_dir.wpath("r.arc")) {
    _dir.writeFile("r.arc", content);
    _pArchive = std::make_unique<qel_test::OpenArchive>(_file, CArchive::LOAD);
  }
  qel_test::OpenArchive& operator*() { return *_pArchive; }
  qel_test::OpenArchive* operator->() { return _pArchive.get(); }

 private:
  qel_test::TempDir _dir;
  CFile _file;
  std::unique_ptr<qel_test::OpenArchive> _pArchive;
};

// A record of count fields framed with a length that counts
// the field count, the fields and the closing separator.
std::string frame(int count, const std::string& fields) {
  char head[8];
  std::snprintf(head, sizeof(head), "%04X%02X", static_cast<unsigned>(fields.size() + 3),
                static_cast<unsigned>(count));
  return head + fields + "0\n";
}

CArchive::RetError startLine(CArchive& ar) {
  CArchive::RetError code = CArchive::RET_OK;
  ar.readStartLine(code);
  return code;
}

TEST(ArchiveRead, ThreeFieldRecordAndTheNextOne) {
  Reader ar("0017032001107002id070024200\n0003000\n");
  ASSERT_TRUE(ar->isLoaded());
  CArchive::RetError code = CArchive::RET_OK;
  short kind = 0;
  std::string a;
  std::string b;
  ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
  ar->readShort(kind, code);
  ar->readString(a, code);
  ar->readString(b, code);
  EXPECT_EQ(CArchive::RET_OK, code);
  EXPECT_EQ(1, kind);
  EXPECT_EQ("id", a);
  EXPECT_EQ("42", b);
  EXPECT_EQ(1u, ar->getRecordNumber());
  EXPECT_EQ(0u, ar->getRecordOffset());
  // The closing separator is left unread; the next record starts cleanly.
  ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
  EXPECT_EQ(2u, ar->getRecordNumber());
  EXPECT_EQ(28u, ar->getRecordOffset());
  ar->readString(a, code);
  EXPECT_EQ(CArchive::RET_BAD_FORMAT, code);
  EXPECT_EQ(CArchive::RET_END_OF_DATA, startLine(*ar));
}

TEST(ArchiveRead, OneFieldOfEveryType) {
  Reader ar(
      "00820A1001102002-5030056553504006-70000050061234560600A400000000007005Hello080142024013"
      "1T123456.789Z09002AB0A0141844674407370955161500\n");
  ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
  CArchive::RetError code = CArchive::RET_OK;
  bool flag = false;
  short s = 0;
  unsigned short us = 0;
  int i = 0;
  std::int32_t l = 0;
  std::uint32_t ul = 0;
  std::string text;
  qel::CDateTime date;
  unsigned char* data = nullptr;
  unsigned int size = 0;
  unsigned long long ull = 0;
  ar->readBoolean(flag, code);
  ar->readShort(s, code);
  ar->readUShort(us, code);
  ar->readInteger(i, code);
  ar->readLong(l, code);
  ar->readULong(ul, code);
  ar->readString(text, code);
  ar->readDate(date, code);
  ar->readData(&data, size, code);
  ar->readULongLong(ull, code);
  ASSERT_EQ(CArchive::RET_OK, code);
  std::unique_ptr<unsigned char[]> owned(data);
  EXPECT_TRUE(flag);
  EXPECT_EQ(-5, s);
  EXPECT_EQ(65535, us);
  EXPECT_EQ(-70000, i);
  EXPECT_EQ(123456, l);
  EXPECT_EQ(4000000000U, ul);
  EXPECT_EQ("Hello", text);
  qel::CDateTime expected(2024, 1, 31, 12, 34, 56, 789);
  EXPECT_EQ(expected.getJD(), date.getJD());
  EXPECT_EQ(expected.getms(), date.getms());
  EXPECT_TRUE(date.isGMTTime());
  ASSERT_EQ(2u, size);
  EXPECT_EQ("AB", std::string(reinterpret_cast<char*>(data), 2));
  EXPECT_EQ(18446744073709551615ULL, ull);
}

TEST(ArchiveRead, NumberTexts) {
  // ULong 4294967295, short 70000, booleans 0 and 1, integer with spaces and
  // a sign, a long beyond 32 bits (saturates).
  Reader ar(frame(6, std::string("600A42949672950") + "2005700000" + "100100" + "100110" +
                         "4004 -120" + "50109999999999999999" + "0"));
  ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
  CArchive::RetError code = CArchive::RET_OK;
  std::uint32_t ul = 0;
  short s = 0;
  bool f = true;
  bool t = false;
  int i = 0;
  std::int32_t l = 0;
  ar->readULong(ul, code);
  ar->readShort(s, code);
  ar->readBoolean(f, code);
  ar->readBoolean(t, code);
  ar->readInteger(i, code);
  ar->readLong(l, code);
  EXPECT_EQ(CArchive::RET_OK, code);
  EXPECT_EQ(4294967295U, ul);
  EXPECT_EQ(4464, s);
  EXPECT_FALSE(f);
  EXPECT_TRUE(t);
  EXPECT_EQ(-12, i);
  EXPECT_EQ(2147483647, l);
}

TEST(ArchiveRead, RecordFramesGiveTheirCodes) {
  // Leading white space and a 0x prefix in a length are taken as strtol
  // takes them.  A length one more than the record, a record without its
  // line feed, a negative length, a line feed where the length should be,
  // a record shorter than its length with more data behind it are
  // malformed; a file that ends inside a length or a record ends the data.
  const std::pair<const char*, CArchive::RetError> cases[] = {
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
    ASSERT_TRUE(ar->isLoaded());
    CArchive::RetError code = startLine(*ar);
    if (code == CArchive::RET_OK) {
      code = startLine(*ar);
    }
    EXPECT_EQ(c.second, code);
  }
}

TEST(ArchiveRead, FieldsThatCannotBeReadLeaveTheValue) {
  // A record without fields, a wrong type (its digit is consumed, so the
  // next read takes "0" as the type), a separator that is not 0, a negative
  // value length, a value longer than the record.
  struct Case {
    const char* content;
    CArchive::RetError code;
    std::function<void(CArchive&, CArchive::RetError&)> read;
  };
  const Case cases[] = {
      {"0003000\n", CArchive::RET_BAD_FORMAT,
       [](CArchive& ar, CArchive::RetError& code) {
         bool flag = true;
         ar.readBoolean(flag, code);
         EXPECT_TRUE(flag);
       }},
      {"000A017002id00\n", CArchive::RET_WRONG_TYPE,
       [](CArchive& ar, CArchive::RetError& code) {
         int i = 7;
         ar.readInteger(i, code);
         EXPECT_EQ(CArchive::RET_WRONG_TYPE, code);
         EXPECT_EQ(7, i);
         std::string s = "x";
         ar.readString(s, code);
         EXPECT_EQ("x", s);
       }},
      {"0009011001120\n", CArchive::RET_BAD_FORMAT,
       [](CArchive& ar, CArchive::RetError& code) {
         bool flag = false;
         ar.readBoolean(flag, code);
       }},
      {"0007017-010\n", CArchive::RET_BAD_FORMAT,
       [](CArchive& ar, CArchive::RetError& code) {
         std::string s = "kept";
         ar.readString(s, code);
         EXPECT_EQ("kept", s);
       }},
      {"000A017009ab00\n", CArchive::RET_END_OF_LINE,
       [](CArchive& ar, CArchive::RetError& code) {
         std::string s = "before";
         ar.readString(s, code);
         EXPECT_EQ("", s);
         EXPECT_EQ(CArchive::RET_END_OF_LINE, code);
         EXPECT_EQ("", ar.read(100, code));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    Reader ar(c.content);
    ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
    CArchive::RetError code = CArchive::RET_OK;
    c.read(*ar, code);
    EXPECT_EQ(c.code, code);
  }
}

TEST(ArchiveRead, DatesAndData) {
  Reader ar(frame(4, std::string("80000") + "9002AB0" + "90000" + "8003bad0"));
  ASSERT_EQ(CArchive::RET_OK, startLine(*ar));
  CArchive::RetError code = CArchive::RET_OK;
  qel::CDateTime date(2020, 2, 2);
  date.encodeDateUsingDashes(true);
  ar->readDate(date, code);
  EXPECT_EQ(CArchive::RET_OK, code);
  EXPECT_FALSE(date.isValid());
  EXPECT_EQ(0u, date.getms());
  EXPECT_TRUE(date.isEncodeDateUsingDashes());

  unsigned char* data = nullptr;
  unsigned int size = 99;
  ar->readData(&data, size, code);
  std::unique_ptr<unsigned char[]> owned(data);
  ASSERT_EQ(CArchive::RET_OK, code);
  ASSERT_EQ(2u, size);
  EXPECT_EQ("AB", std::string(reinterpret_cast<char*>(data), 2));

  unsigned char marker = 0;
  unsigned char* untouched = &marker;
  ar->readData(&untouched, size, code);
  EXPECT_EQ(CArchive::RET_OK, code);
  EXPECT_EQ(0u, size);
  EXPECT_EQ(&marker, untouched);

  EXPECT_THROW(ar->readDate(date, code), qel::InvalidDateException);
}

TEST(ArchiveRead, DataWithLineFeedsRoundTrips) {
  qel_test::TempDir dir;
  CFile file(dir.wpath("lf.arc"));
  unsigned char bytes[] = {'\n', 'a', '\n', '\n', 0, '0', '\n'};
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    ar.writeData(bytes, sizeof(bytes), code);
    ar.writeEndLine(code);
    ar.writeString("after", code);
    ar.writeEndLine(code);
  }
  CArchive ar(file, CArchive::LOAD);
  CArchive::RetError code = CArchive::RET_OK;
  ASSERT_EQ(CArchive::RET_OK, startLine(ar));
  unsigned char* data = nullptr;
  unsigned int size = 0;
  ar.readData(&data, size, code);
  std::unique_ptr<unsigned char[]> owned(data);
  ASSERT_EQ(CArchive::RET_OK, code);
  ASSERT_EQ(sizeof(bytes), size);
  EXPECT_EQ(0, std::memcmp(bytes, data, size));
  ASSERT_EQ(CArchive::RET_OK, startLine(ar));
  std::string after;
  ar.readString(after, code);
  EXPECT_EQ("after", after);
}

TEST(ArchiveRead, RecordsAcrossBlocksAndManyRecordsKeepMemoryBounded) {
  qel_test::FaultScope faults;
  qel_test::TempDir dir;
  const std::string a(4000, 'a');
  const std::string b(3000, 'b');
  for (const bool large : {true, false}) {
    SCOPED_TRACE(large ? "large records" : "many records");
    CFile file(dir.wpath(large ? "large.arc" : "many.arc"));
    const int count = large ? 10 : 20000;
    {
      CArchive ar(file, CArchive::STORE);
      CArchive::RetError code = CArchive::RET_OK;
      for (int i = 0; i < count; ++i) {
        if (large) {
          ar.writeString(a, code);
          ar.writeString(b, code);
          ar.writeString(a, code);
        } else {
          ar.writeInteger(i, code);
        }
        ar.writeEndLine(code);
      }
    }
    qel_test::FaultyFileSystem::reset();
    qel_test::OpenArchive ar(file, CArchive::LOAD);
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(CArchive::RET_OK, startLine(ar));
      CArchive::RetError code = CArchive::RET_OK;
      if (large) {
        std::string x;
        std::string y;
        std::string z;
        ar.readString(x, code);
        ar.readString(y, code);
        ar.readString(z, code);
        EXPECT_TRUE(x == a && y == b && z == a);
      } else {
        int value = -1;
        ar.readInteger(value, code);
        ASSERT_EQ(i, value);
      }
      ASSERT_EQ(CArchive::RET_OK, code);
      // Memory holds about one record and a block (with the usual doubling
      // slack), not all that was read so far.
      ASSERT_LT(ar.getInputCapacity(), large ? 2u * (11020u + 2u * 4096u) : 3u * 4096u + 1);
    }
    EXPECT_EQ(CArchive::RET_END_OF_DATA, startLine(ar));
    // The file is read a block at a time.
    const std::size_t size = dir.readFile(large ? "large.arc" : "many.arc").size();
    EXPECT_GE(qel_test::FaultyFileSystem::calls(qel_test::FileCall::kRead), size / 4096);
  }
}

TEST(ArchiveRead, ArchiveWithoutFileReportsEndOfDataAndTouchesNothing) {
  qel_test::TempDir dir;
  CFile file(dir.wpath("missing.arc"));
  qel_test::OpenArchive ar(file, CArchive::LOAD);
  ASSERT_FALSE(ar.isLoaded());
  CArchive::RetError code = CArchive::RET_OK;
  EXPECT_EQ(CArchive::RET_END_OF_DATA, startLine(ar));
  int i = 5;
  ar.readInteger(i, code);
  EXPECT_EQ(CArchive::RET_END_OF_DATA, code);
  EXPECT_EQ(5, i);
  std::string s = "kept";
  ar.readString(s, code);
  EXPECT_EQ("kept", s);
  unsigned char* data = nullptr;
  unsigned int size = 3;
  ar.readData(&data, size, code);
  EXPECT_EQ(CArchive::RET_END_OF_DATA, code);
  EXPECT_EQ(3u, size);
  EXPECT_EQ(nullptr, data);
  unsigned char raw[4] = {1, 2, 3, 4};
  EXPECT_EQ(0u, ar.readValue(raw, 4));
  EXPECT_EQ(1, raw[0]);
}

TEST(ArchiveRead, RawReaderCopiesOnlyWhatTheFileDelivers) {
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

}  // namespace
