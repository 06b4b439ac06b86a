// End-to-end tests of ls, list, diff and apply, and of the JSON checks of
// import: each row is a command line, its exit status and what it prints.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "QelToolFixture.h"

namespace {

using qel_tool_test::deepTree;
using qel_tool_test::kTree;
using qel_tool_test::QelTool;
using qel_tool_test::repeat;

std::string document(const std::string& children) {
  return R"({"format":"qel-tree","version":1,"children":[)" + children + "]}";
}

std::string text(const std::string& name, const std::string& value) {
  return R"({"type":"text","name":")" + name + R"(","value":")" + value + "\"}";
}

std::string binary(const std::string& name, const std::string& base64) {
  return R"({"type":"binary","name":")" + name + R"(","base64":")" + base64 + "\"}";
}

std::string composite(const std::string& name, const std::string& children) {
  return R"({"type":"composite","name":")" + name + R"(","children":[)" + children + "]}";
}

// Names with every character that paths or listing lines escape, values
// with control characters, '\' and '=', duplicates, an empty composite and
// an empty binary value.
const std::string kAwkward = document(
    composite("a/b", text("k=v", R"(x\\y\tz=\u0001)") + "," + text("k=v", "2")) + "," +
    text("-dash", "") + "," + text("#hash", "h") + "," + text("c:d[0]", "w") + "," +
    text(R"(tab\tname\\)", R"(\r\u007f)") + "," + composite("empty", "") + "," + binary("bin", "") +
    "," + composite("dup", text("k", "0") + "," + text("k", "1") + "," + text("k", "2")));

class Listings : public QelTool {
 protected:
  void SetUp() override {
    dir.writeFile("t.qel", kTree);
    dir.writeFile("awkward.json", kAwkward);
    const auto imported = run("import @awkward.json @awkward.qel");
    ASSERT_EQ(imported.status, 0) << imported.err;
  }
};

TEST_F(Listings, LsPrintsChildrenAsPaths) {
  expectRows({
      {"ls EXAMPLE", 0, "=application/\nnetwork/\nuser/\n", ""},
      {"ls EXAMPLE network", 0, "=proxy/\nretries\ntimeout\n", ""},
      {"ls EXAMPLE user", 0, "=avatar\nname\nserver\nserver[1]\n", ""},
      {"ls @t.qel user/prefs", 0, "=color\n", ""},
      {"ls @awkward.qel", 0, "=#hash\n-dash\na\\/b/\nbin\nc:d\\[0]\nempty/\ntab\\tname\\\\\ndup/\n",
       ""},
      // What ls prints is what the path of a command takes.
      {"ls @awkward.qel 'a\\/b'", 0, "=k=v\nk=v[1]\n", ""},
      {"ls @awkward.qel empty", 0, "=", ""},
      {"ls @awkward.qel user", 3, "=", "awkward.qel: no entry at user"},
      {"ls EXAMPLE user/server[2]", 3, "=", "no entry at user/server[2]"},
      {"ls EXAMPLE user/name", 1, "=", "settings.qel: user/name is a value, not a composite"},
      {"ls EXAMPLE 'user\\'", 1, "=", "settings.qel"},
      {"ls @missing.qel", 1, "=", "missing.qel"},
  });
}

