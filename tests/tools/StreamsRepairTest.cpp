// End-to-end tests of qel on standard streams, pipes and FIFOs, of repair,
// the strict check, the tool's messages and its completion scripts.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "QelToolFixture.h"

namespace {

namespace fs = std::filesystem;
using qel_tool_test::deepTree;
using qel_tool_test::kTree;
using qel_tool_test::QelTool;
using qel_tool_test::quote;
using qel_tool_test::repeat;
using qel_tool_test::Result;
using qel_tool_test::Row;

// Records written field by field: the bytes, where each record ends (past
// its line feed) and the offset of every framing byte (length, field count,
// type digits, value lengths, separators, closing separator, line feed).
struct Framed {
  std::string bytes;
  std::vector<std::size_t> ends;
  std::vector<std::size_t> framing;
};

using Fields = std::vector<std::pair<int, std::string>>;

std::string hex(std::size_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*zX", width, value);
  return text;
}

Framed frame(const std::vector<Fields>& records) {
  Framed out;
  for (const Fields& fields : records) {
    const std::size_t start = out.bytes.size();
    std::string line = hex(fields.size(), 2);
    std::vector<std::size_t> marks = {0, 1, 2, 3, 4, 5};
    for (const auto& field : fields) {
      const std::size_t at = 4 + line.size();
      line += hex(static_cast<std::size_t>(field.first), 1) + hex(field.second.size(), 3) +
              field.second + "0";
      for (std::size_t i = 0; i < 4; ++i) {
        marks.push_back(at + i);
      }
      marks.push_back(4 + line.size() - 1);
    }
    line += "0";
    marks.push_back(4 + line.size() - 1);
    marks.push_back(4 + line.size());
    out.bytes += hex(line.size(), 4) + line + "\n";
    for (const std::size_t mark : marks) {
      out.framing.push_back(start + mark);
    }
    out.ends.push_back(out.bytes.size());
  }
  return out;
}

// The tree of kTree, record by record, and each record's line in show.
const std::vector<Fields> kTreeRecords = {
    {{2, "2"}, {7, "user"}},
    {{2, "1"}, {7, "name"}, {7, "Ann"}},
    {{2, "2"}, {7, "prefs"}},
    {{2, "1"}, {7, "color"}, {7, "red"}},
    {{2, "3"}},
    {{2, "4"}, {7, "icon"}, {9, std::string("\x01\x02\n\x7f", 4)}},
    {{2, "3"}},
    {{2, "3"}},
};
const std::vector<std::string> kTreeOutline = {"[user]\n",
                                               "  name = Ann\n",
                                               "  [prefs]\n",
                                               "    color = red\n",
                                               "",
                                               "  icon = <binary, 4 bytes> 01 02 0a 7f\n",
                                               "",
                                               ""};

TEST_F(QelTool, StandardInputPipesAndFifosAreReadAsStreams) {
  dir.writeFile("t.qel", kTree);
  dir.writeFile("trunc.qel", kTree.substr(0, 40));
  dir.writeFile("empty.qel", "");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string outline =
      "=[user]\n  name = Ann\n  [prefs]\n    color = red\n  icon = <binary, 4 bytes> 01 02 0a "
      "7f\n";
  ASSERT_EQ(run("export @t.qel -o @t.json").status, 0);
  const std::string piped = "--version >/dev/null; cat @t.qel | TOOL ";
  expectRows({
      {"show - <@t.qel", 0, outline.c_str(), ""},
      {(piped + "show -").c_str(), 0, outline.c_str(), ""},
      {(piped + "show /dev/stdin").c_str(), 0, outline.c_str(), ""},
      {"--version >/dev/null; cat @t.qel >@fifo & TOOL show @fifo", 0, outline.c_str(), ""},
      {(piped + "get - user/prefs/color").c_str(), 0, "=red\n", ""},
      {(piped + "check -").c_str(), 0, "=standard input: OK, 5 components\n", ""},
      {(piped + "records -").c_str(), 0, "record 8 offset 170 length 9 fields 1\n", ""},
      {(piped + "export -").c_str(), 0, "\"format\": \"qel-tree\"", ""},
      {"import - @back.qel <@t.json", 0, "=", ""},
      // Failures name standard input, never the copy it was read into.
      {"--version >/dev/null; cat @trunc.qel | TOOL check -", 1, "",
       "qel: standard input: not a valid component tree: truncated at record 2, byte offset 23"},
      {"--version >/dev/null; cat @empty.qel | TOOL show -", 1, "",
       "qel: standard input: empty file"},
      {"--version >/dev/null; echo '{' | TOOL import - @x.qel", 1, "",
       "qel: standard input: invalid JSON"},
  });
  EXPECT_EQ(dir.readFile("back.qel"), kTree);
  // An archive written to "-" goes to standard output, not into a file.
  const Result stored = run("import @t.json -");
  EXPECT_EQ(stored.status, 0) << stored.err;
  EXPECT_EQ(stored.out, kTree);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"back.qel", "empty.qel", "fifo", "t.json",
                                                   "t.qel", "trunc.qel"}));
}

