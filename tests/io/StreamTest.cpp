// The stream framework and the file and memory streams.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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
using qel::IOException;
using qel_test::messageOf;

// An input stream over a fixed byte string that records the size of every
// read and may set status bits after a given read.
class RecordingStream : public qel::CInputStreamImpl<RecordingStream, IInputStream> {
 public:
  explicit RecordingStream(std::size_t length, std::size_t cancelAfterRead = 0,
                           std::uint32_t cancelBits = 0)
      : _data(length, 'x'), _cancelAfterRead(cancelAfterRead), _cancelBits(cancelBits) {}

  unsigned int onRead(unsigned char* buffer, unsigned int size, std::uint32_t* status) {
    reads.push_back(size);
    const std::size_t n = std::min<std::size_t>(size, _data.size() - _position);
    std::memcpy(buffer, _data.data() + _position, n);
    _position += n;
    if (reads.size() == _cancelAfterRead && status != nullptr) {
      *status |= _cancelBits;
    }
    return static_cast<unsigned int>(n);
  }

  std::vector<unsigned int> reads;
  std::string _data;

 private:
  std::size_t _position = 0;
  std::size_t _cancelAfterRead;
  std::uint32_t _cancelBits;
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

TEST(StreamSkip, BothCancelBitsStopAfterTheChunkReturnZeroAndAreLogged) {
  std::vector<std::wstring> lines;
  MessageLogger::SetSink(
      [&](const std::wstring&, int, const std::wstring& text) { lines.push_back(text); });
  qel::ConsoleLogger::enableLog(true, "test");
  RecordingStream stream(10000);
  std::uint32_t status = 0x21;
  EXPECT_EQ(0u, stream.skip(3000, &status));
  EXPECT_EQ(1u, stream.reads.size());
  qel::ConsoleLogger::enableLog(false, "test");
  MessageLogger::SetSink(nullptr);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(L"[InputStreamImpl::onSkip]!!!!!!!!!!!!!!!!!!!!!!!!Cancel operation detected",
            lines[0]);
  // Bits set by a later read stop the skip there.
  RecordingStream later(10000, 2, 0xFF);
  std::uint32_t word = 0;
  EXPECT_EQ(0u, later.skip(5000, &word));
  EXPECT_EQ(2u, later.reads.size());
  // One of the two bits alone never cancels.
  for (std::uint32_t bits : {0x01u, 0x20u, 0x20u | 0x40u | 0x80u, 0xFFFFFFDEu}) {
    RecordingStream one(5000);
    std::uint32_t status = bits;
    EXPECT_EQ(2500u, one.skip(2500, &status)) << std::hex << bits;
  }
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

std::string contentOf(const CBufOutputStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.data()), stream.used());
}

TEST(BufOutputStream, GrowsByWholeStepsBeyondTheShortfallAndKeepsTheContents) {
  unsigned char bytes[48];
  for (unsigned i = 0; i < sizeof bytes; ++i) {
    bytes[i] = static_cast<unsigned char>('a' + i % 26);
  }
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
    EXPECT_EQ(std::string(bytes, bytes + c.first) + std::string(bytes, bytes + c.second),
              contentOf(stream));
  }
  // Byte by byte from a step of 4; without a step, or with 0, it grows to fit.
  CBufOutputStream small;
  small.setSize(4);
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    small.write(bytes[i % 26]);
    expected += static_cast<char>(bytes[i % 26]);
  }
  EXPECT_EQ(expected, contentOf(small));
  CBufOutputStream never;
  EXPECT_EQ(5u, never.write(bytes, 5));
  EXPECT_EQ("abcde", contentOf(never));
  CBufOutputStream zero;
  zero.setSize(0);
  zero.write(bytes, 5);
  zero.write(bytes, 5);
  EXPECT_EQ("abcdeabcde", contentOf(zero));
}

TEST(BufOutputStream, ASmallerSizeKeepsTheBlockAndTheStepAndTheBlockCanBeTaken) {
  const unsigned char ones[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  CBufOutputStream stream;
  stream.setSize(16);
  stream.write(ones, 16);
  const unsigned char* block = stream.data();
  stream.setSize(8);
  EXPECT_EQ(block, stream.data());
  EXPECT_EQ(8u, stream.capacity());
  EXPECT_EQ(0u, stream.used());
  EXPECT_EQ(std::string(16, '\0'), std::string(reinterpret_cast<const char*>(block), 16));
  // The step stays 16: 9 bytes into a capacity of 8 grow it by 16.
  stream.write(ones, 9);
  EXPECT_EQ(24u, stream.capacity());

  unsigned char* taken = stream.getDataAndResetBuf();
  ASSERT_NE(nullptr, taken);
  EXPECT_EQ(0, std::memcmp(taken, ones, 9));
  EXPECT_EQ(nullptr, stream.data());
  EXPECT_EQ(9u, stream.used());
  std::free(taken);
  // Writing again without setSize starts a new block instead of writing
  // through a null pointer.
  stream.write(reinterpret_cast<const unsigned char*>("abc"), 3);
  EXPECT_EQ("abc", contentOf(stream));
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
  dir.writeFile("empty", "");
  CFileInputStream empty{qel::CFile(path("empty"))};
  EXPECT_EQ(0u, empty.available());
  EXPECT_EQ(-1, empty.read(&status));
}

TEST_F(FileStreams, OutputTruncatesOrAppends) {
  dir.writeFile("f", "old");
  {
    CFileOutputStream out(path("f"), true);
    EXPECT_EQ(4u, out.write(reinterpret_cast<const unsigned char*>("+new"), 4));
  }
  EXPECT_EQ("old+new", dir.readFile("f"));
  {
    CFileOutputStream out(qel::CFile(path("f")), false);
    out.write(static_cast<unsigned char>('z'));
    out.flush();
  }
  EXPECT_EQ("z", dir.readFile("f"));
}

TEST_F(FileStreams, OpeningFailuresAndClosedStreamsAreReported) {
  EXPECT_EQ(path("missing"),
            messageOf<qel::FileNotFoundException>([&] { CFileInputStream in(path("missing")); }));
  EXPECT_EQ(dir.wstr() + L" is a Directory.",
            messageOf<IOException>([&] { CFileInputStream in(dir.wstr()); }));
  EXPECT_EQ(L"File Name is empty.", messageOf<IOException>([&] { CFileInputStream in(L""); }));
  for (bool append : {false, true}) {
    EXPECT_EQ(L"File Name is empty.",
              messageOf<IOException>([&] { CFileOutputStream out(L"", append); }));
  }
  EXPECT_THROW(CFileOutputStream(dir.wstr(), false), IOException);

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
