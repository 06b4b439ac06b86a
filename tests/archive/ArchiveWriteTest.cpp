#include <fcntl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "support/FaultyFileSystem.h"
#include "support/OpenFlags.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CFile;

namespace {

// Writes through a STORE archive and returns the file's bytes.
std::string storeWith(const std::function<void(CArchive&, CArchive::RetError&)>& body) {
  qel_test::TempDir dir;
  CFile file(dir.wpath("a.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_END_OF_DATA;
    body(ar, code);
    EXPECT_EQ(CArchive::RET_OK, code);
  }
  return dir.readFile("a.arc");
}

using Code = CArchive::RetError;

TEST(ArchiveWrite, RecordBytes) {
  std::string tenBooleans;
  for (int i = 0; i < 10; ++i) {
    tenBooleans += "100110";
  }
  const std::string edgeBody = std::string("07") + "1001" + "0" + "0" + "7003abc0" + "70000" +
                               "90000" + "9002" + std::string("\0A", 2) + "0" + "80000" + "701A" +
                               std::string(26, 'x') + "0" + "0";
  const std::pair<std::function<void(CArchive&, Code&)>, std::string> cases[] = {
      {[](CArchive& ar, Code& code) {
         ar.writeShort(1, code);
         ar.writeString("id", code);
         ar.writeString("42", code);
         ar.writeEndLine(code);
       },
       "0017032001107002id070024200\n"},
      {[](CArchive& ar, Code& code) {
         qel::CDateTime date(2024, 1, 31, 12, 34, 56, 789);
         date.forceGMT(true);
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
       },
       "00820A1001102002-5030056553504006-70000050061234560600A400000000007005Hello080142024013"
       "1T123456.789Z09002AB0A0141844674407370955161500\n"},
      // Line feeds left out (of the written text only), empty texts and
      // data, a date that is not set, a length in hex, a record without
      // fields.
      {[](CArchive& ar, Code& code) {
         unsigned char bytes[] = {0x00, 0x41};
         const std::string withFeeds = "a\nb\n\nc";
         ar.writeBoolean(false, code);
         ar.writeString(withFeeds, code);
         EXPECT_EQ("a\nb\n\nc", withFeeds);
         ar.writeString("", code);
         ar.writeData(nullptr, 0, code);
         ar.writeData(bytes, 2, code);
         ar.writeDate(qel::CDateTime(), code);
         ar.writeString(std::string(26, 'x'), code);
         ar.writeEndLine(code);
         ar.writeEndLine(code);
       },
       "0046" + edgeBody + "\n" + "0003000\n"},
      // 2 + 10 * 6 + 1 = 63 = 0x3F
      {[](CArchive& ar, Code& code) {
         for (int i = 0; i < 10; ++i) {
           ar.writeBoolean(true, code);
         }
         ar.writeEndLine(code);
       },
       "003F0A" + tenBooleans + "0\n"},
      // The building blocks fill with zeros and never cut:
      // 01 7 005 000ab 0 toolong 0 = 20 = 0x14
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
  ASSERT_EQ(0x46u, edgeBody.size());
}

TEST(ArchiveWrite, BlocksReachTheFileOnlyWhenFullAndAtTheEnd) {
  qel_test::FaultScope faults;
  qel_test::TempDir dir;
  CFile file(dir.wpath("blocks.arc"));
  std::string expected;
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    for (int i = 0; i < 10; ++i) {
      // 6 + 7003 + 987 value bytes + 0 + 0 + line feed = 1000 bytes
      const std::string value(987, static_cast<char>('a' + i));
      ar.writeString(value, code);
      ar.writeEndLine(code);
      expected += "03E30173DB" + value + "00\n";
    }
    EXPECT_EQ(2u, qel_test::FaultyFileSystem::calls(qel_test::FileCall::kWrite));
  }
  EXPECT_EQ(3u, qel_test::FaultyFileSystem::calls(qel_test::FileCall::kWrite));
  EXPECT_EQ(expected, dir.readFile("blocks.arc"));
}

TEST(ArchiveWrite, StoredFileReachesTheDiskAtCloseAndLoadingOnlyReads) {
  // The blocks of a stored file go to the disk together when the archive
  // closes the file, not one by one.
  qel_test::TempDir dir;
  CFile file(dir.wpath("d.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    const int flags = qel_test::openFlagsOf(dir.path() / "d.arc");
    ASSERT_NE(-1, flags);
    EXPECT_EQ(O_WRONLY, flags & O_ACCMODE);
    EXPECT_EQ(0, flags & O_DSYNC);
    CArchive::RetError code = CArchive::RET_OK;
    ar.writeString("x", code);
    ar.writeEndLine(code);
    ar.close();
    EXPECT_EQ(-1, qel_test::openFlagsOf(dir.path() / "d.arc"));
  }
  EXPECT_EQ("0009017001x00\n", dir.readFile("d.arc"));
  CArchive reader(file, CArchive::LOAD);
  EXPECT_EQ(O_RDONLY, qel_test::openFlagsOf(dir.path() / "d.arc") & O_ACCMODE);
}

TEST(ArchiveWrite, OversizedValuesAreRefusedAndTheirRecordDropped) {
  qel_test::TempDir dir;
  CFile file(dir.wpath("limits.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    ar.writeString(std::string(4095, 'v'), code);  // the largest value fits
    ar.writeEndLine(code);

    ar.writeString("kept?", code);
    EXPECT_THROW(ar.writeString(std::string(4096, 'v'), code), qel::IOException);
    std::vector<unsigned char> big(5000, 1);
    EXPECT_THROW(ar.writeData(big.data(), 5000, code), qel::IOException);
    EXPECT_THROW(ar.writeFieldLen(0x1000, code), qel::IOException);
    EXPECT_THROW(ar.writeType(static_cast<CArchive::FieldType>(16), code), qel::IOException);
    ar.writeEndLine(code);  // only what came after the refusal

    for (int i = 0; i < 255; ++i) {
      ar.writeBoolean(true, code);
    }
    try {
      ar.writeBoolean(true, code);
      ADD_FAILURE() << "a 256th field was accepted";
    } catch (const qel::IOException& e) {
      EXPECT_NE(std::wstring::npos, e.getMessage().find(L"255 fields"));
    }

    for (int i = 0; i < 17; ++i) {
      ar.writeString(std::string(4000, 'r'), code);
    }
    try {
      ar.writeEndLine(code);
      ADD_FAILURE() << "a record of more than 65535 characters was accepted";
    } catch (const qel::IOException& e) {
      EXPECT_NE(std::wstring::npos, e.getMessage().find(L"65535"));
    }
    ar.writeEndLine(code);
  }
  const std::string expected =
      "1007017FFF" + std::string(4095, 'v') + "00\n" + "0003000\n" + "0003000\n";
  EXPECT_EQ(expected, dir.readFile("limits.arc"));
}

TEST(ArchiveWrite, AFailedLastBlockIsThrownByCloseAndLoggedByTheDestructor) {
  qel_test::FaultScope faults;
  qel_test::TempDir dir;
  qel_test::LogCapture log;
  for (const bool closed : {true, false}) {
    SCOPED_TRACE(closed ? "close" : "destructor");
    CFile file(dir.wpath("full.arc"));
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    ar.writeString("value", code);
    ar.writeEndLine(code);
    qel_test::FaultyFileSystem::setRoom(closed ? 3 : 0);
    if (closed) {
      EXPECT_THROW(ar.close(), qel::IOException);
      EXPECT_TRUE(ar.isClosed());
      EXPECT_NO_THROW(ar.close());
      EXPECT_THROW(ar.writeEndLine(code), qel::IOException);
    }
  }
  ASSERT_EQ(1u, log.messages().size());
  EXPECT_EQ(0u, log.messages()[0].find(L"1:CArchive::~CArchive ERROR - last block lost: "))
      << qel::CWin32Helper::toUTF8(log.messages()[0]);
}

TEST(ArchiveConstruction, RefusesEmptyNamesAndDirectories) {
  qel_test::TempDir dir;
  CFile directory(dir.wstr());
  try {
    CArchive ar(directory, CArchive::STORE);
    ADD_FAILURE() << "a directory was opened";
  } catch (const qel::IOException& e) {
    EXPECT_EQ(dir.wstr() + L" is a directory", e.getMessage());
  }
  EXPECT_THROW(CArchive(directory, CArchive::LOAD), qel::IOException);
}

TEST(ArchiveConstruction, ModesParentsAndMissingFiles) {
  qel_test::TempDir dir;
  CFile nested(dir.wpath("sub/a.arc"));
  {
    CArchive ar(nested, CArchive::STORE);
    EXPECT_TRUE(ar.isStoring());
    EXPECT_FALSE(ar.isLoading());
    EXPECT_FALSE(ar.isLoaded());
  }
  EXPECT_TRUE(nested.isFile());

  CFile missing(dir.wpath("other/missing.arc"));
  CArchive load(missing, CArchive::LOAD);
  EXPECT_TRUE(load.isLoading());
  EXPECT_FALSE(load.isLoaded());
  EXPECT_TRUE(CFile(dir.wpath("other")).isDirectory());

  CFile deep(dir.wpath("x/y/missing.arc"));
  EXPECT_THROW(CArchive(deep, CArchive::LOAD), qel::IOException);

  dir.writeFile("full.arc", "0003000\n");
  CFile full(dir.wpath("full.arc"));
  CArchive store(full, CArchive::STORE);
  EXPECT_EQ("", dir.readFile("full.arc"));
}

}  // namespace