TEST_F(QelTool, OutputErrorsFailWithTheReasonAndAClosedPipeEndsQuietly) {
  dir.writeFile("t.qel", kTree);
  ASSERT_EQ(run("export @t.qel -o @t.json").status, 0);
  // Output well past any pipe's buffer.
  std::vector<Fields> records = {{{2, "2"}, {7, "user"}}};
  for (int i = 0; i < 60000; ++i) {
    records.push_back({{2, "1"}, {7, "n" + std::to_string(100000 + i)}, {7, "Ann"}});
  }
  records.push_back({{2, "3"}});
  records.push_back({{2, "3"}});
  dir.writeFile("big.qel", frame(records).bytes);
  expectRows({
      {"show @t.qel >/dev/full", 1, "", "qel: standard output: No space left on device"},
      {"show --json @t.qel >/dev/full", 1, "", "standard output: No space left on device"},
      {"check @t.qel >/dev/full", 1, "", "standard output: No space left on device"},
      {"check --json @t.qel >/dev/full", 1, "", "standard output: No space left on device"},
      {"records @t.qel >/dev/full", 1, "", "standard output: No space left on device"},
      {"records --json @t.qel >/dev/full", 1, "", "standard output: No space left on device"},
      {"get @t.qel user/name >/dev/full", 1, "", "standard output: No space left on device"},
      {"import @t.json - >/dev/full", 1, "", "standard output: No space left on device"},
      {"repair @t.qel -o - >/dev/full", 1, "", "standard output: No space left on device"},
      {"show @big.qel >/dev/full", 1, "", "standard output: No space left on device"},
  });
  // Even when the caller ignores the signal, a closed pipe is no error.
  for (const std::string caller : {"", "trap '' PIPE; "}) {
    SCOPED_TRACE(caller);
    const Result r = run("--version >/dev/null; " + caller +
                         "{ TOOL show @big.qel 2>@err.txt; echo $? >@status.txt; } | head -n 1");
    EXPECT_EQ(r.out, "[user]\n");
    EXPECT_EQ(dir.readFile("err.txt"), "");
    EXPECT_EQ(dir.readFile("status.txt"), "141\n");  // ended by SIGPIPE
  }
}

TEST_F(QelTool, ShowIndentsSixtyFourLevelsAndNumbersDeeperOnes) {
  dir.writeFile("d64.qel", deepTree(64));
  dir.writeFile("d66.qel", deepTree(66));
  dir.writeFile("d5000.qel", deepTree(5000));
  const std::string deepest(128, ' ');
  const std::string at64 = "\n" + deepest + "name = Ann\n";
  const std::string at66 = "\n" + deepest + "[abcd]\n" + deepest + "(depth 65) [abcd]\n" + deepest +
                           "(depth 66) name = Ann\n";
  expectRows({{"show @d64.qel", 0, at64.c_str(), ""}, {"show @d66.qel", 0, at66.c_str(), ""}});
  // Each line is at most as long as at depth 64 and its number.
  const Result deep = run("show @d5000.qel");
  ASSERT_EQ(deep.status, 0) << deep.err;
  std::istringstream lines(deep.out);
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_LE(line.size(), 128u + 30) << count;
  }
  EXPECT_EQ(count, 5001u);
}

// Every cut of a stored tree repairs into a whole tree that holds exactly the
// components whose records end before the cut.
TEST_F(QelTool, RepairKeepsWhatLoadedBeforeEveryCut) {
  const Framed tree = frame(kTreeRecords);
  ASSERT_EQ(tree.bytes, kTree);
  for (std::size_t cut = 0; cut <= kTree.size(); ++cut) {
    SCOPED_TRACE(cut);
    dir.writeFile("cut.qel", kTree.substr(0, cut));
    std::string kept;
    std::size_t records = 0;
    for (std::size_t r = 0; r < tree.ends.size() && tree.ends[r] <= cut; ++r) {
      kept += kTreeOutline[r];
      ++records;
    }
    const std::string said = "kept " + std::to_string(records) + " records";
    const Result repaired = run("repair @cut.qel -o @out.qel");
    ASSERT_EQ(repaired.status, 0) << repaired.err;
    EXPECT_NE(repaired.out.find(said), std::string::npos) << repaired.out;
    const std::size_t whole = records == 0 ? 0 : tree.ends[records - 1];
    if (cut > whole) {
      const std::string dropped = "dropped " + std::to_string(cut - whole) +
                                  " bytes from byte offset " + std::to_string(whole);
      EXPECT_NE(repaired.out.find(dropped), std::string::npos) << repaired.out;
    }
    EXPECT_EQ(run("check @out.qel").status, 0);
    EXPECT_EQ(run("show @out.qel").out, kept);
    EXPECT_EQ(dir.readFile("cut.qel"), kTree.substr(0, cut));
  }
}

