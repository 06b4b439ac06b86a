// End-to-end tests of the qel command-line tool: each row is a command line,
// its exit status and fragments of what it prints.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "QelToolFixture.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using qel_tool_test::deepTree;
using qel_tool_test::kTree;
using qel_tool_test::QelTool;
using qel_tool_test::quote;
using qel_tool_test::repeat;
using qel_tool_test::Result;
using qel_tool_test::Row;

TEST_F(QelTool, ReadingCommands) {
  dir.writeFile("t.qel", kTree);
  dir.writeFile("trunc.qel", kTree.substr(0, 40));
  dir.writeFile("noend.qel", kTree.substr(0, kTree.size() - 14));
  dir.writeFile("extra.qel", kTree + "0009012001300\n");
  std::string badRecord = kTree;
  badRecord[23 + 4 + 2] = 'x';  // the type of the first field of record 2
  dir.writeFile("bad.qel", badRecord);
  dir.writeFile("cut.qel", "00100240010070021200\n0006");
  dir.writeFile("five.qel", "00100540010070021200\n");  // five fields declared, two held
  dir.writeFile("empty.qel", "");
  dir.writeFile("junk.qel", "hello, this is not an archive\n");
  fs::create_directory(path("sub"));
  dir.writeFile("a.txt", "abc");
  dir.writeFile("b.txt", "");
  expectRows({
      // 5 March 2013 was a Tuesday, Julian day 2456357.
      {"date 20130305T101500.250Z", 0,
       "date: 2013-03-05 10:15:00.250 UTC\njulian day: 2456357\nmilliseconds of the day: "
       "36900250\nday of week: Tuesday\nlocal: 20130305T101500\n|utc with milliseconds: "
       "20130305T101500.250Z\n|date only with dashes: 2013-03-05\n",
       ""},
      {"date now", 0, "julian day: ", ""},
      {"date 2013-02-30", 1, "", "qel: 2013-02-30"},
      {"show EXAMPLE", 0,
       "[network]\n  [proxy]\n    host = proxy.example.org\n|title = Qel Demo\\tSettings\n|"
       "avatar = <binary, 24 bytes> 89 50 4e 47|  server = alpha\n  server = beta\n",
       ""},
      {"show @t.qel", 0,
       "=[user]\n  name = Ann\n  [prefs]\n    color = red\n  icon = <binary, 4 bytes> 01 02 0a "
       "7f\n",
       ""},
      {"show --json @t.qel", 0,
       "\"format\": \"qel-tree\"|\"base64\": \"AQIKfw==\"|\"value\": \"red\"", ""},
      {"check EXAMPLE", 0, "OK, 15 components", ""},
      {"check @trunc.qel", 1, "", "truncated at record 2, byte offset 23"},
      {"check @noend.qel", 1, "", "truncated"},
      {"check @extra.qel", 1, "", "extra.qel"},
      {"records @t.qel", 0,
       "record 1 offset 0 length 18 fields 2\n  field 1: short 2\n  field 2: string \"user\"\n"
       "record 2 offset 23 length 26 fields 3\n|record 6 offset 124 length 27 fields 3\n  field 1: "
       "short 4\n  field 2: string "
       "\"icon\"\n  field 3: data <4 bytes> 01 02 0a 7f\nrecord 7",
       ""},
      {"records @bad.qel", 1,
       "=record 1 offset 0 length 18 fields 2\n  field 1: short 2\n  field 2: string \"user\"\n",
       "bad.qel: malformed record 2 at byte offset 23: the record's length, field count or a "
       "separator is damaged"},
      {"records @cut.qel", 1,
       "=record 1 offset 0 length 16 fields 2\n  field 1: integer 0\n  field 2: string \"12\"\n",
       "malformed record 2 at byte offset 21: the file ends inside the record"},
      {"records @five.qel", 0,
       "=record 1 offset 0 length 16 fields 5 (2 present)\n  field 1: integer 0\n  field 2: "
       "string \"12\"\n",
       ""},
      {"records @junk.qel", 1, "", "junk.qel: malformed record 1 at byte offset 0: the record's"},
      {"get EXAMPLE network/proxy/host", 0, "=proxy.example.org\n", ""},
      {"get EXAMPLE user/name", 0, "=Zo\xc3\xab\n", ""},
      {"get EXAMPLE network/nothing", 3, "", "settings.qel: no component at network/nothing"},
      {"get EXAMPLE network", 1, "", "composite"},
      {"md5 @a.txt @b.txt", 0,
       "=900150983cd24fb0d6963f7d28e17f72  @a.txt\nd41d8cd98f00b204e9800998ecf8427e  @b.txt\n", ""},
      {"md5 <@a.txt", 0, "=900150983cd24fb0d6963f7d28e17f72  -\n", ""},
      {"md5 @nope @a.txt", 1, "900150983cd24fb0d6963f7d28e17f72", "nope"},
      {"device", 0,
       "firmware version: \nhardware version: \nmanufacturer: \ndevice name: \nproduct type: |"
       "\nOS major version: |\nOS minor version: |\nunique identifier: |\napplication version: "
       "2.0.0\n|\ndevice key: |\nx-key: Brantelle - ",
       ""},
      {"--help", 0, "show|check|records|export|import|get|set|encode|decode|md5|device|date", ""},
      {"show --help", 0, "--json", ""},
      {"--version", 0, "qel 2.", ""},
      {"", 2, "", ""},
      {"show", 2, "", ""},
      {"frobnicate x", 2, "", ""},
      {"show --no-such-flag EXAMPLE", 2, "", ""},
      {"encode hello", 2, "", ""},  // no key
      {"encode --key k --iv 12 hello", 2, "", ""},
      {"decode --key secret 0a1b", 1, "", ""},
      // show, check and export load alike; records checks the file on its own.
      {"show @missing.qel", 1, "", "@missing.qel: no such file"},
      {"records @missing.qel", 1, "", "@missing.qel: no such file"},
      {"export @sub", 1, "", "@sub: is a directory, not a settings archive"},
      {"records @sub", 1, "", "@sub: is a directory, not a settings archive"},
      {"check @empty.qel", 1, "", "@empty.qel: empty file, not a settings"},
      {"show @junk.qel", 1, "",
       "@junk.qel: not a valid component tree: malformed at record 1, byte offset 0"},
  });
}