TEST_F(Listings, ListPrintsEveryEntryOnOneLine) {
  expectRows({
      {"list EXAMPLE", 0,
       "=application/language=en\napplication/theme=dark\napplication/title=Qel Demo\\tSettings\n"
       "network/proxy/host=proxy.example.org\nnetwork/proxy/port=8080\nnetwork/retries=3\n"
       "network/timeout=30\nuser/avatar:hex=89504e470d0a1a0a0000000d494844520000000100000001\n"
       "user/name=Zo\xc3\xab\nuser/server=alpha\nuser/server[1]=beta\n",
       ""},
      {"list @awkward.qel", 0,
       "=\\#hash=h\n\\-dash=\na\\/b/k\\=v=x\\\\y\\tz=\\x01\na\\/b/k\\=v[1]=2\nbin:hex=\n"
       "c\\:d\\[0]=w\nempty/\ntab\\tname\\\\=\\r\\x7f\ndup/k=0\ndup/k[1]=1\ndup/k[2]=2\n",
       ""},
      {"list --json @t.qel", 0,
       "={\n  \"format\": \"qel-list\",\n  \"version\": 1,\n  \"entries\": [\n    {\n      "
       "\"path\": \"user/name\",\n      \"value\": \"Ann\"\n    "
       "},\n    {\n      \"path\": \"user/prefs/color\",\n      \"value\": \"red\"\n    },\n    {\n"
       "      \"path\": \"user/icon\",\n      \"hex\": \"01020a7f\"\n    }\n  ]\n}\n",
       ""},
      {"list --json @awkward.qel", 0,
       R"("path": "a\\/b/k=v",|"value": "x\\y\tz=\u0001"|"path": "empty",|"composite": true|)"
       R"("path": "bin",|"hex": "")",
       ""},
      {"list @missing.qel", 1, "=", "missing.qel"},
  });
}

// What list prints, in either form, apply makes again byte for byte.
TEST_F(Listings, ApplyReadsBackWhatListPrints) {
  std::string many;
  for (int i = 0; i < 40; ++i) {
    many += (i == 0 ? "" : ",") + text("n" + std::to_string(i % 7), std::to_string(i)) + "," +
            binary("b", i % 2 == 0 ? "AAEC" : "/w==");
  }
  dir.writeFile("many.json", document(composite("m", many)));
  ASSERT_EQ(run("import @many.json @many.qel").status, 0);
  dir.writeFile("deep.qel", deepTree(300));
  for (const std::string name : {"awkward.qel", "many.qel", "deep.qel", "t.qel"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run("list @" + name + " | TOOL apply @lines-" + name).status, 0);
    EXPECT_EQ(dir.readFile("lines-" + name), dir.readFile(name));
    EXPECT_EQ(run("list --json @" + name + " > @" + name + ".json").status, 0);
    EXPECT_EQ(run("apply @json-" + name + " @" + name + ".json").status, 0);
    EXPECT_EQ(dir.readFile("json-" + name), dir.readFile(name));
  }
  // Names and values that have no UTF-8 form in the page are given as bytes.
  dir.writeFile("raw.json",
                document(R"({"type":"text","nameBase64":"gQ==","valueBase64":"gQ=="})"));
  expectRows({
      {"--codepage 932 import @raw.json @raw.qel", 0, "=", ""},
      {"--codepage 932 list @raw.qel", 0, "=\\x81:texthex=81\n", ""},
      {"--codepage 932 list --json @raw.qel", 0, R"("pathHex": "81",|"textHex": "81")", ""},
      {"--codepage 932 list @raw.qel | TOOL --codepage 932 apply @raw-lines.qel", 0, "=", ""},
      {"--codepage 932 list --json @raw.qel > @raw.json", 0, "=", ""},
      {"--codepage 932 apply @raw-json.qel - < @raw.json", 0, "=", ""},
      {"--codepage 932 diff @raw.qel @t.qel", 1, "- \\x81: texthex=81\n", ""},
  });
  EXPECT_EQ(dir.readFile("raw-lines.qel"), dir.readFile("raw.qel"));
  EXPECT_EQ(dir.readFile("raw-json.qel"), dir.readFile("raw.qel"));
}

