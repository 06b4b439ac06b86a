// End-to-end tests of addressing, get and set, rm and mv, and the cipher's
// key options on the built qel tool.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "QelToolFixture.h"

namespace {

using qel_tool_test::QelTool;
using qel_tool_test::quote;
using qel_tool_test::Result;

// An "@" in a command line of a row, where @ alone stands for the test
// directory.
const std::string kAt = "\"$(printf '\\100')\"";

std::string hex(std::size_t n, int digits) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%0*zX", digits, n);
  return buffer;
}

// The records the library writes for a composite's start and end, a text
// value and a binary value.
std::string open(const std::string& name) {
  return hex(14 + name.size(), 4) + "02" + "20012" + "07" + hex(name.size(), 3) + name + "00\n";
}
const std::string kEnd = "0009012001300\n";
std::string text(const std::string& name, const std::string& value) {
  return hex(19 + name.size() + value.size(), 4) + "03" + "20011" + "07" + hex(name.size(), 3) +
         name + "07" + hex(value.size(), 3) + value + "00\n";
}
std::string data(const std::string& name, const std::string& bytes) {
  return hex(19 + name.size() + bytes.size(), 4) + "03" + "20014" + "07" + hex(name.size(), 3) +
         name + "09" + hex(bytes.size(), 3) + bytes + "00\n";
}

// As the library stores a tree it loaded: each list sorted but for the
// child added last, which ends it.
const std::string kStored =
    text("a", "1") + text("z", "2") + open("b") + text("q", "3") + text("c", "4") + kEnd + kEnd;

TEST_F(QelTool, SetAndGetChangeOnlyTheRecordsOfTheirPath) {
  dir.writeFile("t.qel", kStored);
  expectRows({{"set @t.qel b/c 4", 0, "=", ""}});
  EXPECT_EQ(dir.readFile("t.qel"), kStored);
  expectRows({{"set @t.qel b/c four", 0, "=", ""}, {"get @t.qel b/c", 0, "=four\n", ""}});
  EXPECT_EQ(dir.readFile("t.qel"), text("a", "1") + text("z", "2") + open("b") + text("q", "3") +
                                       text("c", "four") + kEnd + kEnd);
  // b gains a child: its last one is sorted in and the new one ends it.
  dir.writeFile("t.qel", kStored);
  expectRows({{"set @t.qel b/n/x v", 0, "=", ""}});
  EXPECT_EQ(dir.readFile("t.qel"), text("a", "1") + text("z", "2") + open("b") + text("c", "4") +
                                       text("q", "3") + open("n") + text("x", "v") + kEnd + kEnd +
                                       kEnd);
}

TEST_F(QelTool, PathsReachDuplicatesAndEscapedNames) {
  dir.writeFile("t.qel", text("server", "alpha") + text("server", "beta") + kEnd);
  expectRows({
      {"get @t.qel server", 0, "=alpha\n", ""},
      {"get @t.qel 'server[1]'", 0, "=beta\n", ""},
      {"get @t.qel 'server[2]'", 3, "", "t.qel: no component at server[2]"},
      {"set @t.qel 'server[1]' gamma", 0, "=", ""},
      {"set @t.qel 'server[2]' delta", 0, "=", ""},
      {"set @t.qel 'server[4]' x", 1, "", "server[4]"},
      {"set @t.qel 'a\\/b' slash", 0, "=", ""},
      {"set @t.qel 'w\\[0]/x\\\\y' bracket", 0, "=", ""},
      {"get @t.qel 'a\\/b'", 0, "=slash\n", ""},
      {"get @t.qel 'a/b'", 3, "", "no component at a/b"},
      {"get @t.qel 'w\\[0]/x\\\\y'", 0, "=bracket\n", ""},
      {"get @t.qel 'server\\q'", 1, "", "server\\q"},
      {"set @t.qel server/x y", 1, "", "t.qel: server"},
      {"show @t.qel", 0,
       "=a/b = slash\nserver = alpha\nserver = gamma\nserver = delta\n"
       "[w[0]]\n  x\\\\y = bracket\n",
       ""},
  });
}

TEST_F(QelTool, GetPrintsTheTypeAndValueAsJson) {
  dir.writeFile("t.qel", open("u") + text("name", "Zo\xeb\tX") + data("icon", "\x01\n\xff") +
                             open("empty") + kEnd + kEnd + kEnd);
  expectRows({
      {"get --json @t.qel u/name", 0,
       "={\n  \"type\": \"text\",\n  \"value\": \"Zo\xc3\xab\\tX\"\n}\n", ""},
      {"get --json @t.qel u/icon", 0,
       "={\n  \"type\": \"binary\",\n  \"size\": 3,\n  \"hex\": \"010aff\",\n  \"base64\": "
       "\"AQr/\"\n}\n",
       ""},
      {"get @t.qel u/icon", 0, "=010aff\n", ""},
      {"get --json @t.qel u/empty", 1, "", "u/empty is a composite"},
      {"get --json @t.qel u/none", 3, "=", "no component at u/none"},
  });
}

