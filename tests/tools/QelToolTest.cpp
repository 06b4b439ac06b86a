// End-to-end tests of the qel command-line tool.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

class QelTool : public ::testing::Test {
 protected:
  // Runs qel with the given (already quoted) arguments.
  // before is shell text run first in the same shell (such as a ulimit).
  Result run(const std::string& args, const std::string& stdinFile = "",
             const std::string& before = "") {
    const std::string errFile = (dir.path() / "stderr.txt").string();
    std::string command = before + std::string(QEL_TOOL_PATH) + " " + args + " 2>" + quote(errFile);
    if (!stdinFile.empty()) {
      command += " <" + quote(stdinFile);
    }
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      return result;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
      result.out.append(buffer, got);
    }
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.err = dir.readFile("stderr.txt");
    return result;
  }

  std::string path(const std::string& name) const { return (dir.path() / name).string(); }
  std::string q(const std::string& name) const { return quote(path(name)); }

  static std::string example() {
    return quote(std::string(QEL_SOURCE_DIR) + "/examples/settings.qel");
  }

  static int lineCount(const std::string& text) {
    int count = 0;
    for (const char c : text) {
      count += c == '\n' ? 1 : 0;
    }
    return count;
  }

  // A one-line diagnostic naming the file.
  static void expectOneLineError(const Result& r, int status, const std::string& name,
                                 const std::string& what) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(lineCount(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(what), std::string::npos) << r.err;
  }

  qel_test::TempDir dir;
};

const char kTree[] =
    "0012022001207004user00\n"
    "001A032001107004name07003Ann00\n"
    "0013022001207005prefs00\n"
    "001B032001107005color07003red00\n"
    "0009012001300\n"
    "001B032001407004icon09004\x01\x02\n\x7f"
    "00\n"
    "0009012001300\n"
    "0009012001300\n";

TEST_F(QelTool, DatePrintsFieldsJulianDayAndEveryTextForm) {
  // 5 March 2013 was a Tuesday, Julian day 2456357 (2451545 for 1 January
  // 2000 plus 4812 days).
  const Result r = run("date 20130305T101500.250Z");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("date: 2013-03-05 10:15:00.250 UTC\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("julian day: 2456357\n"), std::string::npos);
  EXPECT_NE(r.out.find("day of week: Tuesday\n"), std::string::npos);
  EXPECT_NE(r.out.find("local: 20130305T101500\n"), std::string::npos);
  EXPECT_NE(r.out.find("utc with milliseconds: 20130305T101500.250Z\n"), std::string::npos);
  EXPECT_NE(r.out.find("date only with dashes: 2013-03-05\n"), std::string::npos);
  EXPECT_EQ(run("date now").status, 0);
  const Result bad = run("date 2013-02-30");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("2013-02-30"), std::string::npos) << bad.err;
  EXPECT_EQ(run("date").status, 2);
}