TEST_F(Listings, ApplyEditsInOrder) {
  dir.writeFile("edit.txt",
                "# a comment, then a blank line\n\n"
                "user/name=Bob\r\n"
                "user/prefs/size=10=ten\n"
                "-user/icon\n"
                "user/pic:hex=00ff\n"
                "new/a\\=b/c\\:d=1\\t2\n"
                "new/a\\=b/c\\:d[1]=second\n"
                "new/empty/\n"
                "user/prefs/\n");
  dir.writeFile("edit.json", R"({"entries":[{"path":"user/name","value":"Eve"},)"
                             R"({"path":"user/prefs","remove":true},)"
                             R"({"path":"x/y","hex":"0a"},{"path":"z","composite":true}]})");
  dir.writeFile("nothing.txt", "");
  dir.writeFile("one.txt", "a=1\n");
  // Every character of a name given as "\xHH": the name "-a/b[0\=<tab>".
  dir.writeFile("bytes.txt", "\\x2da\\x2fb\\x5b0\\x5c\\x3d\\x09=1\n");
  expectRows({
      {"apply @t.qel @edit.txt", 0, "=", ""},
      {"list @t.qel", 0,
       "=user/name=Bob\nuser/prefs/color=red\nuser/prefs/size=10=ten\nuser/pic:hex=00ff\n"
       "new/a\\=b/c\\:d=1\\t2\nnew/a\\=b/c\\:d[1]=second\nnew/empty/\n",
       ""},
      {"get @t.qel user/prefs/size", 0, "=10=ten\n", ""},
      {"apply @t.qel @edit.json", 0, "=", ""},
      {"list @t.qel", 0,
       "=new/a\\=b/c\\:d=1\\t2\nnew/a\\=b/c\\:d[1]=second\nnew/empty/\nuser/name=Eve\n"
       "user/pic:hex=00ff\nx/y:hex=0a\nz/\n",
       ""},
      // A missing file is made; a file of no changes stores the tree as it is.
      {"apply @made.qel @edit.json", 1, "=", "edit.json: entry 2: no entry at user/prefs"},
      {"apply @made.qel < @one.txt", 0, "=", ""},
      {"list @made.qel", 0, "=a=1\n", ""},
      {"apply @made.qel @nothing.txt", 0, "=", ""},
      {"list @made.qel", 0, "=a=1\n", ""},
      {"apply @made.qel @bytes.txt", 0, "=", ""},
      {"ls @made.qel", 0, "=a\n-a\\/b\\[0\\\\=\\t\n", ""},
      {"list @made.qel", 0, "=a=1\n\\-a\\/b\\[0\\\\\\=\\t=1\n", ""},
  });
}

