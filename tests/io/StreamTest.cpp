// The stream framework and the file and memory streams.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/io/BufOutputStream.h"
#include "qel/io/FileStream.h"
#include "qel/platform/ConsoleLogger.h"
#include "qel/platform/Orvane.h"
#include "support/TempDir.h"
#include "support/Thrown.h"

namespace {

using qel::CBufOutputStream;
using qel::CFileInputStream;
using qel::CFileOutputStream;
using qel::FileNotFoundException;
using qel::IOException;
using qel_test::messageOf;

// An input stream over a fixed byte string that records the size of every
// read and may set status bits after a given read.
class RecordingStream : public qel::CInputStreamImpl<RecordingStream, IInputStream> {
 public:
  explicit RecordingStream(std::size_t length) : _data(length, 'x') {}

  unsigned int onRead(unsigned char* buffer, unsigned int size, std::uint32_t* status) {
    reads.push_back(size);
    const std::size_t n = std::min<std::size_t>(size, _data.size() - _position);
    std::memcpy(buffer, _data.data() + _position, n);
    _position += n;
    if (reads.size() == cancelAfterRead && status != nullptr) {
      *status |= cancelBits;
    }
    return static_cast<unsigned int>(n);
  }

  std::vector<unsigned int> reads;
  std::size_t cancelAfterRead = 0;
  std::uint32_t cancelBits = 0;
  std::string _data;
  std::size_t _position = 0;
};

TEST(StreamSkip, ReadsInChunksOf1024AndStopsAtTheEnd) {
  RecordingStream stream(4500);
  std::uint32_t status = 0x21;
  EXPECT_EQ(0u, stream.skip(0, &status));
  EXPECT_TRUE(stream.reads.empty());
  status = 0;
  EXPECT_EQ(3000u, stream.skip(3000, &status));
  EXPECT_EQ((std::vector<unsigned int>{1024, 1024, 952}), stream.reads);
  EXPECT_EQ(1500u, stream.skip(4000, &status));
  EXPECT_EQ(0u, stream.skip(10, &status));
}

TEST(StreamSkip, BothCancelBitsStopAfterTheChunkAndReturnZero) {
  RecordingStream stream(10000);
  std::uint32_t status = 0x21;
  EXPECT_EQ(0u, stream.skip(3000, &status));
  EXPECT_EQ(1u, stream.reads.size());

  RecordingStream later(10000);
  later.cancelAfterRead = 2;
  later.cancelBits = 0xFF;
  std::uint32_t word = 0;
  EXPECT_EQ(0u, later.skip(5000, &word));
  EXPECT_EQ(2u, later.reads.size());
}

TEST(StreamSkip, OneCancelBitAloneNeverCancels) {
  for (std::uint32_t bits : {0x01u, 0x20u, 0x20u | 0x40u | 0x80u, 0xFFFFFFDEu}) {
    RecordingStream stream(5000);
    std::uint32_t status = bits;
    EXPECT_EQ(2500u, stream.skip(2500, &status)) << std::hex << bits;
  }
}

TEST(StreamSkip, CancellationIsLoggedWhenLogsAreOn) {
  std::vector<std::wstring> lines;
  MessageLogger::SetSink(
      [&](const std::wstring&, int, const std::wstring& text) { lines.push_back(text); });
  qel::ConsoleLogger::enableLog(true, "test");
  RecordingStream stream(5000);
  std::uint32_t status = 0x21;
  stream.skip(100, &status);
  qel::ConsoleLogger::enableLog(false, "test");
  MessageLogger::SetSink(nullptr);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(L"[InputStreamImpl::onSkip]!!!!!!!!!!!!!!!!!!!!!!!!Cancel operation detected",
            lines[0]);
}

TEST(StreamDefaults, SingleByteReadsMarkAndReset) {
  RecordingStream stream(1);
  stream._data = "\xFF";
  std::uint32_t status = 0;
  EXPECT_EQ(255, stream.read(&status));
  EXPECT_EQ(-1, stream.read(&status));
  EXPECT_FALSE(stream.markSupported());
  EXPECT_EQ(0u, stream.available());
  EXPECT_EQ(L"mark operation is not supported", messageOf<IOException>([&] { stream.mark(100); }));
  EXPECT_EQ(L"reset operation is not supported", messageOf<IOException>([&] { stream.reset(); }));
}

TEST(BufOutputStream, GrowsByWholeStepsBeyondTheShortfall) {
  const unsigned char bytes[48] = {};
  // With a step of 16: the capacity after the first and after the second write.
  const struct {
    unsigned first, second, afterFirst, afterSecond;
  } kCases[] = {{10, 10, 16, 32}, {16, 1, 16, 32}, {32, 0, 48, 48}, {48, 0, 64, 64}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
    CBufOutputStream stream;
    stream.setSize(16);
    stream.write(bytes, c.first);
    EXPECT_EQ(c.afterFirst, stream.capacity());
    stream.write(bytes, c.second);
    EXPECT_EQ(c.afterSecond, stream.capacity());
    EXPECT_EQ(c.first + c.second, stream.used());
  }
}

TEST(BufOutputStream, KeepsContentsAcrossGrowth) {
  CBufOutputStream stream;
  stream.setSize(4);
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    const unsigned char byte = static_cast<unsigned char>('a' + i % 26);
    stream.write(byte);
    expected.push_back(static_cast<char>(byte));
  }
  ASSERT_EQ(100u, stream.used());
  EXPECT_EQ(expected, std::string(reinterpret_cast<const char*>(stream.data()), 100));
}

