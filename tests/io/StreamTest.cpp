// The stream framework and the file and memory streams.  Every disk call of
// the file streams and of mkdirs is also failed in turn (or made short): each
// must come out as the host's exception, leave no file open and lose nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/io/BufOutputStream.h"
#include "qel/io/File.h"
#include "qel/io/FileStream.h"
#include "qel/platform/ConsoleLogger.h"
#include "qel/platform/Orvane.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

namespace {

using qel::CBufOutputStream;
using qel::CFile;
using qel::CFileInputStream;
using qel::CFileOutputStream;
using qel_test::Failure;
using qel_test::Fault;
using qel_test::FaultyFileSystem;
using qel_test::FileCall;
using qel_test::thrownBy;

// An input stream over length bytes that records the size of every read and
// sets bits in the status word after the read numbered cancelAfterRead.
class RecordingStream : public qel::CInputStreamImpl<RecordingStream, IInputStream> {
 public:
  explicit RecordingStream(std::size_t length, std::size_t cancelAfterRead = 0,
                           std::uint32_t bits = 0)
      : data(length, 'x'), _cancelAfterRead(cancelAfterRead), _bits(bits) {}
  unsigned int onRead(unsigned char* buffer, unsigned int size, std::uint32_t* status) {
    reads.push_back(size);
    const std::size_t n = std::min<std::size_t>(size, data.size() - _position);
    std::memcpy(buffer, data.data() + _position, n);
    _position += n;
    *status |= reads.size() == _cancelAfterRead ? _bits : 0;
    return static_cast<unsigned int>(n);
  }
  std::vector<unsigned int> reads;
  std::string data;

 private:
  std::size_t _position = 0, _cancelAfterRead;
  std::uint32_t _bits;
};

TEST(InputStream, SkipsInChunksOf1024UntilTheEndOrBothCancelBitsAndRefusesMarks) {
  RecordingStream stream(4500);
  std::uint32_t status = 0x21;
  EXPECT_EQ(0u, stream.skip(0, &status));
  EXPECT_TRUE(stream.reads.empty());
  status = 0;
  EXPECT_EQ(3000u, stream.skip(3000, &status));
  EXPECT_EQ((std::vector<unsigned int>{1024, 1024, 952}), stream.reads);
  EXPECT_EQ(1500u, stream.skip(4000, &status));
  EXPECT_EQ(0u, stream.skip(10, &status));
  // Both bits stop the skip after the chunk, return 0 and are logged.
  std::vector<std::wstring> lines;
  MessageLogger::SetSink(
      [&](const std::wstring&, int, const std::wstring& text) { lines.push_back(text); });
  qel::ConsoleLogger::enableLog(true, "test");
  RecordingStream cancelled(10000);
  status = 0x21;
  EXPECT_EQ(0u, cancelled.skip(3000, &status));
  EXPECT_EQ(1u, cancelled.reads.size());
  qel::ConsoleLogger::enableLog(false, "test");
  MessageLogger::SetSink(nullptr);
  EXPECT_EQ((std::vector<std::wstring>{
                L"[InputStreamImpl::onSkip]!!!!!!!!!!!!!!!!!!!!!!!!Cancel operation detected"}),
            lines);
  RecordingStream later(10000, 2, 0xFF);  // set by the second read
  status = 0;
  EXPECT_EQ(0u, later.skip(5000, &status));
  EXPECT_EQ(2u, later.reads.size());
  // One of the two bits alone never cancels.
  for (std::uint32_t bits : {0x01u, 0x20u, 0x20u | 0x40u | 0x80u, 0xFFFFFFDEu}) {
    RecordingStream one(5000);
    status = bits;
    EXPECT_EQ(2500u, one.skip(2500, &status)) << std::hex << bits;
  }
  // Single bytes are read through the block read; marks are refused.
  RecordingStream single(1);
  single.data = "\xFF";
  status = 0;
  EXPECT_EQ(255, single.read(&status));
  EXPECT_EQ(-1, single.read(&status));
  EXPECT_FALSE(single.markSupported());
  EXPECT_EQ(0u, single.available());
  EXPECT_EQ(L"IOException: mark operation is not supported", thrownBy([&] { single.mark(100); }));
  EXPECT_EQ(L"IOException: reset operation is not supported", thrownBy([&] { single.reset(); }));
}

std::string contentOf(const CBufOutputStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.data()), stream.used());
}