TEST_F(QelTool, EncodeAndDecodeRoundTrip) {
  const Result enc = run("encode --key secret --iv 0102030405060708 'hello world'");
  ASSERT_EQ(enc.status, 0) << enc.err;
  const std::string hex = enc.out.substr(0, enc.out.size() - 1);
  EXPECT_EQ(hex.size(), 32u);  // two blocks
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
  const std::string iv = " --iv 0102030405060708 " + hex;
  EXPECT_EQ(run("decode --key secret" + iv).out, "hello world\n");
  // "secret" in hexadecimal is the same key.
  EXPECT_EQ(run("decode --key-hex 736563726574" + iv).out, "hello world\n");
  EXPECT_NE(run("decode --key other" + iv).out, "hello world\n");
  EXPECT_NE(run("encode --key secret 'hello world'").out, enc.out);
}

TEST_F(QelTool, EditingCommandsChangeTheFileOrLeaveItAsItWas) {
  dir.writeFile("t.qel", kTree);
  dir.writeFile("part.qel", kTree.substr(0, 60));
  dir.writeFile("bad.json", "{\"format\": \"qel-tree\", \"children\": [ {\"type\": ");
  dir.writeFile("wrong.json",
                R"({"format":"qel-tree","version":1,"children":[{"type":"text","name":""}]})");
  dir.writeFile("dup.json", R"({"format":"qel-tree","version":1,"children":[)"
                            R"({"type":"text","name":"k","value":"Zo\u00eb"},)"
                            R"({"type":"text","name":"k","value":"two"},)"
                            R"({"type":"binary","name":"b","base64":""}]})");
  dir.writeFile("nul.json", R"({"format":"qel-tree","version":1,"children":[)"
                            R"({"type":"text","name":"k","value":"x\u0000y"}]})");
  dir.writeFile("deep.json", R"({"format":"qel-tree","version":1,"children":[)" +
                                 repeat(R"({"type":"composite","name":"n","children":[)", 1001) +
                                 repeat("]}", 1002));
  expectRows({
      {"set @t.qel user/prefs/color blue", 0, "=", ""},
      {"set @t.qel other/deep/key 'a b\tc'", 0, "=", ""},
      {"get @t.qel user/prefs/color", 0, "=blue\n", ""},
      {"get @t.qel other/deep/key", 0, "=a b\tc\n", ""},
      {"get @t.qel user/name", 0, "=Ann\n", ""},
      {"check @t.qel", 0, "OK, 8 components", ""},
      {"set @t.qel user/icon x", 1, "", "t.qel: user/icon is not a text value"},
      {"set @missing.qel a/b c", 1, "", "@missing.qel: no such file"},
      {"set @none/t.qel a/b c", 1, "", "@none/t.qel: no such file"},
      {"set @part.qel user/name Bob", 1, "", "part.qel"},
      {"import @bad.json @t.qel", 1, "", "bad.json: invalid JSON"},
      {"import @wrong.json @t.qel", 1, "", "name"},
      {"import @deep.json @t.qel", 1, "", "deep.json: tree nested deeper than 1000 levels"},
      // Not in code page 1252: refused with the path and the character.
      {"set @t.qel user/name '\xe6\x97\xa5 \xe2\x82\xac'", 1, "",
       "t.qel: user/name: \"\xe6\x97\xa5\" (U+65E5) cannot be stored in code page 1252"},
      {"get @t.qel user/name", 0, "=Ann\n", ""},
      {"--lossy set @t.qel user/name '\xe6\x97\xa5 \xe2\x82\xac'", 0, "=",
       "warning: @t.qel: user/name: 1 character"},
      {"get @t.qel user/name", 0, "=? \xe2\x82\xac\n", ""},
      // Duplicates, bytes of the code page and NULs survive JSON.
      {"import @dup.json @dup.qel", 0, "=", ""},
      {"show @dup.qel", 0, "k = Zo\xc3\xab\nk = two\n", ""},
      {"import @nul.json @nul.qel", 0, "=", ""},
      {"export @nul.qel", 0, R"("x\u0000y")", ""},
  });
  EXPECT_EQ(dir.readFile("part.qel"), kTree.substr(0, 60));
  // 0xeb is e with diaeresis in the default page: one byte in the archive.
  EXPECT_NE(dir.readFile("dup.qel").find("07003Zo\xeb"), std::string::npos);
  EXPECT_NE(dir.readFile("nul.qel").find(std::string("07003x\0y00\n", 11)), std::string::npos);
  // Exporting and importing again gives the same bytes.
  dir.writeFile("limit.qel", deepTree(999));  // a value 1000 levels down is at the limit
  fs::copy_file(std::string(QEL_SOURCE_DIR) + "/examples/settings.qel", path("ex.qel"));
  for (const std::string name : {"dup.qel", "nul.qel", "t.qel", "limit.qel", "ex.qel"}) {
    ASSERT_EQ(run("export @" + name + " -o @out.json").status, 0) << name;
    ASSERT_EQ(run("import @out.json @back.qel").status, 0) << name;
    EXPECT_EQ(dir.readFile("back.qel"), dir.readFile(name)) << name;
  }
  EXPECT_EQ(dir.names(),
            (std::vector<std::string>{"back.qel", "bad.json", "deep.json", "dup.json", "dup.qel",
                                      "ex.qel", "limit.qel", "nul.json", "nul.qel", "out.json",
                                      "part.qel", "t.qel", "wrong.json"}));
}