TEST_F(QelTool, RepairWritesWhereItIsToldAndKeepsTheDamagedFile) {
  const std::string damaged = kTree.substr(0, 100);
  dir.writeFile("d.qel", damaged);
  dir.writeFile("extra.qel", kTree + "0009012001300\n");
  dir.writeFile("t.qel", kTree);
  expectRows({
      {"repair @d.qel", 2, "", "qel: repair: give -o OUT"},
      {"repair @d.qel -o @o.qel --in-place", 2, "", "qel: repair: give either"},
      {"repair - --in-place <@d.qel", 2, "", "cannot be repaired in place"},
      {"repair @missing.qel -o @o.qel", 1, "", "qel: @missing.qel: no such file"},
      {"repair @extra.qel -o @o.qel", 0,
       "@extra.qel: kept 8 records (5 components, 184 bytes); dropped 14 bytes from byte "
       "offset 184 (records after the end of the tree)",
       ""},
      {"check @o.qel", 0, "OK, 5 components", ""},
      {"repair @t.qel --in-place", 0, "nothing dropped; left as it was", ""},
      {"repair @d.qel --in-place", 0,
       "kept 3 records (3 components, 78 bytes); dropped 22 bytes from byte offset 78 "
       "(truncated at record 4, byte offset 78|the damaged file is kept as @d.qel.damaged",
       ""},
      {"check @d.qel", 0, "OK, 3 components", ""},
      {"repair - -o - <@d.qel.damaged | TOOL show -", 0, "=[user]\n  name = Ann\n  [prefs]\n", ""},
  });
  EXPECT_EQ(dir.readFile("d.qel.damaged"), damaged);
  EXPECT_EQ(dir.readFile("t.qel"), kTree);
  EXPECT_EQ(dir.names(),
            (std::vector<std::string>{"d.qel", "d.qel.damaged", "extra.qel", "o.qel", "t.qel"}));
}

// The strict check finds every damaged framing byte at its offset, also
// those the lenient reader reads past.
TEST_F(QelTool, StrictCheckFindsEveryDamagedFramingByte) {
  const Framed tree = frame(kTreeRecords);
  ASSERT_EQ(tree.bytes, kTree);
  dir.writeFile("t.qel", kTree);
  ASSERT_EQ(run("check --strict @t.qel").status, 0);
  std::size_t lenient = 0;
  for (const std::size_t at : tree.framing) {
    SCOPED_TRACE(at);
    std::string damaged = kTree;
    damaged[at] = 'x';
    dir.writeFile("d.qel", damaged);
    const Result strict = run("check --strict @d.qel");
    EXPECT_EQ(strict.status, 1);
    const std::string where = ", at byte offset " + std::to_string(at) + "\n";
    EXPECT_NE(strict.err.find(path("d.qel") + ": not a strictly framed archive: record "),
              std::string::npos)
        << strict.err;
    EXPECT_EQ(strict.err.compare(strict.err.size() - std::min(where.size(), strict.err.size()),
                                 where.size(), where),
              0)
        << strict.err;
    lenient += run("check @d.qel").status == 0 ? 1 : 0;
  }
  EXPECT_GT(lenient, 0u);
  dir.writeFile("five.qel", "00100540010070021200\n");
  dir.writeFile("sep.qel", "0012022001207004user0x\n");
  expectRows({
      {"check --strict @five.qel", 1, "",
       "record 1 at byte offset 0: declares 5 fields but holds 2, at byte offset 4"},
      {"check --strict @sep.qel", 1, "",
       "record 1 at byte offset 0: the closing separator is 'x', not '0', at byte offset 21"},
      {"check --strict --json @t.qel", 0, "\"ok\": true,\n  \"components\": 5", ""},
      {"check --json @five.qel", 1, "\"ok\": false,\n  \"error\": \"@five.qel: not a valid",
       "five"},
      {"records --json @t.qel", 0,
       "\"record\": 6,\n|\"type\": \"data\",\n          \"hex\": \"01020a7f\"|"
       "\"type\": \"string\",\n          \"value\": \"color\"",
       ""},
      {"records --json @five.qel", 0, "\"declaredFields\": 5,", ""},
      {"records --json @sep.qel", 1,
       "\"records\": [],\n  \"error\": \"@sep.qel: malformed record 1",
       "sep.qel: malformed record 1"},
  });
}