// A bad change writes nothing and names where it is.
TEST_F(Listings, ApplyIsAllOrNothing) {
  const struct {
    const char* changes;
    const char* message;
  } cases[] = {
      {"user/name=Bob\nbad line\n", "bad.txt: line 2: expected PATH=VALUE"},
      {"user/name=Bob\n-user/nothing\n", "bad.txt: line 2: no entry at user/nothing"},
      {"-user/name=x\n", "line 1: a removal is \"-PATH\" alone"},
      {"user/name/x=1\n", "line 1: user/name/x"},
      {"user/icon=text\n", "line 1: user/icon"},
      {"user/name:hex=00\n", "line 1: user/name"},
      {"user/name/\n", "line 1: user/name is a value, not a composite"},
      {"user/prefs[2]/a=1\n", "line 1: user/prefs[2]"},
      {"a\\q=1\n", "line 1: malformed escape in the path at column 2"},
      {"a=x\\\n", "line 1: malformed escape in the value at column 4"},
      {"a=\\x4\n", "line 1: malformed escape in the value"},
      {"a:hex=abc\n", "line 1: \"abc\" is not hexadecimal bytes"},
      {"a:text=1\n", "line 1: unknown value form \":text\""},
      {"=1\n", "line 1: empty path"},
      {"\\x81\xc3\xa9=1\n", "line 1: a path gives its bytes either all"},
      {"a=\xe6\x97\xa5\n", "line 1: a: \"\xe6\x97\xa5\" (U+65E5) cannot be stored"},
      {"ok=1\n\n\n\nuser/name=1\nuser/name/deeper=2\n", "bad.txt: line 6: user/name/deeper"},
      {R"({"entries":[{"path":"a","value":"1"},{"path":"b"}]})", "bad.txt: entry 2: each entry"},
      {R"({"entries":[{"path":"a","value":1}]})", "entry 1: \"value\" must be a string"},
      {R"({"entries":[{"path":"a","remove":false}]})", "entry 1: \"remove\" must be true"},
      {R"({"entries":[{"path":"a","hex":"0g"}]})", "entry 1: \"0g\" is not hexadecimal"},
      {R"({"entries":[{"path":"a","value":"1","path":"b"}]})",
       "bad.txt: invalid JSON: an object holds the key \"path\" twice"},
      {R"({"entries":[{"path":"a","value":"1"},]})", "bad.txt: invalid JSON at line 1, column"},
      {R"({"changes":[]})", "bad.txt: a JSON set of changes is {\"entries\": [...]}"},
      {R"({"format":"qel-tree","version":1,"entries":[]})", "bad.txt: unknown format \"qel-tree\""},
      {R"({"format":"qel-list","version":2,"entries":[]})",
       "bad.txt: unsupported qel-list version 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.changes);
    dir.writeFile("bad.txt", c.changes);
    const auto result = run("apply @t.qel @bad.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("json.exception"), std::string::npos) << result.err;
    EXPECT_EQ(dir.readFile("t.qel"), kTree);
  }
  dir.writeFile("bad.txt", "bad\n");
  expectRows({
      {"apply @t.qel @none.txt", 1, "=", "none.txt"},
      {"apply @t.qel < @bad.txt", 1, "=", "standard input: line 1: expected"},
      {"apply @new.qel - < @bad.txt", 1, "=", "standard input: line 1"},
  });
  EXPECT_EQ(dir.names(),
            (std::vector<std::string>{"awkward.json", "awkward.qel", "bad.txt", "t.qel"}));
}

// apply is an edit: it waits for another's edit of the file and leaves a
// read-only file alone unless forced.
TEST_F(Listings, ApplyStoresUnderTheEditLock) {
  dir.writeFile("one.txt", "user/name=Bob\n");
  // Close-on-exec, so that the processes the test starts do not hold it.
  const int held = ::open(path("t.qel").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  expectRows({{"--wait 0 apply @t.qel @one.txt", 1, "=", "t.qel: locked by another process"}});
  ::close(held);
  EXPECT_EQ(dir.readFile("t.qel"), kTree);
  ::chmod(path("t.qel").c_str(), 0444);
  expectRows({{"apply @t.qel @one.txt", 1, "=", "t.qel is read-only"},
              {"--force apply @t.qel @one.txt", 0, "=", ""},
              {"list @t.qel", 0, "user/name=Bob\n", ""}});
}

TEST_F(Listings, DiffNamesEveryDifferenceByPath) {
  const std::string before =
      document(composite("user", text("name", "Ann") + "," + text("server", "alpha") + "," +
                                     text("server", "beta")) +
               "," + binary("icon", "AQIDBA==") + "," + binary("blob", "AQI=") + "," +
               text("gone", "1") + "," + text("kind", "t") + "," + composite("e", ""));
  const std::string after =
      document(composite("user", text("name", "Bob") + "," + text("server", "alpha") + "," +
                                     text("server", "beta") + "," + text("server", "gamma")) +
               "," + binary("icon", "AQKZ") + "," + binary("blob", "AQID") + "," +
               binary("kind", "AA==") + "," + text("e", "") + "," + text("new", "a\\tb"));
  dir.writeFile("a.json", before);
  dir.writeFile("b.json", after);
  dir.writeFile("trunc.qel", kTree.substr(0, 40));
  ASSERT_EQ(run("import @a.json @a.qel").status, 0);
  ASSERT_EQ(run("import @b.json @b.qel").status, 0);
  expectRows({
      {"diff EXAMPLE EXAMPLE", 0, "=", ""},
      {"diff @awkward.qel @awkward.qel", 0, "=", ""},
      {"diff --json @t.qel @t.qel", 0,
       "={\n  \"equal\": true,\n  \"removed\": [],\n  \"added\": [],\n  \"changed\": []\n}\n", ""},
      // A's entries in its order, then what B adds in B's order.
      {"diff @a.qel @b.qel", 1,
       "=~ blob: binary, 2 bytes -> binary, 3 bytes, first difference at byte offset 2\n"
       "- gone: \"1\"\n"
       "~ icon: binary, 4 bytes -> binary, 3 bytes, first difference at byte offset 2\n"
       "~ kind: \"t\" -> binary, 1 byte\n~ user/name: \"Ann\" -> \"Bob\"\n"
       "~ e: empty composite -> \"\"\n+ user/server[2]: \"gamma\"\n+ new: \"a\\tb\"\n",
       ""},
      {"diff @b.qel @a.qel", 1, "- user/server[2]: \"gamma\"\n|+ gone: \"1\"\n", ""},
      {"diff --json @a.qel @b.qel", 1,
       R"("equal": false|"removed": [|"path": "gone",|"path": "user/server[2]",)"
       R"(|"path": "icon",|"from": {|"hex": "01020304",|"size": 4|"hex": "010299",)"
       R"(|"firstDifference": 2)",
       ""},
      // Trouble is 2, not "different".
      {"diff @a.qel @missing.qel", 2, "=", "missing.qel"},
      {"diff @trunc.qel @a.qel", 2, "=", "trunc.qel: not a valid component tree"},
      {"diff --json @a.qel @trunc.qel", 2, "=", "trunc.qel"},
  });
}

// import names the JSON document, never the archive, in every complaint
// about the document, and writes nothing.
TEST_F(Listings, ImportRefusesDocumentsItDoesNotKnow) {
  const struct {
    const char* json;
    const char* message;
  } cases[] = {
      {R"({"format":"qel-tree","version":2,"children":[]})",
       "in.json: unsupported qel-tree version 2"},
      {R"({"format":"qel-tree","version":"1","children":[]})", "unsupported qel-tree version"},
      {R"({"format":"qel-tree","children":[]})", "unsupported qel-tree version (none)"},
      {R"({"format":"other","version":1,"children":[]})", "in.json: unknown format \"other\""},
      {R"({"version":1,"children":[]})", "in.json: not a qel-tree document"},
      {R"([1,2])", "in.json: not a qel-tree document"},
      {R"({"format":"qel-tree","version":1})", "in.json: missing \"children\""},
      {R"({"format":"qel-tree","version":1,"version":1,"children":[]})",
       "in.json: invalid JSON: an object holds the key \"version\" twice"},
      {R"({"format":"qel-tree","version":1,"children":[{"type":"text","name":"a",)"
       R"("value":"x","name":"b"}]})",
       "in.json: invalid JSON: an object holds the key \"name\" twice"},
      {"{\"format\":\"qel-tree\",\n\"version\":1,,}", "in.json: invalid JSON at line 2, column"},
      {"", "in.json: invalid JSON"},
      {R"({"format":"qel-tree","version":1,"children":[1e999]})",
       "in.json: invalid JSON: number overflow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    dir.writeFile("in.json", c.json);
    const auto result = run("import @in.json @out.qel");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("json.exception"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("out.qel"), std::string::npos) << result.err;
  }
  EXPECT_EQ(dir.names(),
            (std::vector<std::string>{"awkward.json", "awkward.qel", "in.json", "t.qel"}));
  // The same key in two objects is no duplicate.
  dir.writeFile("in.json", document(text("a", "1") + "," + text("b", "2")));
  expectRows({{"import @in.json @out.qel", 0, "=", ""}, {"list @out.qel", 0, "=a=1\nb=2\n", ""}});
}

}  // namespace