TEST_F(QelTool, SetTakesValuesFromStandardInputAndFiles) {
  dir.writeFile("t.qel", kStored);
  dir.writeFile("line.txt", "from input\n");
  dir.writeFile("two.txt", "two\n\n");
  dir.writeFile("bytes.bin", std::string("\0\n\xff", 3));
  // "@" followed by a path in the test directory (@ alone stands for it).
  const std::string bytes = "set --binary @t.qel bin " + kAt + "@bytes.bin";
  const std::string missing = "set --binary @t.qel bin " + kAt + "@missing";
  const std::string intoText = "set --binary @t.qel k " + kAt + "@bytes.bin";
  expectRows({
      {"set @t.qel k - <@line.txt", 0, "=", ""},
      {"get @t.qel k", 0, "=from input\n", ""},
      // Only one line feed ends the value; the other is refused.
      {"set @t.qel k - <@two.txt", 1, "", "line feed"},
      {bytes.c_str(), 0, "=", ""},
      {"get @t.qel bin", 0, "=000aff\n", ""},
      {"set --binary @t.qel bin2 - <@line.txt", 0, "=", ""},
      {"get @t.qel bin2", 0, "=66726f6d20696e7075740a\n", ""},
      {"set --binary @t.qel bin plain", 2, "", "the value is"},
      {missing.c_str(), 1, "", "missing: no such file"},
      {intoText.c_str(), 1, "", "k is not a binary value"},
      {"set @t.qel bin text", 1, "", "bin is not a text value"},
      {"get @t.qel k", 0, "=from input\n", ""},
  });
}

TEST_F(QelTool, RmAndMvEditWholeSubtrees) {
  const std::string servers =
      text("server", "alpha") + text("server", "beta") + open("s") + text("server", "gamma") + kEnd;
  dir.writeFile("t.qel", servers + kEnd);
  expectRows({
      // Nothing is removed when a path names nothing.
      {"rm @t.qel 'server[1]' nothing", 3, "=", "t.qel: no component at nothing"},
      {"mv @t.qel nothing x", 3, "=", "t.qel: no component at nothing"},
      {"rm @t.qel ''", 1, "", "root"},
  });
  EXPECT_EQ(dir.readFile("t.qel"), servers + kEnd);
  expectRows({
      // Both indexes name nodes of the tree as it was loaded.
      {"rm @t.qel 'server[0]' 'server[1]'", 0, "=", ""},
      {"show @t.qel", 0, "=[s]\n  server = gamma\n", ""},
      {"rm -f @t.qel s nothing s/server", 0, "=", ""},
      {"show @t.qel", 0, "=", ""},
      {"rm -f @t.qel nothing", 0, "=", ""},
      {"rm @missing.qel a", 1, "", "missing.qel: no such file"},
  });
  dir.writeFile("t.qel", servers + kEnd);
  expectRows({
      {"mv @t.qel s new/place", 0, "=", ""},
      {"mv @t.qel 'server[1]' new/place/b", 0, "=", ""},
      {"mv @t.qel server new/place/server", 1, "", "exists"},
      {"mv @t.qel new new/place/inner", 1, "", "inside"},
      {"show @t.qel", 0, "=server = alpha\n[new]\n  [place]\n    server = gamma\n    b = beta\n",
       ""},
  });
}

