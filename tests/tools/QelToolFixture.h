#ifndef QEL_TESTS_TOOLS_QELTOOLFIXTURE_H_
#define QEL_TESTS_TOOLS_QELTOOLFIXTURE_H_

// Runs the built qel tool on command lines and checks what they print.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace qel_tool_test {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// One command line, where @ stands for the quoted test directory and a slash,
// EXAMPLE for the example archive and TOOL for the tool.
// out and err are fragments that the outputs hold ("=" first: the whole
// output; "|" separates fragments of standard output found apart).  An
// error must be one line, and a success with no err given prints none.
struct Row {
  const char* args;
  int status;
  const char* out;
  const char* err;
};

inline const std::string kTree =
    "0012022001207004user00\n"
    "001A032001107004name07003Ann00\n"
    "0013022001207005prefs00\n"
    "001B032001107005color07003red00\n"
    "0009012001300\n"
    "001B032001407004icon09004\x01\x02\n\x7f"
    "00\n"
    "0009012001300\n"
    "0009012001300\n";

inline std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) {
    out += text;
  }
  return out;
}

// A chain of depth composites named "abcd", the innermost holding one value.
inline std::string deepTree(int depth) {
  return repeat("0012022001207004abcd00\n", depth) + "001A032001107004name07003Ann00\n" +
         repeat("0009012001300\n", depth + 1);
}

inline std::string quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

class QelTool : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return (dir.path() / name).string(); }

  std::string expand(const std::string& args, bool quoted = true) const {
    auto q = [quoted](const std::string& text) { return quoted ? quote(text) : text; };
    std::string out;
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args.compare(i, 4, "TOOL") == 0) {
        out += QEL_TOOL_PATH;
        i += 3;
      } else if (args.compare(i, 7, "EXAMPLE") == 0) {
        out += q(std::string(QEL_SOURCE_DIR) + "/examples/settings.qel");
        i += 6;
      } else if (args[i] == '@') {
        out += q(dir.str()) + "/";
      } else {
        out += args[i];
      }
    }
    return out;
  }

  // Runs qel with the arguments: a shell text, expanded as in a row.
  Result run(const std::string& args) {
    const std::string command =
        QEL_TOOL_PATH + (" " + expand(args)) + " 2>" + quote(path("stderr.txt"));
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got; pipe != nullptr && (got = std::fread(buffer, 1, 4096, pipe)) > 0;) {
      result.out.append(buffer, got);
    }
    const int raw = pipe != nullptr ? pclose(pipe) : -1;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.err = dir.readFile("stderr.txt");
    fs::remove(path("stderr.txt"));
    return result;
  }

  void expectRows(std::initializer_list<Row> rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.args);
      const Result r = run(row.args);
      EXPECT_EQ(row.status, r.status) << r.err;
      const std::string out = expand(row.out, false);
      const std::string err = expand(row.err, false);
      if (out[0] == '=') {
        EXPECT_EQ(out.substr(1), r.out);
      }
      for (std::size_t at = 0, end; out[0] != '=' && at <= out.size(); at = end + 1) {
        end = std::min(out.find('|', at), out.size());
        EXPECT_NE(r.out.find(out.substr(at, end - at)), std::string::npos) << r.out;
      }
      if (!err.empty()) {
        EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
        EXPECT_TRUE(row.status != 1 || r.err.find('\n') == r.err.size() - 1) << r.err;
      } else if (row.status == 0) {
        EXPECT_EQ("", r.err);
      }
    }
  }

  qel_test::TempDir dir;
};

}  // namespace qel_tool_test

#endif  // QEL_TESTS_TOOLS_QELTOOLFIXTURE_H_