TEST_F(QelTool, ShowPrintsTheOutlineOfTheExample) {
  const Result r = run("show " + example());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_NE(r.out.find("[network]\n  [proxy]\n    host = proxy.example.org\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("title = Qel Demo\\tSettings\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("avatar = <binary, 24 bytes> 89 50 4e 47"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  server = alpha\n  server = beta\n"), std::string::npos) << r.out;
}

TEST_F(QelTool, ShowEscapesControlCharactersAndPreviewsBinaries) {
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
  const Result r = run("show " + q("t.qel"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "[user]\n"
            "  name = Ann\n"
            "  [prefs]\n"
            "    color = red\n"
            "  icon = <binary, 4 bytes> 01 02 0a 7f\n");
}

TEST_F(QelTool, ShowJsonPrintsTheTree) {
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
  const Result r = run("show --json " + q("t.qel"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"format\": \"qel-tree\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"base64\": \"AQIKfw==\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"value\": \"red\""), std::string::npos) << r.out;
}

TEST_F(QelTool, CheckAcceptsAGoodTree) {
  const Result r = run("check " + example());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("OK, 15 components"), std::string::npos) << r.out;
}

TEST_F(QelTool, CheckRejectsATruncatedTree) {
  const std::string tree(kTree, sizeof kTree - 1);
  dir.writeFile("t.qel", tree.substr(0, 40));
  const Result r = run("check " + q("t.qel"));
  expectOneLineError(r, 1, "t.qel", "RET_END_OF_DATA at record 2, byte offset 23");
}

TEST_F(QelTool, CheckRejectsATreeWithoutItsEnd) {
  const std::string tree(kTree, sizeof kTree - 1);
  dir.writeFile("t.qel", tree.substr(0, tree.size() - 14));
  const Result r = run("check " + q("t.qel"));
  expectOneLineError(r, 1, "t.qel", "RET_END_OF_DATA");
}

TEST_F(QelTool, CheckRejectsRecordsAfterTheEndOfTheTree) {
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1) + "0009012001300\n");
  const Result r = run("check " + q("t.qel"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("t.qel"), std::string::npos) << r.err;
}

TEST_F(QelTool, BadInputsGiveOneLineAndStatusOne) {
  dir.writeFile("empty.qel", "");
  dir.writeFile("junk.qel", "hello, this is not an archive\n");
  std::filesystem::create_directory(dir.path() / "sub");
  for (const char* command : {"show", "check", "export"}) {
    SCOPED_TRACE(command);
    expectOneLineError(run(std::string(command) + " " + q("missing.qel")), 1, "missing.qel",
                       "no such file");
    expectOneLineError(run(std::string(command) + " " + q("sub")), 1, "sub", "directory");
    expectOneLineError(run(std::string(command) + " " + q("empty.qel")), 1, "empty.qel", "empty");
    expectOneLineError(run(std::string(command) + " " + q("junk.qel")), 1, "junk.qel",
                       "RET_BAD_FORMAT");
  }
  expectOneLineError(run("records " + q("junk.qel")), 1, "junk.qel",
                     "malformed record 1 at byte offset 0: RET_BAD_FORMAT");
  expectOneLineError(run("records " + q("sub")), 1, "sub", "directory");
}

TEST_F(QelTool, UsageErrorsGiveStatusTwo) {
  EXPECT_EQ(run("").status, 2);
  EXPECT_EQ(run("show").status, 2);
  EXPECT_EQ(run("frobnicate x").status, 2);
  EXPECT_EQ(run("show --no-such-flag " + example()).status, 2);
  EXPECT_EQ(run("encode hello").status, 2);  // no key
  EXPECT_EQ(run("encode --key k --iv 12 hello").status, 2);
}

TEST_F(QelTool, RecordsListsEveryRecord) {
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
  const Result r = run("records " + q("t.qel"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("record 1 offset 0 length 18 fields 2\n"
                       "  field 1: short 2\n"
                       "  field 2: string \"user\"\n"
                       "record 2 offset 23 length 26 fields 3\n"),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("record 6 offset 124 length 27 fields 3\n"
                       "  field 1: short 4\n"
                       "  field 2: string \"icon\"\n"
                       "  field 3: data <4 bytes> 01 02 0a 7f\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("record 8 offset"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("record 9"), std::string::npos) << r.out;
}

TEST_F(QelTool, RecordsStopsAtAMalformedRecord) {
  std::string tree(kTree, sizeof kTree - 1);
  tree[23 + 4 + 2] = 'x';  // the type of the first field of record 2
  dir.writeFile("t.qel", tree);
  const Result r = run("records " + q("t.qel"));
  expectOneLineError(r, 1, "t.qel", "malformed record 2 at byte offset 23: RET_BAD_FORMAT");
  EXPECT_NE(r.out.find("record 1 offset 0"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("record 2"), std::string::npos) << r.out;
}

TEST_F(QelTool, RecordsReadsAnyArchiveAndReportsTruncation) {
  dir.writeFile("a.qel", "00100240010070021200\n0006");
  const Result r = run("records " + q("a.qel"));
  expectOneLineError(r, 1, "a.qel", "malformed record 2 at byte offset 21: RET_END_OF_DATA");
  EXPECT_NE(r.out.find("record 1 offset 0 length 16 fields 2\n"
                       "  field 1: integer 0\n"
                       "  field 2: string \"12\"\n"),
            std::string::npos)
      << r.out;
}

TEST_F(QelTool, RecordsShowsTheDeclaredFieldCountAndWhatIsPresent) {
  // The record declares five fields but holds two.
  dir.writeFile("a.qel", "00100540010070021200\n");
  const Result r = run("records " + q("a.qel"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "record 1 offset 0 length 16 fields 5 (2 present)\n"
            "  field 1: integer 0\n"
            "  field 2: string \"12\"\n");
}

TEST_F(QelTool, ExportThenImportGivesTheSameBytes) {
  for (const std::string& source :
       {std::string(QEL_SOURCE_DIR) + "/examples/settings.qel", path("t.qel")}) {
    SCOPED_TRACE(source);
    dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
    ASSERT_EQ(run("export " + quote(source) + " -o " + q("out.json")).status, 0);
    const Result r = run("import " + q("out.json") + " " + q("back.qel"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(source, std::ios::binary);
    const std::string original((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    EXPECT_EQ(dir.readFile("back.qel"), original);
  }
}

TEST_F(QelTool, ExportKeepsDuplicatesAndEncodesBytesOutsideTheCodePage) {
  dir.writeFile("in.json", R"({"format":"qel-tree","version":1,"children":[)"
                           R"({"type":"text","name":"k","value":"Zo\u00eb"},)"
                           R"({"type":"text","name":"k","value":"two"},)"
                           R"({"type":"binary","name":"b","base64":""}]})");
  ASSERT_EQ(run("import " + q("in.json") + " " + q("a.qel")).status, 0);
  // 0xeb is e with diaeresis in the default page: one byte in the archive.
  EXPECT_NE(dir.readFile("a.qel").find("07003Zo\xeb"), std::string::npos);
  const Result shown = run("show " + q("a.qel"));
  EXPECT_NE(shown.out.find("k = Zo\xc3\xab\nk = two\n"), std::string::npos) << shown.out;
  ASSERT_EQ(run("export " + q("a.qel") + " -o " + q("a.json")).status, 0);
  ASSERT_EQ(run("import " + q("a.json") + " " + q("b.qel")).status, 0);
  EXPECT_EQ(dir.readFile("a.qel"), dir.readFile("b.qel"));
}

TEST_F(QelTool, FailedImportLeavesTheTargetAsItWas) {
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
  dir.writeFile("bad.json", "{\"format\": \"qel-tree\", \"children\": [ {\"type\": ");
  dir.writeFile("wrong.json", R"({"format":"qel-tree","children":[{"type":"text","name":""}]})");
  expectOneLineError(run("import " + q("bad.json") + " " + q("t.qel")), 1, "bad.json",
                     "invalid JSON");
  expectOneLineError(run("import " + q("wrong.json") + " " + q("t.qel")), 1, "wrong.json", "name");
  EXPECT_EQ(dir.readFile("t.qel"), std::string(kTree, sizeof kTree - 1));
  EXPECT_FALSE(std::filesystem::exists(path("t.qel.tmp")));
}

TEST_F(QelTool, GetReadsValuesByPath) {
  Result r = run("get " + example() + " network/proxy/host");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "proxy.example.org\n");
  r = run("get " + example() + " user/name");
  EXPECT_EQ(r.out, "Zo\xc3\xab\n");
  expectOneLineError(run("get " + example() + " network/nothing"), 1, "settings.qel",
                     "no component at network/nothing");
  expectOneLineError(run("get " + example() + " network"), 1, "settings.qel", "composite");
}

TEST_F(QelTool, SetChangesAndAddsValues) {
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
  ASSERT_EQ(run("set " + q("t.qel") + " user/prefs/color blue").status, 0);
  ASSERT_EQ(run("set " + q("t.qel") + " other/deep/key " + quote("a b\tc")).status, 0);
  EXPECT_EQ(run("get " + q("t.qel") + " user/prefs/color").out, "blue\n");
  EXPECT_EQ(run("get " + q("t.qel") + " other/deep/key").out, "a b\tc\n");
  EXPECT_EQ(run("check " + q("t.qel")).status, 0);
  EXPECT_EQ(run("get " + q("t.qel") + " user/name").out, "Ann\n");
  expectOneLineError(run("set " + q("t.qel") + " user/icon x"), 1, "t.qel", "not a text value");
}

TEST_F(QelTool, SetOnAReadOnlyFileFailsAndLeavesItIntact) {
  const std::string tree(kTree, sizeof kTree - 1);
  dir.writeFile("t.qel", tree);
  std::filesystem::permissions(path("t.qel"), std::filesystem::perms::owner_read |
                                                  std::filesystem::perms::group_read |
                                                  std::filesystem::perms::others_read);
  expectOneLineError(run("set " + q("t.qel") + " user/name Bob"), 1, "t.qel", "read-only");
  EXPECT_EQ(dir.readFile("t.qel"), tree);
  expectOneLineError(run("set " + q("missing.qel") + " a/b c"), 1, "missing.qel", "no such file");
}

TEST_F(QelTool, SetOnAMalformedFileLeavesItIntact) {
  const std::string tree = std::string(kTree, sizeof kTree - 1).substr(0, 60);
  dir.writeFile("t.qel", tree);
  EXPECT_EQ(run("set " + q("t.qel") + " user/name Bob").status, 1);
  EXPECT_EQ(dir.readFile("t.qel"), tree);
}

TEST_F(QelTool, EncodeAndDecodeRoundTrip) {
  const Result enc = run("encode --key secret --iv 0102030405060708 " + quote("hello world"));
  ASSERT_EQ(enc.status, 0) << enc.err;
  const std::string hex = enc.out.substr(0, enc.out.size() - 1);
  EXPECT_EQ(hex.size(), 32u);  // 11 bytes and 5 spaces: two blocks
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
  EXPECT_EQ(run("decode --key secret --iv 0102030405060708 " + hex).out, "hello world\n");
  // "secret" in hexadecimal is the same key.
  EXPECT_EQ(run("decode --key-hex 736563726574 --iv 0102030405060708 " + hex).out, "hello world\n");
  EXPECT_NE(run("decode --key other --iv 0102030405060708 " + hex).out, "hello world\n");
  EXPECT_NE(run("encode --key secret " + quote("hello world")).out, enc.out);
  EXPECT_EQ(run("decode --key secret 0a1b").status, 1);
}

TEST_F(QelTool, Md5OutputIsAcceptedByMd5sum) {
  dir.writeFile("a.txt", "abc");
  dir.writeFile("b.txt", "");
  const Result r = run("md5 " + q("a.txt") + " " + q("b.txt"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "900150983cd24fb0d6963f7d28e17f72  " + path("a.txt") + "\n" +
                       "d41d8cd98f00b204e9800998ecf8427e  " + path("b.txt") + "\n");
  dir.writeFile("sums", r.out);
  EXPECT_EQ(std::system(("md5sum --status -c " + q("sums")).c_str()), 0);
  const Result piped = run("md5", path("a.txt"));
  EXPECT_EQ(piped.out, "900150983cd24fb0d6963f7d28e17f72  -\n");
  const Result missing = run("md5 " + q("nope") + " " + q("a.txt"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("900150983cd24fb0d6963f7d28e17f72"), std::string::npos);
  EXPECT_NE(missing.err.find("nope"), std::string::npos);
}

TEST_F(QelTool, DeviceHelpAndVersion) {
  const Result device = run("device");
  EXPECT_EQ(device.status, 0);
  EXPECT_NE(device.out.find("device key: "), std::string::npos) << device.out;
  EXPECT_NE(device.out.find("x-key: Brantelle - "), std::string::npos) << device.out;
  // Every fact has its line; the application version is the library's.
  for (const char* fact :
       {"firmware version: ", "hardware version: ", "manufacturer: ", "device name: ",
        "product type: ", "OS major version: ", "OS minor version: ", "unique identifier: "}) {
    EXPECT_NE(("\n" + device.out).find(std::string("\n") + fact), std::string::npos) << fact;
  }
  EXPECT_NE(device.out.find("application version: 2.0.0\n"), std::string::npos) << device.out;
  const Result help = run("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"show", "check", "records", "export", "import", "get", "set",
                              "encode", "decode", "md5", "device", "date"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
  const Result showHelp = run("show --help");
  EXPECT_EQ(showHelp.status, 0);
  EXPECT_NE(showHelp.out.find("--json"), std::string::npos) << showHelp.out;
  const Result version = run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("qel ", 0), 0u) << version.out;
}

// A chain of depth composites named "abcd", the innermost holding one value.
std::string deepTree(int depth) {
  std::string tree;
  for (int i = 0; i < depth; ++i) {
    tree += "0012022001207004abcd00\n";
  }
  tree += "001A032001107004name07003Ann00\n";
  for (int i = 0; i <= depth; ++i) {
    tree += "0009012001300\n";
  }
  return tree;
}

TEST_F(QelTool, DeepTreesPrintButDoNotBecomeJson) {
  // Deep enough that walking it by recursion would exhaust the stack.
  constexpr int kVeryDeep = 300000;
  dir.writeFile("deeper.qel", deepTree(kVeryDeep));
  EXPECT_EQ(run("check " + q("deeper.qel")).out,
            path("deeper.qel") + ": OK, " + std::to_string(kVeryDeep + 1) + " components\n");

  constexpr int kDepth = 3000;
  dir.writeFile("deep.qel", deepTree(kDepth));
  const Result shown = run("show " + q("deep.qel"));
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(shown.out.find("\n" + std::string(2 * kDepth, ' ') + "name = Ann\n"),
            std::string::npos);
  expectOneLineError(run("export " + q("deep.qel") + " -o " + q("deep.json")), 1, "deep.qel",
                     "nested deeper than 1000 levels");
  EXPECT_FALSE(std::filesystem::exists(path("deep.json")));
  EXPECT_FALSE(std::filesystem::exists(path("deep.json.tmp")));
  expectOneLineError(run("show --json " + q("deep.qel")), 1, "deep.qel",
                     "nested deeper than 1000 levels");

  // A value 1000 levels down is at the limit; the round trip still holds.
  dir.writeFile("limit.qel", deepTree(999));
  ASSERT_EQ(run("export " + q("limit.qel") + " -o " + q("limit.json")).status, 0);
  ASSERT_EQ(run("import " + q("limit.json") + " " + q("back.qel")).status, 0);
  EXPECT_EQ(dir.readFile("back.qel"), deepTree(999));
}

TEST_F(QelTool, ImportRefusesJsonNestedTooDeep) {
  std::string json = R"({"format":"qel-tree","version":1,"children":[)";
  for (int i = 0; i < 1001; ++i) {
    json += R"({"type":"composite","name":"n","children":[)";
  }
  for (int i = 0; i < 1001; ++i) {
    json += "]}";
  }
  json += "]}";
  dir.writeFile("deep.json", json);
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
  expectOneLineError(run("import " + q("deep.json") + " " + q("t.qel")), 1, "deep.json",
                     "nested deeper than 1000 levels");
  EXPECT_EQ(dir.readFile("t.qel"), std::string(kTree, sizeof kTree - 1));
}

// Runs qel with standard error on a pseudo-terminal and standard output in a
// file; returns what the terminal received.
std::string runOnTerminal(const std::vector<std::string>& args, const std::string& outFile) {
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) {
    return "forkpty failed";
  }
  if (child == 0) {
    std::FILE* out = std::freopen(outFile.c_str(), "w", stdout);
    (void)out;
    ::setenv("QEL_PROGRESS_DELAY_MS", "0", 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QEL_TOOL_PATH));
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(QEL_TOOL_PATH, argv.data());
    ::_exit(127);
  }
  std::string seen;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(master, buffer, sizeof buffer);
    if (got <= 0) {
      break;  // EIO once the child has closed the terminal
    }
    seen.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(master);
  return seen;
}

TEST_F(QelTool, ProgressBarsAppearOnlyOnATerminal) {
  // Large enough that reading it takes many blocks.
  std::string tree;
  for (int i = 0; i < 20000; ++i) {
    tree += "001A032001107004name07003Ann00\n";
  }
  tree += "0009012001300\n";
  dir.writeFile("big.qel", tree);
  const std::string onTerminal =
      runOnTerminal({"export", path("big.qel"), "-o", path("big.json")}, path("stdout.txt"));
  EXPECT_NE(onTerminal.find("/big.qel "), std::string::npos) << onTerminal;
  EXPECT_NE(onTerminal.find("% ["), std::string::npos) << onTerminal;
  EXPECT_TRUE(std::filesystem::exists(path("big.json")));

  const std::string md5 = runOnTerminal({"md5", path("big.qel")}, path("md5.txt"));
  EXPECT_NE(md5.find("% ["), std::string::npos) << md5;
  EXPECT_NE(dir.readFile("md5.txt").find("  " + path("big.qel") + "\n"), std::string::npos);

  // Not a terminal: standard error stays empty.
  const Result quiet = run("export " + q("big.qel") + " -o " + q("quiet.json"));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

// ---- saving ---------------------------------------------------------------

// The names in the test directory besides those given.
std::vector<std::string> entriesBesides(const qel_test::TempDir& dir,
                                        const std::vector<std::string>& known) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "stderr.txt" && std::find(known.begin(), known.end(), name) == known.end()) {
      found.push_back(name);
    }
  }
  return found;
}

TEST_F(QelTool, ConcurrentSetsLoseNothingAndReadersSeeWholeFiles) {
  dir.writeFile("t.qel", std::string(kTree, sizeof kTree - 1));
  constexpr int kSets = 200;
  // Each writer runs its sets in one shell; the reader checks until both
  // are done.  Any failure is one line of standard error.
  auto writer = [this](const std::string& branch) {
    return "for i in $(seq " + std::to_string(kSets) + "); do " + QEL_TOOL_PATH + " set " +
           q("t.qel") + " " + branch + "/k$i v$i || echo " + branch + " $i; done";
  };
  const std::string script = "(" + writer("one") + ") & (" + writer("two") + ") & " +
                             "(while kill -0 $$ 2>/dev/null && [ ! -e " + q("done") + " ]; do " +
                             QEL_TOOL_PATH + " check " + q("t.qel") +
                             " >/dev/null || echo reader; done) & wait %1 %2; touch " + q("done") +
                             "; wait";
  dir.writeFile("race.sh", script);
  const Result r = run("--version >/dev/null; sh " + q("race.sh"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "") << r.out;
  EXPECT_EQ(r.err, "") << r.err;
  for (const char* branch : {"one", "two"}) {
    for (int i = 1; i <= kSets; i += 37) {
      const std::string key = std::string(branch) + "/k" + std::to_string(i);
      EXPECT_EQ(run("get " + q("t.qel") + " " + key).out, "v" + std::to_string(i) + "\n") << key;
    }
  }
  const Result check = run("check " + q("t.qel"));
  EXPECT_NE(check.out.find(": OK, " + std::to_string(2 * kSets + 2 + 5) + " components"),
            std::string::npos)
      << check.out;
  EXPECT_TRUE(entriesBesides(dir, {"t.qel", "race.sh", "done"}).empty());
}

TEST_F(QelTool, SavesKeepModeLinksAndSpecialFiles) {
  const std::string tree(kTree, sizeof kTree - 1);
  dir.writeFile("t.qel", tree);
  ::chmod(path("t.qel").c_str(), 0600);
  std::filesystem::create_directory(path("links"));
  std::filesystem::create_symlink("../t.qel", path("links/rel.qel"));
  std::filesystem::create_symlink(path("links/rel.qel"), path("chain.qel"));
  ASSERT_EQ(run("set " + q("chain.qel") + " user/name Bob").status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(path("chain.qel")));
  EXPECT_TRUE(std::filesystem::is_symlink(path("links/rel.qel")));
  EXPECT_EQ(run("get " + q("t.qel") + " user/name").out, "Bob\n");
  struct stat st;
  ASSERT_EQ(::stat(path("t.qel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A dangling link: the export creates the file it names.
  std::filesystem::create_symlink("made.json", path("dangling.json"));
  ASSERT_EQ(run("export " + q("t.qel") + " -o " + q("dangling.json")).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(path("dangling.json")));
  EXPECT_NE(dir.readFile("made.json").find("\"Bob\""), std::string::npos);

  // A FIFO gets the document as a stream and stays a FIFO.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  std::string streamed;
  std::thread reader([&] {
    std::ifstream in(path("fifo"), std::ios::binary);
    streamed.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  const Result toFifo = run("export " + q("t.qel") + " -o " + q("fifo"));
  reader.join();
  EXPECT_EQ(toFifo.status, 0) << toFifo.err;
  EXPECT_EQ(streamed, dir.readFile("made.json"));
  EXPECT_TRUE(std::filesystem::is_fifo(path("fifo")));
  EXPECT_EQ(run("export " + q("t.qel") + " -o /dev/null").status, 0);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  EXPECT_EQ(run("export " + q("t.qel") + " -o -").out, streamed);

  // An archive is never written into a special file.
  expectOneLineError(run("set " + q("fifo") + " a/b c"), 1, "fifo", "not a regular file");
  EXPECT_TRUE(
      entriesBesides(dir, {"t.qel", "links", "chain.qel", "dangling.json", "made.json", "fifo"})
          .empty());
}

TEST_F(QelTool, FailedWritesSayWhyAndLeaveNothingBehind) {
  const std::string tree(kTree, sizeof kTree - 1);
  dir.writeFile("t.qel", tree);
  expectOneLineError(run("export " + q("t.qel") + " -o /dev/full"), 1, "/dev/full",
                     "/dev/full: No space left on device");
  expectOneLineError(run("export " + q("t.qel") + " >/dev/full"), 1, "standard output",
                     "standard output: No space left on device");
  // A file size limit fails the write instead of killing the tool.
  std::string big = "{\"format\":\"qel-tree\",\"version\":1,\"children\":[";
  for (int i = 0; i < 40; ++i) {
    big += std::string(i == 0 ? "" : ",") + "{\"type\":\"text\",\"name\":\"v\",\"value\":\"" +
           std::string(4000, 'x') + "\"}";
  }
  dir.writeFile("big.json", big + "]}");
  expectOneLineError(run("import " + q("big.json") + " " + q("t.qel"), "", "ulimit -f 40; "), 1,
                     "t.qel", "t.qel: File too large");
  EXPECT_EQ(dir.readFile("t.qel"), tree);
  expectOneLineError(run("set " + quote(path("none") + "/t.qel") + " a/b c"), 1, "none/t.qel",
                     "no such file");
  EXPECT_TRUE(entriesBesides(dir, {"t.qel", "big.json"}).empty());
}

TEST_F(QelTool, EditsWaitForTheLockAndReplaceReadOnlyFilesOnlyWhenForced) {
  const std::string tree(kTree, sizeof kTree - 1);
  dir.writeFile("t.qel", tree);
  ASSERT_EQ(run("export " + q("t.qel") + " -o " + q("t.json")).status, 0);
  // Close-on-exec, so that the processes the test starts do not hold it.
  const int held = ::open(path("t.qel").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  expectOneLineError(run("--wait 0 set " + q("t.qel") + " user/name Bob"), 1, "t.qel",
                     "t.qel: locked by another process");
  expectOneLineError(run("--wait 0 import " + q("t.json") + " " + q("t.qel")), 1, "t.qel",
                     "locked by another process");
  // Released while the next edit waits: the edit goes through.
  std::thread release([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(held);
  });
  const Result waited = run("--wait 20 set " + q("t.qel") + " user/name Bob");
  release.join();
  EXPECT_EQ(waited.status, 0) << waited.err;
  EXPECT_EQ(run("get " + q("t.qel") + " user/name").out, "Bob\n");

  ::chmod(path("t.qel").c_str(), 0444);
  const std::string bob = dir.readFile("t.qel");
  expectOneLineError(run("set " + q("t.qel") + " user/name Eve"), 1, "t.qel", "read-only");
  EXPECT_EQ(dir.readFile("t.qel"), bob);
  ASSERT_EQ(run("--force set " + q("t.qel") + " user/name Eve").status, 0);
  EXPECT_EQ(run("get " + q("t.qel") + " user/name").out, "Eve\n");
  struct stat st;
  ASSERT_EQ(::stat(path("t.qel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
}

TEST_F(QelTool, TextIsStoredExactlyOrRefused) {
  const std::string tree(kTree, sizeof kTree - 1);
  dir.writeFile("t.qel", tree);
  // Not in code page 1252: refused with the path and the character.
  expectOneLineError(run("set " + q("t.qel") + " user/name " + quote("\xe6\x97\xa5 \xe2\x82\xac")),
                     1, "t.qel",
                     "user/name: \"\xe6\x97\xa5\" (U+65E5) cannot be stored in code page 1252");
  EXPECT_EQ(dir.readFile("t.qel"), tree);
  const Result lossy =
      run("--lossy set " + q("t.qel") + " user/name " + quote("\xe6\x97\xa5 \xe2\x82\xac"));
  EXPECT_EQ(lossy.status, 0);
  EXPECT_NE(lossy.err.find("warning: " + path("t.qel") + ": user/name: 1 character"),
            std::string::npos)
      << lossy.err;
  EXPECT_EQ(run("get " + q("t.qel") + " user/name").out, "? \xe2\x82\xac\n");

  // NUL bytes from JSON round-trip.
  dir.writeFile(
      "nul.json",
      R"({"format":"qel-tree","version":1,"children":[{"type":"text","name":"k","value":"x\u0000y"}]})");
  ASSERT_EQ(run("import " + q("nul.json") + " " + q("nul.qel")).status, 0);
  EXPECT_NE(dir.readFile("nul.qel").find(std::string("07003x\0y00\n", 11)), std::string::npos);
  EXPECT_NE(run("export " + q("nul.qel")).out.find(R"("x\u0000y")"), std::string::npos);

  // A file whose text holds a line feed is not silently changed by an edit
  // of another value.
  const std::string feed = "0017032001107001v07003a\nb00\n0009012001300\n";
  dir.writeFile("feed.qel", feed);
  ASSERT_EQ(run("check " + q("feed.qel")).status, 0);
  expectOneLineError(run("set " + q("feed.qel") + " w x"), 1, "feed.qel",
                     "v: A line feed cannot be stored in a text field");
  EXPECT_EQ(dir.readFile("feed.qel"), feed);
}

}  // namespace