TEST_F(QelTool, MessagesArePlainAndUsageErrorsSayWhatToDo) {
  dir.writeFile("junk.qel", "hello, this is not an archive\n");
  dir.writeFile("bad.json", "{\"format\": ");
  expectRows({
      {"frob x", 2, "", "qel: unknown command 'frob' (qel --help lists the commands)"},
      {"--codepage 1251 shwo x", 2, "", "qel: unknown command 'shwo'; did you mean 'show'?"},
      {"rep x", 2, "", "did you mean 'repair'?"},
      {"lsit x", 2, "", "did you mean 'list'?"},
      {"", 2, "", "qel: no command given"},
      {"show", 2, "", "qel: FILE is required"},
      {"check --frob @junk.qel", 2, "", "qel: "},
      {"--codepage 0 show @junk.qel", 2, "", "qel: --codepage: '0' is not a code page"},
      {"help", 0,
       "repair|records|Exit status: 0 on success, 1 on a failure, 2 on a usage "
       "error, 3 when",
       ""},
      {"help repair", 0, "--in-place|-o,--output", ""},
      {"help frob", 2, "", "qel: unknown command 'frob'"},
      {"date garbage", 1, "", "qel: garbage: not a date and time such as"},
      {"records @junk.qel", 1, "",
       "qel: @junk.qel: malformed record 1 at byte offset 0: the record's length"},
      {"check @junk.qel", 1, "", "qel: @junk.qel: not a valid component tree: malformed at"},
  });
  for (const std::string args : {"date garbage", "records @junk.qel", "check @junk.qel",
                                 "show --json @junk.qel", "import @bad.json @x.qel"}) {
    const Result r = run(args);
    EXPECT_EQ(r.err.find("RET_"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Exception"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("qel: ", 0), 0u) << r.err;
  }
}

// The commands qel --help lists, one a line after "Subcommands:".
std::vector<std::string> listedCommands(const std::string& help) {
  std::vector<std::string> names;
  std::istringstream lines(help.substr(help.find("Subcommands:")));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && line.size() > 2 && line[0] == ' ') {
    names.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  return names;
}

TEST_F(QelTool, CompletionScriptsLoadAndOfferEveryCommand) {
  const std::string completion = std::string(QEL_SOURCE_DIR) + "/tools/qel/completion";
  const std::string bash = "--version >/dev/null; bash -c " +
                           quote("source " + quote(completion + "/qel.bash") +
                                 "; complete -p qel; COMP_WORDS=(qel ''); COMP_CWORD=1; _qel; "
                                 "echo \"${COMPREPLY[*]}\"; COMP_WORDS=(qel --wait 3 check "
                                 "--s); COMP_CWORD=4; _qel; echo \"${COMPREPLY[*]}\"");
  const Result loaded = run(bash);
  ASSERT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_EQ(loaded.err, "");
  std::istringstream lines(loaded.out);
  std::string registered, commands, options;
  std::getline(lines, registered);
  std::getline(lines, commands);
  std::getline(lines, options);
  EXPECT_EQ(registered, "complete -o bashdefault -o filenames -F _qel qel");
  EXPECT_EQ(options, "--strict");
  const std::vector<std::string> listed = listedCommands(run("--help").out);
  EXPECT_GE(listed.size(), 14u);
  for (const std::string& name : listed) {
    EXPECT_NE((" " + commands + " ").find(" " + name + " "), std::string::npos) << name;
  }
  if (std::system("command -v zsh >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "zsh is not installed";
  }
  const Result zsh = run("--version >/dev/null; zsh -fc " +
                         quote("fpath=(" + quote(completion) +
                               " $fpath); autoload -Uz compinit; compinit -u -D; "
                               "print -r -- ${_comps[qel]}; autoload -Uz +X _qel && "
                               "whence -w _qel"));
  EXPECT_EQ(zsh.status, 0) << zsh.err;
  EXPECT_EQ(zsh.out, "_qel\n_qel: function\n");
  EXPECT_EQ(zsh.err, "");
}

}  // namespace
