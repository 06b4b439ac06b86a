#include <fcntl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/core/Exception.h"
#include "qel/io/File.h"
#include "support/FileSystemScope.h"
#include "support/OpenFlags.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CFile;

namespace {

// Writes through a STORE archive and returns the file's bytes.
std::string storeWith(const std::function<void(CArchive&)>& body) {
  qel_test::TempDir dir;
  CFile file(dir.wpath("a.arc"));
  {
    CArchive ar(file, CArchive::STORE);
    body(ar);
  }
  return dir.readFile("a.arc");
}

TEST(ArchiveWrite, ThreeFieldRecordOfTheFormatDescription) {
  const std::string bytes = storeWith([](CArchive& ar) {
    CArchive::RetError code = CArchive::RET_END_OF_DATA;
    ar.writeShort(1, code);
    EXPECT_EQ(CArchive::RET_OK, code);
    ar.writeString("id", code);
    ar.writeString("42", code);
    ar.writeEndLine(code);
    EXPECT_EQ(CArchive::RET_OK, code);
  });
  EXPECT_EQ("0017032001107002id070024200\n", bytes);
}

TEST(ArchiveWrite, OneFieldOfEveryType) {
  const std::string bytes = storeWith([](CArchive& ar) {
    CArchive::RetError code = CArchive::RET_OK;
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
  });
  EXPECT_EQ(
      "00820A1001102002-5030056553504006-70000050061234560600A400000000007005Hello080142024013"
      "1T123456.789Z09002AB0A0141844674407370955161500\n",
      bytes);
}

TEST(ArchiveWrite, FieldEdgeCases) {
  const std::string bytes = storeWith([](CArchive& ar) {
    CArchive::RetError code = CArchive::RET_OK;
    unsigned char bytes2[] = {0x00, 0x41};
    const std::string withFeeds = "a\nb\n\nc";
    ar.writeBoolean(false, code);
    ar.writeString(withFeeds, code);
    EXPECT_EQ("a\nb\n\nc", withFeeds);
    ar.writeString("", code);
    ar.writeData(nullptr, 0, code);
    ar.writeData(bytes2, 2, code);
    ar.writeDate(qel::CDateTime(), code);
    ar.writeString(std::string(26, 'x'), code);
    ar.writeEndLine(code);
    ar.writeEndLine(code);  // a record without fields
  });
  const std::string body = std::string("07") + "1001" + "0" + "0" + "7003abc0" + "70000" + "90000" +
                           "9002" + std::string("\0A", 2) + "0" + "80000" + "701A" +
                           std::string(26, 'x') + "0" + "0";
  ASSERT_EQ(0x46u, body.size());
  EXPECT_EQ("0046" + body + "\n" + "0003000\n", bytes);
}

TEST(ArchiveWrite, TenFieldsGiveCountA) {
  const std::string bytes = storeWith([](CArchive& ar) {
    CArchive::RetError code = CArchive::RET_OK;
    for (int i = 0; i < 10; ++i) {
      ar.writeBoolean(true, code);
    }
    ar.writeEndLine(code);
  });
  // 2 + 10 * 6 + 1 = 63 = 0x3F
  EXPECT_EQ(
      "003F0A" +
          [] {
            std::string fields;
            for (int i = 0; i < 10; ++i) {
              fields += "100110";
            }
            return fields;
          }() +
          "0\n",
      bytes);
}

TEST(ArchiveWrite, BuildingBlocksFillWithZerosAndNeverCut) {
  const std::string bytes = storeWith([](CArchive& ar) {
    CArchive::RetError code = CArchive::RET_OK;
    ar.writeType(CArchive::FIELD_STRING, code);
    ar.writeFieldLen(5, code);
    ar.write("ab", 5, code);  // 000ab
    ar.writeSeparator(code);
    ar.write("toolong", 3, code);  // written whole
    ar.writeEndLine(code);
  });
  // body: 01 7 005 000ab 0 toolong 0 = 2+1+3+5+1+7+1 = 20 = 0x14
  EXPECT_EQ("0014017005000ab0toolong0\n", bytes);
}

TEST(ArchiveWrite, UnclosedRecordAndEmptyArchiveLeaveNothing) {
  EXPECT_EQ("", storeWith([](CArchive&) {}));
  EXPECT_EQ("0003000\n", storeWith([](CArchive& ar) {
              CArchive::RetError code = CArchive::RET_OK;
              ar.writeEndLine(code);
              ar.writeString("dropped", code);
            }));
}

TEST(ArchiveWrite, BlocksReachTheFileOnlyWhenFullAndAtTheEnd) {
  qel_test::FileSystemScope scope(&qel_test::RecordingFileSystem::create);
  qel_test::RecordingFileSystem::reset();
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
    EXPECT_EQ((std::vector<std::uint32_t>{4096, 4096}), qel_test::RecordingFileSystem::writes());
  }
  EXPECT_EQ((std::vector<std::uint32_t>{4096, 4096, 1808}),
            qel_test::RecordingFileSystem::writes());
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

TEST(ArchiveWrite, CloseReportsAFailedLastBlock) {
  qel_test::FileSystemScope scope(&qel_test::RecordingFileSystem::create);
  qel_test::RecordingFileSystem::reset();
  qel_test::TempDir dir;
  CFile file(dir.wpath("full.arc"));
  CArchive ar(file, CArchive::STORE);
  CArchive::RetError code = CArchive::RET_OK;
  ar.writeString("value", code);
  ar.writeEndLine(code);
  qel_test::RecordingFileSystem::room() = 3;
  EXPECT_THROW(ar.close(), qel::IOException);
  EXPECT_TRUE(ar.isClosed());
  EXPECT_NO_THROW(ar.close());
  EXPECT_THROW(ar.writeEndLine(code), qel::IOException);
}

TEST(ArchiveWrite, DestructorLogsTheFailureItCannotThrow) {
  qel_test::FileSystemScope scope(&qel_test::RecordingFileSystem::create);
  qel_test::RecordingFileSystem::reset();
  qel_test::TempDir dir;
  qel_test::LogCapture log;
  const bool previous = qel::DISPLAY_ERROR_LOGS;
  qel::DISPLAY_ERROR_LOGS = true;
  {
    CFile file(dir.wpath("full.arc"));
    CArchive ar(file, CArchive::STORE);
    CArchive::RetError code = CArchive::RET_OK;
    ar.writeString("value", code);
    ar.writeEndLine(code);
    qel_test::RecordingFileSystem::room() = 0;
  }
  qel::DISPLAY_ERROR_LOGS = previous;
  ASSERT_EQ(1u, log.messages().size());
  EXPECT_NE(std::wstring::npos, log.messages()[0].find(L"disk full"));
  EXPECT_EQ(L"1:", log.messages()[0].substr(0, 2));
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