TEST(BufOutputStream, GrowsByWholeStepsKeepsTheContentsAndHandsOverItsBlock) {
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
  CBufOutputStream small, never, zero;
  small.setSize(4);
  zero.setSize(0);
  for (int i = 0; i < 100; ++i) {
    small.write(bytes[i % 26]);
  }
  const std::string abc(bytes, bytes + 26);
  EXPECT_EQ(abc + abc + abc + abc.substr(0, 22), contentOf(small));
  EXPECT_EQ(5u, never.write(bytes, 5));
  EXPECT_EQ("abcde", contentOf(never));
  zero.write(bytes, 5);
  zero.write(bytes, 5);
  EXPECT_EQ("abcdeabcde", contentOf(zero));
  // A smaller size keeps the block and the step; the block can be taken.
  CBufOutputStream stream;
  stream.setSize(16);
  stream.write(bytes, 16);
  const unsigned char* block = stream.data();
  stream.setSize(8);
  EXPECT_EQ(block, stream.data());
  EXPECT_EQ(8u, stream.capacity());
  EXPECT_EQ(0u, stream.used());
  EXPECT_EQ(std::string(16, '\0'), std::string(reinterpret_cast<const char*>(block), 16));
  // The step stays 16: 9 bytes into a capacity of 8 grow it by 16.
  stream.write(bytes, 9);
  EXPECT_EQ(24u, stream.capacity());
  unsigned char* taken = stream.getDataAndResetBuf();
  ASSERT_NE(nullptr, taken);
  EXPECT_EQ(0, std::memcmp(taken, bytes, 9));
  EXPECT_EQ(nullptr, stream.data());
  EXPECT_EQ(9u, stream.used());
  std::free(taken);
  // Writing again without setSize starts a new block instead of writing
  // through a null pointer.
  stream.write(reinterpret_cast<const unsigned char*>("abc"), 3);
  EXPECT_EQ("abc", contentOf(stream));
}

std::string sampleContent(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
  }
  return text;
}

// Writes content through a stream in chunks of 3000, going on after short
// counts as a caller must; the first write's count is returned.
unsigned int writeAll(CFileOutputStream& out, const std::string& content) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  unsigned int first = 0;
  for (std::size_t done = 0; done < content.size();) {
    const auto want = static_cast<unsigned int>(std::min<std::size_t>(3000, content.size() - done));
    const unsigned int wrote = out.write(bytes + done, want);
    EXPECT_GT(wrote, 0u);
    EXPECT_LE(wrote, want);
    first = done == 0 ? wrote : first;
    done += wrote == 0 ? content.size() : wrote;
  }
  return first;
}

// Reads a stream to its end in chunks of 4096, through a memory stream.
std::string readAll(CFileInputStream& in) {
  qel::CBufOutputStream collected;
  collected.setSize(1024);
  unsigned char buffer[4096];
  std::uint32_t status = 0;
  for (unsigned int got; (got = in.read(buffer, sizeof buffer, &status)) > 0;) {
    collected.write(buffer, got);
  }
  return contentOf(collected);
}

class FileFaults : public ::testing::Test {
 protected:
  qel_test::FaultScope _faults;
  qel_test::TempDir _dir;
  const std::string _content = sampleContent(20000);
};