// Names and values in double-byte pages: stored as the page's bytes,
// printed as UTF-8, what the page lacks refused; JSON brings back the bytes.
TEST_F(QelTool, DoubleByteCodePagesHoldTheirText) {
  dir.writeFile("t.qel", kTree);
  const std::string name = "\xe5\x90\x8d\xe5\x89\x8d";
  const std::string value = "\xe6\x97\xa5\xe6\x9c\xac \xe8\xa1\xa8";
  expectRows({
      {("--codepage 932 set @t.qel 'user/" + name + "' '" + value + "'").c_str(), 0, "=", ""},
      {("--codepage 932 get @t.qel user/" + name).c_str(), 0, ("=" + value + "\n").c_str(), ""},
      {"--codepage 932 show @t.qel", 0, ("  " + name + " = " + value + "\n").c_str(), ""},
      {"--codepage 932 set @t.qel user/k '\xed\x95\x9c'", 1, "",
       "\"\xed\x95\x9c\" (U+D55C) cannot be stored in code page 932"},
      {"--codepage 949 set @t.qel user/k '\xed\x95\x9c'", 0, "=", ""},
      {"--codepage 949 get @t.qel user/k", 0, "=\xed\x95\x9c\n", ""},
      {"--codepage 54936 show @t.qel", 2, "", "unsupported code page 54936"},
  });
  const std::string bytes = dir.readFile("t.qel");
  EXPECT_NE(bytes.find("07004\x96\xbc\x91\x4f"
                       "07007\x93\xfa\x96\x7b \x95\x5c"
                       "00\n"),
            std::string::npos);
  EXPECT_NE(bytes.find("07001k07002\xc7\xd1"
                       "00\n"),
            std::string::npos);
  ASSERT_EQ(run("--codepage 932 export @t.qel -o @out.json").status, 0);
  EXPECT_NE(dir.readFile("out.json").find("\"" + value + "\""), std::string::npos);
  ASSERT_EQ(run("--codepage 932 import @out.json @back.qel").status, 0);
  EXPECT_EQ(dir.readFile("back.qel"), bytes);
}

