// Every disk call of the file streams and of mkdirs is failed in turn (or
// made short): each failure must come out as the host layer's exception,
// leave no file open and lose no byte that was reported written.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/io/BufOutputStream.h"
#include "qel/io/File.h"
#include "qel/io/FileStream.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

using qel::CBufOutputStream;
using qel::CFile;
using qel::CFileInputStream;
using qel::CFileOutputStream;
using qel_test::Failure;
using qel_test::Fault;
using qel_test::FaultyFileSystem;
using qel_test::FileCall;

namespace {

std::string sampleContent(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
  }
  return text;
}

// Writes content through a stream in chunks, going on after short counts as
// a caller must.
void writeAll(CFileOutputStream& out, const std::string& content, std::size_t chunk) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  std::size_t done = 0;
  while (done < content.size()) {
    const auto want = static_cast<unsigned int>(std::min(chunk, content.size() - done));
    const unsigned int wrote = out.write(bytes + done, want);
    ASSERT_GT(wrote, 0u);
    ASSERT_LE(wrote, want);
    done += wrote;
  }
}

// Reads a stream to its end into a memory stream.
std::string readAll(CFileInputStream& in, unsigned int chunk) {
  CBufOutputStream collected;
  collected.setSize(1024);
  std::vector<unsigned char> buffer(chunk);
  std::uint32_t status = 0;
  for (;;) {
    const unsigned int got = in.read(buffer.data(), chunk, &status);
    if (got == 0) {
      break;
    }
    collected.write(buffer.data(), got);
  }
  return std::string(reinterpret_cast<const char*>(collected.data()), collected.used());
}

class FileFaults : public ::testing::Test {
 protected:
  qel_test::FaultScope _faults;
  qel_test::TempDir _dir;
};

TEST_F(FileFaults, InjectedFailuresLookLikeTheHostsOwn) {
  // A missing directory on the way: the real host and the injection agree.
  const std::wstring missing = _dir.wpath("none/f.bin");
  const Failure real = qel_test::failureOf([&] { CFileOutputStream out(missing, false); });
  FaultyFileSystem::arm(FileCall::kOpen, 1, Fault::kFail, 3);
  const std::wstring present = _dir.wpath("f.bin");
  const Failure injected = qel_test::failureOf([&] { CFileOutputStream out(present, false); });
  ASSERT_TRUE(real.thrown);
  ASSERT_TRUE(injected.thrown);
  EXPECT_EQ(L"FileNotFoundException", real.type);
  EXPECT_EQ(real.type, injected.type);
  EXPECT_EQ(missing, real.message);
  EXPECT_EQ(present, injected.message);
  EXPECT_FALSE(std::filesystem::exists(_dir.path() / "f.bin"));

  // A full disk: /dev/full answers every write with the host's "no space".
  if (std::filesystem::exists("/dev/full")) {
    FaultyFileSystem::reset();
    const unsigned char byte = 'x';
    CFileOutputStream full(L"/dev/full", false);
    const Failure host = qel_test::failureOf([&] { full.write(&byte, 1); });
    CFileOutputStream disk(present, false);
    FaultyFileSystem::arm(FileCall::kWrite, 1);
    const Failure fake = qel_test::failureOf([&] { disk.write(&byte, 1); });
    ASSERT_TRUE(host.thrown);
    EXPECT_EQ(L"IOException", host.type);
    EXPECT_EQ(L"CPosixFileSystem::writeFile", host.message);
    EXPECT_EQ(host.type, fake.type);
    EXPECT_EQ(host.message, fake.message);
  }
}

TEST_F(FileFaults, MkdirsStopsAtTheFailedLevelAndCanBeRunAgain) {
  const std::vector<std::string> levels = {"a", "a/b", "a/b/c", "a/b/c/d"};
  unsigned swept = 0;
  for (const std::uint32_t error : {FaultyFileSystem::kAccessDenied, std::uint32_t{3}}) {
    for (unsigned n = 1; n <= levels.size(); ++n) {
      SCOPED_TRACE("error " + std::to_string(error) + ", createDirectory #" + std::to_string(n));
      const std::string base = "run" + std::to_string(error) + "-" + std::to_string(n);
      std::filesystem::create_directory(_dir.path() / base);
      const CFile chain(_dir.wpath(base + "/a/b/c/d"));
      FaultyFileSystem::reset();
      FaultyFileSystem::arm(FileCall::kCreateDirectory, n, Fault::kFail, error);
      const Failure failure = qel_test::failureOf([&] { chain.mkdirs(); });
      ASSERT_TRUE(failure.thrown);
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
      ++swept;
    }
  }
  EXPECT_EQ(8u, swept);
}

TEST_F(FileFaults, EveryFailedCallOfAnOutputStreamIsThrownOrHarmless) {
  const std::string content = sampleContent(20000);
  const std::wstring path = _dir.wpath("out.bin");
  auto writeFile = [&] {
    CFileOutputStream out(CFile(path), false);
    writeAll(out, content, 3000);
    out.close();
  };
  const auto counts = qel_test::countCalls(writeFile);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpen)]);
  EXPECT_EQ(7u, counts[static_cast<int>(FileCall::kWrite)]);
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kClose)]);
  const unsigned swept = qel_test::sweepFaults(
      counts, {FileCall::kOpen, FileCall::kWrite, FileCall::kClose},
      [&] { _dir.writeFile("out.bin", "previous"); }, writeFile,
      [&](FileCall call, unsigned n, const Failure& failure) {
        if (call == FileCall::kClose) {
          // The file is written through: a failing close loses nothing, and
          // closing a stream reports nothing.
          EXPECT_FALSE(failure.thrown);
          EXPECT_TRUE(qel_test::sameBytes(content, _dir.readFile("out.bin")));
          return;
        }
        ASSERT_TRUE(failure.thrown);
        EXPECT_EQ(L"IOException", failure.type);
        EXPECT_EQ(FaultyFileSystem::messageFor(call, path), failure.message);
        // Everything before the failed write is there, nothing after it.
        const std::string expected =
            call == FileCall::kOpen ? "previous" : content.substr(0, (n - 1) * 3000);
        EXPECT_TRUE(qel_test::sameBytes(expected, _dir.readFile("out.bin")));
      });
  EXPECT_EQ(9u, swept);
}