TEST_F(QelTool, KeysComeFromFilesAndTheEnvironment) {
  dir.writeFile("t.qel", kStored);
  dir.writeFile("key", "sekrit\n");
  dir.writeFile("empty", "");
  dir.writeFile("secret.txt", "hunter2\n");
  const Result reference = run("encode --key sekrit hunter2");
  ASSERT_EQ(reference.status, 0) << reference.err;
  const std::string encoded = reference.out;
  expectRows({
      {"encode --key-file @key hunter2", 0, ("=" + encoded).c_str(), ""},
      {"encode --key-file - hunter2 <@key", 0, ("=" + encoded).c_str(), ""},
      {"encode --key-file @key - <@secret.txt", 0, ("=" + encoded).c_str(), ""},
      {"encode --key-file - - <@key", 2, "", "standard input"},
      {"encode --key-file @empty hunter2", 2, "", "empty"},
      {"encode --key x --key-file @key hunter2", 2, "", ""},
      {"set --encode --key-file @key @t.qel pw - <@secret.txt", 0, "=", ""},
      {"get @t.qel pw", 0, ("=" + encoded).c_str(), ""},
      {"get --decode --key-file @key @t.qel pw", 0, "=hunter2\n", ""},
      {"get --decode --key sekrit --raw @t.qel pw", 0, "=hunter2", ""},
      {"get --decode --key-file @key @t.qel a", 1, "", "a: not an encoded value"},
      {"set --encode --key-file - @t.qel pw - <@key", 2, "", "standard input"},
      {"set --key-file @key @t.qel pw plain", 2, "", "need --encode"},
      {"get --raw @t.qel pw", 2, "", "need --decode"},
  });
  ::setenv("QEL_KEY", "sekrit", 1);
  expectRows({
      {"encode hunter2", 0, ("=" + encoded).c_str(), ""},
      {("decode " + encoded).c_str(), 0, "=hunter2\n", ""},
      {"get --decode @t.qel pw", 0, "=hunter2\n", ""},
      // An option wins over the environment.
      {"get --decode --key-hex 73656b726974 @t.qel pw", 0, "=hunter2\n", ""},
  });
  ::unsetenv("QEL_KEY");
  const Result wrong = run("get --decode --key badkey123 @t.qel pw");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("t.qel: pw: the deciphered value is not printable text"),
            std::string::npos)
      << wrong.err;
  EXPECT_EQ(wrong.err.find("badkey123"), std::string::npos) << wrong.err;
  // Away from a terminal the bytes go out as they are, one line feed added.
  const Result raw = run("get --decode --key badkey123 --raw @t.qel pw");
  EXPECT_EQ(raw.status, 0);
  EXPECT_EQ(wrong.out, raw.out + "\n");
  EXPECT_EQ(raw.out.find("\\x"), std::string::npos) << raw.out;
}

TEST_F(QelTool, UndecipherableBytesReachATerminalEscaped) {
  if (std::system("script -qec true /dev/null >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no script(1) to give the tool a terminal";
  }
  const Result encoded = run("encode --key right 'text'");
  ASSERT_EQ(encoded.status, 0);
  const std::string value = encoded.out.substr(0, encoded.out.size() - 1);
  auto onTerminal = [&](const std::string& args) {
    const std::string command = "script -qec " +
                                quote(std::string(QEL_TOOL_PATH) + " " + args + " 2>/dev/null") +
                                " /dev/null";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got; pipe != nullptr && (got = std::fread(buffer, 1, 4096, pipe)) > 0;) {
      out.append(buffer, got);
    }
    if (pipe != nullptr) {
      pclose(pipe);
    }
    return out;
  };
  const std::string shown = onTerminal("decode --key wrong " + value);
  EXPECT_NE(shown.find("\\x"), std::string::npos) << shown;
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte >= 0x20 ? byte < 0x7f : (c == '\r' || c == '\n')) << shown;
  }
  EXPECT_EQ(onTerminal("decode --key right " + value), "text\r\n");
}

// The key of a command that waits for the edit lock, as others see its
// command line.
TEST_F(QelTool, KeysNeverShowInTheProcessList) {
  dir.writeFile("t.qel", kStored);
  dir.writeFile("key", "topsecretkey\n");
  dir.writeFile("value.txt", "topsecretvalue\n");
  const int held = ::open(path("t.qel").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  auto start = [&](const std::string& args, const std::string& errors) {
    const std::string command =
        "exec " + expand("TOOL --wait 60 " + args) + " 2>" + quote(path(errors));
    const pid_t child = ::fork();
    if (child == 0) {
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return child;
  };
  auto commandLine = [&](pid_t process) {
    // Once the shell has become the tool, its command line names the value.
    for (int tries = 0; tries < 500; ++tries) {
      std::string line = qel_test::contentOf("/proc/" + std::to_string(process) + "/cmdline");
      if (line.find("--wait") != std::string::npos) {
        return line;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::string();
  };
  const pid_t fromFile = start("set --encode --key-file @key @t.qel pw - <@value.txt", "1.txt");
  ::setenv("QEL_KEY", "topsecretkey", 1);
  const pid_t fromEnvironment = start("set --encode @t.qel pw2 - <@value.txt", "2.txt");
  ::unsetenv("QEL_KEY");
  for (const pid_t process : {fromFile, fromEnvironment}) {
    const std::string line = commandLine(process);
    EXPECT_NE(line.find("--wait"), std::string::npos);
    EXPECT_EQ(line.find("topsecret"), std::string::npos) << line;
  }
  ::close(held);
  for (const pid_t process : {fromFile, fromEnvironment}) {
    int status = -1;
    ASSERT_EQ(::waitpid(process, &status, 0), process);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << dir.readFile("1.txt") << dir.readFile("2.txt");
  }
  expectRows({{"get --decode --key-file @key @t.qel pw", 0, "=topsecretvalue\n", ""},
              {"get --decode --key-file @key @t.qel pw2", 0, "=topsecretvalue\n", ""}});
}

}  // namespace