TEST_F(QelTool, DeepTreesPrintButDoNotBecomeJson) {
  // Deep enough that walking it by recursion would exhaust the stack.
  dir.writeFile("deeper.qel", deepTree(300000));
  dir.writeFile("deep.qel", deepTree(3000));
  // Indented 64 levels deep at most, and then numbered.
  const std::string indented = "\n" + std::string(128, ' ') + "(depth 3000) name = Ann\n";
  expectRows(
      {{"check @deeper.qel", 0, "=@deeper.qel: OK, 300001 components\n", ""},
       {"show @deep.qel", 0, indented.c_str(), ""},
       {"export @deep.qel -o @deep.json", 1, "", "deep.qel: tree nested deeper than 1000 levels"},
       {"show --json @deep.qel", 1, "", "nested deeper than 1000 levels"}});
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"deep.qel", "deeper.qel"}));
}

TEST_F(QelTool, ProgressBarsAppearOnlyOnATerminal) {
  // Large enough that reading it takes several blocks.
  dir.writeFile("big.qel", repeat("001A032001107004name07003Ann00\n", 4000) + "0009012001300\n");
  const std::string onTerminal = "--version >/dev/null; QEL_PROGRESS_DELAY_MS=0 script -qec ";
  expectRows(
      {{(onTerminal + "\"TOOL export @big.qel -o @big.json\" /dev/null").c_str(), 0,
        "/big.qel |% [", ""},
       {(onTerminal + "\"TOOL md5 @big.qel\" /dev/null").c_str(), 0, "% [|  @big.qel\r\n", ""},
       {"export @big.qel -o @quiet.json", 0, "=", ""}});
  EXPECT_EQ(dir.readFile("big.json"), dir.readFile("quiet.json"));
}