TEST_F(FileFaults, AFailedAppendOpenLeavesTheFileAlone) {
  _dir.writeFile("log.txt", "kept");
  FaultyFileSystem::arm(FileCall::kOpen, 1);
  const Failure failure =
      qel_test::failureOf([&] { CFileOutputStream out(_dir.wpath("log.txt"), true); });
  ASSERT_TRUE(failure.thrown);
  EXPECT_EQ(_dir.wpath("log.txt"), failure.message);
  EXPECT_EQ("kept", _dir.readFile("log.txt"));
}

TEST_F(FileFaults, ShortWritesReportTheirCountAndLoseNothing) {
  const std::string content = sampleContent(20000);
  for (unsigned n = 1; n <= 8; ++n) {
    const bool every = n == 8;
    SCOPED_TRACE(every ? std::string("every write") : "write #" + std::to_string(n));
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kWrite, every ? 1 : n, Fault::kShort, 0, every);
    {
      CFileOutputStream out(_dir.wpath("short.bin"), false);
      if (!every && n == 1) {
        // The stream hands the short count to its caller.
        const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
        EXPECT_EQ(1500u, out.write(bytes, 3000));
        writeAll(out, content.substr(1500), 3000);
      } else {
        writeAll(out, content, 3000);
      }
    }
    EXPECT_GE(FaultyFileSystem::fired(), 1u);
    EXPECT_TRUE(qel_test::sameBytes(content, _dir.readFile("short.bin")));
  }
}

TEST_F(FileFaults, EveryFailedCallOfAnInputStreamIsThrownOrHarmless) {
  const std::string content = sampleContent(20000);
  _dir.writeFile("in.bin", content);
  const std::wstring path = _dir.wpath("in.bin");
  std::string got;
  auto readFile = [&] {
    CFileInputStream in(path);
    EXPECT_EQ(content.size(), in.available());
    got = readAll(in, 4096);
    in.close();
  };
  const auto counts = qel_test::countCalls(readFile);
  EXPECT_TRUE(qel_test::sameBytes(content, got));
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kOpen)]);
  EXPECT_EQ(6u, counts[static_cast<int>(FileCall::kRead)]);  // five blocks and the end
  EXPECT_EQ(1u, counts[static_cast<int>(FileCall::kClose)]);
  const unsigned swept = qel_test::sweepFaults(
      counts, {FileCall::kOpen, FileCall::kRead, FileCall::kClose}, [&] { got.clear(); }, readFile,
      [&](FileCall call, unsigned, const Failure& failure) {
        if (call == FileCall::kClose) {
          EXPECT_FALSE(failure.thrown);
          EXPECT_TRUE(qel_test::sameBytes(content, got));
          return;
        }
        ASSERT_TRUE(failure.thrown);
        EXPECT_EQ(L"IOException", failure.type);
        EXPECT_EQ(FaultyFileSystem::messageFor(call, path), failure.message);
      });
  EXPECT_EQ(8u, swept);
}

TEST_F(FileFaults, ShortReadsDeliverEveryByte) {
  const std::string content = sampleContent(20000);
  _dir.writeFile("in.bin", content);
  for (unsigned n = 1; n <= 7; ++n) {
    const bool every = n == 7;
    SCOPED_TRACE(every ? std::string("every read") : "read #" + std::to_string(n));
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kRead, every ? 1 : n, Fault::kShort, 0, every);
    CFileInputStream in(_dir.wpath("in.bin"));
    EXPECT_TRUE(qel_test::sameBytes(content, readAll(in, 4096)));
    EXPECT_GE(FaultyFileSystem::fired(), 1u);
  }
}

TEST_F(FileFaults, SkipPassesReadFailuresOnAndSurvivesShortReads) {
  const std::string content = sampleContent(5000);
  _dir.writeFile("in.bin", content);
  std::uint32_t status = 0;
  // 4500 bytes are skipped in five reads of up to 1024.
  for (unsigned n = 1; n <= 5; ++n) {
    SCOPED_TRACE("read #" + std::to_string(n));
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kRead, n);
    CFileInputStream in(_dir.wpath("in.bin"));
    const Failure failure = qel_test::failureOf([&] { in.skip(4500, &status); });
    ASSERT_TRUE(failure.thrown);
    EXPECT_EQ(L"CPosixFileSystem::readFile", failure.message);
  }
  FaultyFileSystem::reset();
  FaultyFileSystem::arm(FileCall::kRead, 1, Fault::kShort, 0, true);
  CFileInputStream in(_dir.wpath("in.bin"));
  EXPECT_EQ(4500u, in.skip(4500, &status));
  unsigned char rest[600];
  unsigned int got = 0;
  while (got < 500) {
    const unsigned int n = in.read(rest + got, 600 - got, &status);
    ASSERT_GT(n, 0u);
    got += n;
  }
  EXPECT_EQ(content.substr(4500), std::string(reinterpret_cast<char*>(rest), got));
}

}  // namespace