TEST(BufOutputStream, SmallerSizeKeepsTheBlockAndTheStep) {
  const unsigned char ones[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  CBufOutputStream stream;
  stream.setSize(16);
  stream.write(ones, 16);
  const unsigned char* block = stream.data();
  stream.setSize(8);
  EXPECT_EQ(block, stream.data());
  EXPECT_EQ(8u, stream.capacity());
  EXPECT_EQ(0u, stream.used());
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(0, stream.data()[i]);
  }
  // The step stays 16: 9 bytes into a capacity of 8 grow it by 16.
  stream.write(ones, 9);
  EXPECT_EQ(24u, stream.capacity());
}

TEST(BufOutputStream, TakingTheBlock) {
  CBufOutputStream stream;
  stream.setSize(8);
  const unsigned char text[] = "abc";
  stream.write(text, 3);
  unsigned char* block = stream.getDataAndResetBuf();
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0, std::memcmp(block, "abc", 3));
  EXPECT_EQ(nullptr, stream.data());
  EXPECT_EQ(3u, stream.used());
  std::free(block);
  // Writing again without setSize starts a new block instead of writing
  // through a null pointer.
  stream.write(text, 3);
  EXPECT_EQ(3u, stream.used());
  EXPECT_EQ(0, std::memcmp(stream.data(), "abc", 3));
}

TEST(BufOutputStream, WithoutAStepGrowsToFit) {
  CBufOutputStream never;
  const unsigned char text[] = "hello";
  EXPECT_EQ(5u, never.write(text, 5));
  EXPECT_EQ(5u, never.used());
  EXPECT_GE(never.capacity(), 5u);
  CBufOutputStream zero;
  zero.setSize(0);
  zero.write(text, 5);
  zero.write(text, 5);
  EXPECT_EQ(10u, zero.used());
  EXPECT_EQ(0, std::memcmp(zero.data(), "hellohello", 10));
}

class FileStreams : public ::testing::Test {
 protected:
  qel_test::TempDir dir;
  std::wstring path(const std::string& name) const { return dir.wpath(name); }
};

TEST_F(FileStreams, InputReadsTheFileAndReportsTheOpeningLength) {
  dir.writeFile("f", std::string(3000, 'q') + "tail");
  CFileInputStream in(path("f"));
  EXPECT_EQ(3004u, in.available());
  std::uint32_t status = 0;
  EXPECT_EQ(3000u, in.skip(3000, &status));
  unsigned char buffer[16];
  EXPECT_EQ(4u, in.read(buffer, sizeof(buffer), &status));
  EXPECT_EQ(0, std::memcmp(buffer, "tail", 4));
  EXPECT_EQ(0u, in.read(buffer, sizeof(buffer), &status));
  EXPECT_EQ(3004u, in.available());
}

TEST_F(FileStreams, EmptyFile) {
  dir.writeFile("empty", "");
  CFileInputStream in{qel::CFile(path("empty"))};
  std::uint32_t status = 0;
  EXPECT_EQ(0u, in.available());
  EXPECT_EQ(-1, in.read(&status));
}

TEST_F(FileStreams, OpeningFailures) {
  EXPECT_EQ(path("missing"),
            messageOf<FileNotFoundException>([&] { CFileInputStream in(path("missing")); }));
  EXPECT_EQ(dir.wstr() + L" is a Directory.",
            messageOf<IOException>([&] { CFileInputStream in(dir.wstr()); }));
  EXPECT_EQ(L"File Name is empty.", messageOf<IOException>([&] { CFileInputStream in(L""); }));
  for (bool append : {false, true}) {
    EXPECT_EQ(L"File Name is empty.",
              messageOf<IOException>([&] { CFileOutputStream out(L"", append); }));
  }
  EXPECT_THROW(CFileOutputStream(dir.wstr(), false), IOException);
}

TEST_F(FileStreams, OutputTruncatesOrAppends) {
  dir.writeFile("f", "old");
  {
    CFileOutputStream out(path("f"), true);
    const unsigned char more[] = "+new";
    EXPECT_EQ(4u, out.write(more, 4));
  }
  EXPECT_EQ("old+new", dir.readFile("f"));
  {
    CFileOutputStream out(qel::CFile(path("f")), false);
    out.write(static_cast<unsigned char>('z'));
    out.flush();
  }
  EXPECT_EQ("z", dir.readFile("f"));
}

TEST_F(FileStreams, ClosedStreamsRefuseWork) {
  dir.writeFile("f", "abc");
  CFileInputStream in(path("f"));
  in.close();
  std::uint32_t status = 0;
  unsigned char buffer[4];
  EXPECT_EQ(L"Stream closed.", messageOf<IOException>([&] { in.read(buffer, 4, &status); }));
  EXPECT_EQ(L"Stream already closed.", messageOf<IOException>([&] { in.close(); }));
  CFileOutputStream out(path("g"), false);
  out.close();
  EXPECT_EQ(L"Stream closed.", messageOf<IOException>([&] { out.write(buffer, 1); }));
  EXPECT_THROW(out.close(), IOException);
}

}  // namespace