// Names that are not UTF-8 open exactly the file whose bytes they are, never
// the one named by their replaced form, which is there too.
TEST_F(QelTool, FileNamesThatAreNotUtf8AreOpenedByteForByte) {
  const std::string lossy = "a\xEF\xBF\xBD\xEF\xBF\xBD.qel";
  dir.writeFile("a\xff\xfe.qel", kTree);
  dir.writeFile(lossy, "lossy");
  dir.writeFile("r\x80.qel", kTree);
  fs::permissions(path("r\x80.qel"), fs::perms(0444));
  expectRows({{"show @a\xff\xfe.qel", 0, "name = Ann", ""},
              {"set @a\xff\xfe.qel user/name Bob", 0, "=", ""},
              {"get @a\xff\xfe.qel user/name", 0, "=Bob\n", ""},
              {"export @a\xff\xfe.qel -o @\xC0\xAF.json", 0, "=", ""},
              {"import @\xC0\xAF.json @t\xE2\x82.qel", 0, "=", ""},
              {"md5 @a\xff\xfe.qel", 0, "  @a\xff\xfe.qel\n", ""},
              {"set @r\x80.qel user/name Bob", 1, "", "@r\x80.qel is read-only"},
              {"show @m\xE2\x82.qel", 1, "", "@m\xE2\x82.qel: no such file"}});
  EXPECT_EQ(dir.readFile("t\xE2\x82.qel"), dir.readFile("a\xff\xfe.qel"));
  EXPECT_EQ("lossy", dir.readFile(lossy));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{lossy, "a\xff\xfe.qel", "r\x80.qel",
                                                   "t\xE2\x82.qel", "\xC0\xAF.json"}));
}

// How files are replaced is the file layer's; here: which saves may stream
// into special files, and how failures are told.
TEST_F(QelTool, ExportsStreamIntoSpecialFilesEditsDoNotAndFailuresSayWhy) {
  dir.writeFile("t.qel", kTree);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  expectRows({{"set @t.qel user/name Bob", 0, "=", ""},
              {"export @t.qel -o /dev/null", 0, "=", ""},
              {"export @t.qel -o -", 0, "\"Bob\"", ""},
              {"set @fifo a/b c", 1, "", "fifo is not a regular file"},
              {"export @t.qel -o /dev/full", 1, "", "/dev/full: No space left on device"},
              {"export @t.qel >/dev/full", 1, "", "standard output: No space left on device"}});
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"fifo", "t.qel"}));
}

TEST_F(QelTool, EditsWaitForTheLockAndReplaceReadOnlyFilesOnlyWhenForced) {
  dir.writeFile("t.qel", kTree);
  ASSERT_EQ(run("export @t.qel -o @t.json").status, 0);
  // Close-on-exec, so that the processes the test starts do not hold it.
  const int held = ::open(path("t.qel").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  expectRows({{"--wait 0 set @t.qel user/name Bob", 1, "", "t.qel: locked by another process"},
              {"--wait 0 import @t.json @t.qel", 1, "", "locked by another process"}});
  // Released while the next edit waits (by default): the edit goes through.
  std::thread release([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(held);
  });
  const Result waited = run("set @t.qel user/name Bob");
  release.join();
  EXPECT_EQ(waited.status, 0) << waited.err;
  ::chmod(path("t.qel").c_str(), 0444);
  expectRows({{"get @t.qel user/name", 0, "=Bob\n", ""},
              {"set @t.qel user/name Eve", 1, "", "t.qel is read-only"},
              {"get @t.qel user/name", 0, "=Bob\n", ""},
              {"--force set @t.qel user/name Eve", 0, "=", ""},
              {"get @t.qel user/name", 0, "=Eve\n", ""}});
  EXPECT_EQ(0444u, static_cast<unsigned>(fs::status(path("t.qel")).permissions()));
}

}  // namespace