TEST_F(FileFaults, StreamsReadWriteAppendAndReportTheOpeningLength) {
  _dir.writeFile("f", std::string(3000, 'q') + "tail");
  CFileInputStream in(_dir.wpath("f"));
  std::uint32_t status = 0;
  EXPECT_EQ(std::string(3000, 'q') + "tail", readAll(in));
  EXPECT_EQ(3004u, in.available());
  _dir.writeFile("empty", "");
  CFileInputStream empty{CFile(_dir.wpath("empty"))};
  EXPECT_EQ(0u, empty.available());
  EXPECT_EQ(-1, empty.read(&status));
  {
    CFileOutputStream out(_dir.wpath("f"), true);
    EXPECT_EQ(4u, out.write(reinterpret_cast<const unsigned char*>("+new"), 4));
  }
  EXPECT_EQ(std::string(3000, 'q') + "tail+new", _dir.readFile("f"));
  CFileOutputStream out(CFile(_dir.wpath("f")), false);
  out.write(static_cast<unsigned char>('z'));
  out.flush();
  EXPECT_EQ("z", _dir.readFile("f"));
  // Closed streams and streams that cannot be opened.
  in.close();
  out.close();
  unsigned char buffer[4];
  const std::wstring kIO = L"IOException: ";
  const std::pair<std::function<void()>, std::wstring> kCases[] = {
      {[&] { in.read(buffer, 4, &status); }, kIO + L"Stream closed."},
      {[&] { in.close(); }, kIO + L"Stream already closed."},
      {[&] { out.write(buffer, 1); }, kIO + L"Stream closed."},
      {[&] { out.close(); }, kIO + L"Stream already closed."},
      {[&] { CFileInputStream none(_dir.wpath("missing")); },
       L"FileNotFoundException: " + _dir.wpath("missing")},
      {[&] { CFileInputStream none(_dir.wstr()); }, kIO + _dir.wstr() + L" is a Directory."},
      {[&] { CFileInputStream none(L""); }, kIO + L"File Name is empty."},
      {[&] { CFileOutputStream none(L"", false); }, kIO + L"File Name is empty."},
      {[&] { CFileOutputStream none(L"", true); }, kIO + L"File Name is empty."},
      {[&] { CFileOutputStream none(_dir.wstr(), false); }, kIO + _dir.wstr()}};
  for (const auto& c : kCases) {
    EXPECT_EQ(c.second, thrownBy(c.first));
  }
}

TEST_F(FileFaults, MkdirsStopsAtTheFailedLevelAndCanBeRunAgain) {
  const std::vector<std::string> levels = {"a", "a/b", "a/b/c", "a/b/c/d"};
  for (const std::uint32_t error : {FaultyFileSystem::kAccessDenied, std::uint32_t{3}}) {
    for (unsigned n = 1; n <= levels.size(); ++n) {
      SCOPED_TRACE("error " + std::to_string(error) + ", createDirectory #" + std::to_string(n));
      const std::string base = "run" + std::to_string(error) + "-" + std::to_string(n);
      std::filesystem::create_directory(_dir.path() / base);
      const CFile chain(_dir.wpath(base + "/a/b/c/d"));
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(FileCall::kCreateDirectory, n, Fault::kFail, error);
      const Failure failure = qel_test::failureOf([&] { chain.mkdirs(); });
      EXPECT_EQ(qel_test::exceptionTypeFor(error), failure.type);
      // The root is followed by a second separator, which the host accepts.
      EXPECT_EQ(L"/" + _dir.wpath(base + "/" + levels[n - 1]), failure.message);
      EXPECT_EQ(n, FaultyFileSystem::calls(FileCall::kCreateDirectory));
      for (unsigned level = 0; level < levels.size(); ++level) {
        EXPECT_EQ(level + 1 < n, std::filesystem::is_directory(_dir.path() / base / levels[level]))
            << levels[level];
      }
      // The levels made before the failure count as present next time.
      FaultyFileSystem::reset();
      chain.mkdirs();
      EXPECT_EQ(levels.size() - (n - 1), FaultyFileSystem::calls(FileCall::kCreateDirectory));
      EXPECT_TRUE(chain.isDirectory());
    }
  }
}

