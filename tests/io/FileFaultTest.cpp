// Every disk call of the file streams and of mkdirs is failed in turn (or
// made short): each failure must come out as the host layer's exception,
// leave no file open and lose no byte that was reported written.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/io/BufOutputStream.h"
#include "qel/io/File.h"
#include "qel/io/FileStream.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

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
  return std::string(reinterpret_cast<const char*>(collected.data()), collected.used());
}

class FileFaults : public ::testing::Test {
 protected:
  qel_test::FaultScope _faults;
  qel_test::TempDir _dir;
  const std::string _content = sampleContent(20000);
};

TEST_F(FileFaults, InjectedFailuresLookLikeTheHostsOwn) {
  // A missing directory on the way, and /dev/full answering every write.
  const std::wstring missing = _dir.wpath("none/f.bin");
  const Failure real = qel_test::failureOf([&] { CFileOutputStream out(missing, false); });
  EXPECT_EQ(qel_test::exceptionTypeFor(3) + L" " + missing, real.type + L" " + real.message);
  const unsigned char byte = 'x';
  CFileOutputStream full(L"/dev/full", false);
  const Failure host = qel_test::failureOf([&] { full.write(&byte, 1); });
  EXPECT_EQ(L"IOException " + FaultyFileSystem::messageFor(FileCall::kWrite, L""),
            host.type + L" " + host.message);
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
    got = readAll(in);
    in.close();
  };
  // Seven writes of 3000; five blocks of 4096 read and the end.
  const auto writes = qel_test::countCalls(writeFile);
  EXPECT_EQ((std::array<unsigned, 4>{1, 0, 7, 1}),
            (std::array<unsigned, 4>{writes[0], writes[1], writes[2], writes[3]}));
  const auto reads = qel_test::countCalls(readFile);
  EXPECT_EQ((std::array<unsigned, 4>{1, 6, 0, 1}),
            (std::array<unsigned, 4>{reads[0], reads[1], reads[2], reads[3]}));
  for (const bool writing : {true, false}) {
    SCOPED_TRACE(writing ? "writing" : "reading");
    const unsigned swept = qel_test::sweepFaults(
        writing ? writes : reads,
        {FileCall::kOpen, writing ? FileCall::kWrite : FileCall::kRead, FileCall::kClose},
        [&] {
          got.clear();
          _dir.writeFile("f.bin", writing ? "previous" : _content);
        },
        writing ? std::function<void()>(writeFile) : std::function<void()>(readFile),
        [&](FileCall call, unsigned n, const Failure& failure) {
          const std::string& seen = writing ? _dir.readFile("f.bin") : got;
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
    EXPECT_EQ(writing ? 9u : 8u, swept);
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
    const unsigned calls = call == FileCall::kWrite ? 7 : 6;
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
        EXPECT_TRUE(qel_test::sameBytes(_content, readAll(in)));
      }
      EXPECT_GE(FaultyFileSystem::fired(), 1u);
    }
  }
}

TEST_F(FileFaults, SkipPassesReadFailuresOnAndSurvivesShortReads) {
  _dir.writeFile("in.bin", _content.substr(0, 5000));
  std::uint32_t status = 0;
  // 4500 bytes are skipped in five reads of up to 1024.
  for (unsigned n = 1; n <= 5; ++n) {
    SCOPED_TRACE("read #" + std::to_string(n));
    FaultyFileSystem::reset();
    FaultyFileSystem::arm(FileCall::kRead, n);
    CFileInputStream in(_dir.wpath("in.bin"));
    EXPECT_EQ(L"CPosixFileSystem::readFile",
              qel_test::failureOf([&] { in.skip(4500, &status); }).message);
  }
  FaultyFileSystem::reset();
  FaultyFileSystem::arm(FileCall::kRead, 1, Fault::kShort, 0, true);
  CFileInputStream in(_dir.wpath("in.bin"));
  EXPECT_EQ(4500u, in.skip(4500, &status));
  EXPECT_EQ(_content.substr(4500, 500), readAll(in));
}

}  // namespace