TEST_F(FileFaults, EveryFailedCallOfAStreamIsThrownOrHarmless) {
  const std::wstring path = _dir.wpath("f.bin");
  std::string got;
  auto writeFile = [&] {
    CFileOutputStream out(CFile(path), false);
    writeAll(out, _content);
    out.close();
  };
  auto readFile = [&] {
    CFileInputStream in(path);
    EXPECT_EQ(_content.size(), in.available());
    std::uint32_t status = 0;
    EXPECT_EQ(4500u, in.skip(4500, &status));
    got = readAll(in);
    in.close();
  };
  // Seven writes of 3000; a skip in five reads of up to 1024, then four
  // blocks of 4096 read and the end.
  const auto writes = qel_test::countCalls(writeFile);
  EXPECT_EQ((std::array<unsigned, 4>{1, 0, 7, 1}),
            (std::array<unsigned, 4>{writes[0], writes[1], writes[2], writes[3]}));
  const auto reads = qel_test::countCalls(readFile);
  EXPECT_EQ((std::array<unsigned, 4>{1, 10, 0, 1}),
            (std::array<unsigned, 4>{reads[0], reads[1], reads[2], reads[3]}));
  for (const bool writing : {true, false}) {
    SCOPED_TRACE(writing ? "writing" : "reading");
    qel_test::sweepFaults(
        writing ? writes : reads,
        {FileCall::kOpen, writing ? FileCall::kWrite : FileCall::kRead, FileCall::kClose},
        [&] {
          got.clear();
          _dir.writeFile("f.bin", writing ? "previous" : _content);
        },
        writing ? std::function<void()>(writeFile) : std::function<void()>(readFile),
        [&](FileCall call, unsigned n, const Failure& failure) {
          const std::string seen =
              writing ? _dir.readFile("f.bin") : _content.substr(0, 4500) + got;
          if (call == FileCall::kClose) {
            // The file is written through: a failing close loses nothing, and
            // closing a stream reports nothing.
            EXPECT_FALSE(failure.thrown);
            EXPECT_TRUE(qel_test::sameBytes(_content, seen));
            return;
          }
          EXPECT_EQ(L"IOException", failure.type);
          EXPECT_EQ(FaultyFileSystem::messageFor(call, path), failure.message);
          // Everything before the failed write is there, nothing after it.
          if (writing) {
            EXPECT_TRUE(qel_test::sameBytes(
                call == FileCall::kOpen ? "previous" : _content.substr(0, (n - 1) * 3000), seen));
          }
        });
  }
  // An append that fails to open leaves the file alone.
  FaultyFileSystem::reset();
  FaultyFileSystem::arm(FileCall::kOpen, 1);
  EXPECT_EQ(path, qel_test::failureOf([&] { CFileOutputStream out(path, true); }).message);
  EXPECT_EQ(_content, _dir.readFile("f.bin"));
}

TEST_F(FileFaults, ShortTransfersReportTheirCountAndLoseNothing) {
  for (const FileCall call : {FileCall::kWrite, FileCall::kRead}) {
    // Each call made short in turn, then every call.
    const unsigned calls = call == FileCall::kWrite ? 7 : 10;
    for (unsigned n = 1; n <= calls + 1; ++n) {
      const bool every = n > calls;
      SCOPED_TRACE(std::string(qel_test::fileCallName(call)) + (every ? " every" : " #") +
                   (every ? "" : std::to_string(n)));
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(call, every ? 1 : n, Fault::kShort, 0, every);
      if (call == FileCall::kWrite) {
        {
          CFileOutputStream out(_dir.wpath("short.bin"), false);
          // The stream hands the short count to its caller.
          EXPECT_EQ(n == 1 || every ? 1500u : 3000u, writeAll(out, _content));
        }
        EXPECT_TRUE(qel_test::sameBytes(_content, _dir.readFile("short.bin")));
      } else {
        CFileInputStream in(_dir.wpath("short.bin"));
        std::uint32_t status = 0;
        EXPECT_EQ(4500u, in.skip(4500, &status));
        EXPECT_TRUE(qel_test::sameBytes(_content.substr(4500), readAll(in)));
      }
      EXPECT_GE(FaultyFileSystem::fired(), 1u);
    }
  }
}

}  // namespace
