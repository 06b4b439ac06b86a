// Writes the starting corpora of the fuzz targets, using the library itself for
// archives, tree files, date texts and enciphered values.
//
// Usage: fuzz_make_corpus CORPUS_DIR  (the directory that holds one
// directory per target; existing inputs of the same names are replaced).

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/StringHelper.h"
#include "qel/crypto/BlowFish.h"
#include "qel/datetime/DateTime.h"
#include "qel/io/File.h"
#include "qel/platform/ConsoleLogger.h"

using namespace qel;

namespace {

std::string g_root;

std::string readAll(const std::string& path) {
  std::string content;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    return content;
  }
  char block[4096];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof(block), in)) != 0) {
    content.append(block, got);
  }
  std::fclose(in);
  return content;
}

void writeInput(const char* target, const char* name, const std::string& bytes) {
  const std::string dir = g_root + "/" + target;
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::fclose(out);
}

std::wstring wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string scratch(const char* name) {
  return g_root + "/." + name;
}

// The bytes of an archive written by fill.
template <typename F>
std::string archiveBytes(F fill) {
  const std::string path = scratch("archive.tmp");
  {
    CFile file(wide(path));
    CArchive ar(file, CArchive::STORE);
    fill(ar);
    ar.close();
  }
  std::string bytes = readAll(path);
  std::remove(path.c_str());
  return bytes;
}

std::string treeBytes(CComposite& root) {
  const std::string path = scratch("tree.tmp");
  CTreeFile::store(CFile(wide(path)), root);
  std::string bytes = readAll(path);
  std::remove(path.c_str());
  return bytes;
}

// An archive-reader input: the file, then the call program and its length.
std::string withProgram(const std::string& file, const std::vector<std::uint8_t>& program) {
  std::string input = file;
  input.append(program.begin(), program.end());
  input += static_cast<char>(program.size());
  return input;
}

void archiveInputs() {
  CArchive::RetError code = CArchive::RET_OK;
  unsigned char bytes[] = {'A', '\n', 0, 0xFF, '0'};
  const std::string every = archiveBytes([&](CArchive& ar) {
    ar.writeBoolean(true, code);
    ar.writeShort(-12345, code);
    ar.writeUShort(65535, code);
    ar.writeInteger(-2147483647 - 1, code);
    ar.writeLong(2147483647, code);
    ar.writeULong(4294967295u, code);
    ar.writeULongLong(18446744073709551615ull, code);
    ar.writeString("name\nwith a line feed", code);
    ar.writeDate(CDateTime(2024, 1, 31, 12, 34, 56, 789), code);
    ar.writeData(bytes, sizeof(bytes), code);
    ar.writeEndLine(code);
  });
  writeInput("fuzz_archive_reader", "every-field",
             withProgram(every, {0, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13}));
  writeInput("fuzz_archive_reader", "every-field-by-hand",
             withProgram(every, {0, 16, 1, 17, 15, 9, 18, 16, 2, 17, 15, 14, 18, 23, 15, 8}));

  CDateTime date(2024, 1, 31, 12, 34, 56, 789);
  date.forceGMT(true);
  const std::string dates = archiveBytes([&](CArchive& ar) {
    ar << date;
    ar << CDateTime();
  });
  writeInput("fuzz_archive_reader", "date-records", withProgram(dates, {0, 21, 0, 21, 0}));

  const std::string blocks = archiveBytes([&](CArchive& ar) {
    for (int i = 0; i < 40; ++i) {
      ar.writeShort(1, code);
      ar.writeString("record " + std::to_string(i), code);
      ar.writeString(std::string(static_cast<std::size_t>(100 + i * 7), 'x'), code);
      ar.writeEndLine(code);
    }
  });
  writeInput("fuzz_archive_reader", "several-blocks",
             withProgram(blocks, {20, 200, 19, 60, 0, 4, 10, 10, 20, 255, 0, 22}));

  const std::string longest = archiveBytes([&](CArchive& ar) {
    ar.writeString(std::string(CArchive::MAX_VALUE_LENGTH, 'L'), code);
    ar.writeEndLine(code);
  });
  writeInput("fuzz_archive_reader", "longest-value", withProgram(longest, {0, 10}));
  writeInput("fuzz_archive_reader", "empty", std::string());
}

void treeInputs() {
  {
    CComposite root;
    auto* box = new CComposite("box");
    root.add(box);
    box->add(new CComponent("id", "42"));
    auto* b = new CBinaryComponent("b");
    const unsigned char ab[] = {'A', 'B'};
    b->setData(ab, sizeof(ab));
    root.add(b);
    const std::string whole = treeBytes(root);
    writeInput("fuzz_tree_load", "box-id-b", whole);
    // The same file with one fault each: a damaged byte at the start, in the
    // middle and at the end, a cut, and records after the tree's end.
    const auto damaged = [&whole](std::size_t at, char byte) {
      std::string copy = whole;
      copy[at] = byte;
      return copy;
    };
    writeInput("fuzz_tree_load", "damaged-first-byte", damaged(0, 'z'));
    writeInput("fuzz_tree_load", "damaged-middle-byte", damaged(whole.size() / 2, '\n'));
    writeInput("fuzz_tree_load", "damaged-last-byte", damaged(whole.size() - 1, '0'));
    writeInput("fuzz_tree_load", "cut-one-short", whole.substr(0, whole.size() - 1));
    writeInput("fuzz_tree_load", "records-after-the-end",
               whole + whole.substr(0, whole.size() / 2));
  }
  {
    CComposite root;
    writeInput("fuzz_tree_load", "empty-root", treeBytes(root));
  }
  {
    CComposite root;
    CComposite* at = &root;
    for (int depth = 0; depth < 6; ++depth) {
      auto* inner = new CComposite("level" + std::to_string(depth));
      at->add(new CComponent("a", ""));
      at->add(new CComponent("a", "same name"));
      auto* data = new CBinaryComponent("lf");
      const unsigned char lf[] = {'\n', '0', '\n'};
      data->setData(lf, sizeof(lf));
      at->add(data);
      at->add(new CBinaryComponent("none"));
      at->add(inner);
      at = inner;
    }
    const std::string nested = treeBytes(root);
    writeInput("fuzz_tree_load", "nested", nested);
    writeInput("fuzz_tree_load", "nested-truncated", nested.substr(0, nested.size() / 2));
  }
  {
    CComposite root;
    auto* unnamed = new CComposite("");
    root.add(unnamed);
    unnamed->add(new CComponent("inside", "x"));
    root.add(new CComponent("after", "y"));
    writeInput("fuzz_tree_load", "unnamed-inner", treeBytes(root));
  }
  {
    CComposite root("named-root");
    root.add(new CComponent("k", "v"));
    writeInput("fuzz_tree_load", "named-root", treeBytes(root));
  }
}

// The instruction bytes of a text: length, fill byte, the bytes.
std::string text(const std::string& bytes) {
  return std::string(1, static_cast<char>(bytes.size())) + '-' + bytes;
}

void printInputs() {
  CComposite root;
  auto* box = new CComposite("box");
  root.add(box);
  box->add(new CComponent("name", "caf\xE9\tline\x01"));
  auto* bytes = new CBinaryComponent("bytes");
  const unsigned char some[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  bytes->setData(some, sizeof(some));
  box->add(bytes);
  root.add(new CComponent("top", ""));
  const std::string tree = treeBytes(root);
  writeInput("fuzz_qel_print", "tree", tree);
  writeInput("fuzz_qel_print", "tree-then-record", tree + "0009012001300\n");
  writeInput("fuzz_qel_print", "tree-truncated", tree.substr(0, tree.size() - 9));
  CArchive::RetError code = CArchive::RET_OK;
  writeInput("fuzz_qel_print", "every-field", archiveBytes([&](CArchive& ar) {
               ar.writeBoolean(false, code);
               ar.writeShort(7, code);
               ar.writeUShort(8, code);
               ar.writeInteger(-9, code);
               ar.writeLong(10, code);
               ar.writeULong(11, code);
               ar.writeULongLong(12, code);
               ar.writeString("text", code);
               ar.writeDate(CDateTime(1999, 12, 31), code);
               ar.writeData(const_cast<unsigned char*>(some), sizeof(some), code);
               ar.writeEndLine(code);
               ar << CDateTime(2000, 1, 1, 1, 2, 3, 4);
             }));
}

void roundTripInputs() {
  // Flags, then per instruction an op byte and its texts.
  const std::string named(1, '\1');
  const std::string unnamed(1, '\0');
  const std::string leaf(1, '\0');
  const std::string binary(1, '\2');
  const std::string open(1, '\3');
  const std::string close(1, '\4');
  const std::string twin(1, '\5');
  const std::string emptyBinary(1, '\6');
  writeInput("fuzz_tree_roundtrip", "leaves",
             unnamed + leaf + text("ab") + text("cde") + binary + text("q") + text("zz"));
  writeInput("fuzz_tree_roundtrip", "nested",
             named + open + text("box") + leaf + text("id") + text("42") + close + twin +
                 text("v") + emptyBinary);
  // 4095 bytes fit a field, 4096 do not: the second tree is refused.
  const std::string at4095("\xF1x\0", 3);
  const std::string at4096("\xF2y\0", 3);
  writeInput("fuzz_tree_roundtrip", "at-the-limit", unnamed + leaf + text("n") + at4095);
  writeInput("fuzz_tree_roundtrip", "over-the-limit", unnamed + binary + text("b") + at4096);
  // 4097 line feeds store as an empty name.
  writeInput("fuzz_tree_roundtrip", "line-feeds",
             unnamed + leaf + std::string("\xF3\n\0", 3) + text("v"));
  // Bytes replaced from their own array, a value changed, a leaf removed,
  // a composite copied into itself, the whole tree stored as a copy.
  const std::string storeCopy(1, '\2');
  writeInput("fuzz_tree_roundtrip", "edits",
             storeCopy + binary + text("b") + text("abcdef") + std::string("\x09\x02", 2) + leaf +
                 text("x") + text("y") + std::string(1, '\x0a') + text("z") + leaf + text("w") +
                 text("gone") + std::string(1, '\x08') + std::string(1, '\x0b') + text("copy"));
  writeInput("fuzz_tree_roundtrip", "unnamed-inner",
             unnamed + open + text("") + leaf + text("a") + text("b") + close + leaf + text("c") +
                 text("d"));
}

void dateInputs() {
  CDateTime full(2024, 2, 29, 23, 59, 58, 7);
  CDateTime midnight(1, 1, 1);
  CDateTime last(9999, 12, 31, 0, 0, 0, 999);
  std::vector<std::string> texts;
  for (CDateTime date : {full, midnight, last}) {
    for (int gmt = 0; gmt < 2; ++gmt) {
      date.forceGMT(gmt != 0);
      date.encodeDateUsingDashes(gmt != 0);
      texts.push_back(date.toByteString(false));
      texts.push_back(date.toByteString(true));
    }
  }
  texts.push_back("00000000T120000");
  texts.push_back(" +2024-1 3T 1 2 3");
  // Each text in one of the four input modes.
  int n = 0;
  for (const std::string& text : texts) {
    const int mode = n % 4;
    std::string input(1, static_cast<char>(mode));
    if (mode < 2) {
      input += text;
    } else {
      for (char c : text) {
        input += c;
        input.append(3, '\0');
      }
    }
    writeInput("fuzz_date_text", ("text-" + std::to_string(n++)).c_str(), input);
  }
}

// Raw values: day number, milliseconds (big-endian), flags, five shifts.
void rawDateInputs() {
  writeInput("fuzz_date_text", "raw-largest",
             std::string("\x04\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x03\x7F\xFF\x80\x00\x7F\xFF"
                         "\x80\x00\x7F\xFF",
                         20));
  writeInput("fuzz_date_text", "raw-ordinary",
             std::string("\x04\x00\x25\x8A\x35\x02\xB3\x2E\x95\x01\x00\x01\xFF\xE8\x00"
                         "\x3C\x00\x00\x03\xE8",
                         20));
}

void hexInputs() {
  const std::string key = "secret key";
  const SBlock iv(0x01234567u, 0x89ABCDEFu);
  CBlowFish cipher(reinterpret_cast<const unsigned char*>(key.data()),
                   static_cast<unsigned int>(key.size()), iv);
  std::string head(1, static_cast<char>(key.size()));
  head += key;
  const unsigned char ivBytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  head.append(reinterpret_cast<const char*>(ivBytes), 8);
  writeInput("fuzz_hex_value", "hello", head + cipher.encodeValue("hello"));
  writeInput("fuzz_hex_value", "eight-bytes", head + cipher.encodeValue("12345678"));
  writeInput("fuzz_hex_value", "spaces-and-nul",
             head + cipher.encodeValue(std::string("a \0b  ", 6)));
  std::string upper = cipher.encodeValue("Upper case digits");
  for (char& c : upper) {
    if (c >= 'a' && c <= 'f') {
      c = static_cast<char>(c - 32);
    }
  }
  writeInput("fuzz_hex_value", "upper", head + upper);
  writeInput("fuzz_hex_value", "signs", head + "-1 f+a\tz0x9-F-1 f+a\tz0x9-F");
  std::string longKey(1, 60);
  longKey.append(60, 'k');
  longKey.append(8, '\0');
  writeInput("fuzz_hex_value", "long-key", longKey + "value of a long key");
}

void codecInputs() {
  const std::string utf8 = CWin32Helper::toUTF8(L"h\u00e9llo \u20ac \U0001D11E \uFFFF");
  writeInput("fuzz_text_codecs", "utf8", std::string("\x00\x00", 2) + utf8);
  writeInput("fuzz_text_codecs", "utf8-broken",
             std::string("\x00\x00", 2) + "\xC0\xAF\xE0\x80\xED\xA0\x80\xF4\x90\x80\x80\xF0\x9F");
  std::string units;
  for (wchar_t c : std::wstring(L"A\u00e9\u20ac\U0001D11E")) {
    const auto v = static_cast<std::uint32_t>(c);
    for (int k = 0; k < 4; ++k) {
      units += static_cast<char>((v >> (8 * k)) & 0xFF);
    }
  }
  units += std::string("\x00\xD8\x00\x00\x00\x00\x11\x00\xFF\xFF\xFF\xFF", 12);
  writeInput("fuzz_text_codecs", "wide", std::string("\x01\x00", 2) + units);
  writeInput("fuzz_text_codecs", "utf7",
             std::string("\x02\x00", 2) + "Hi Mom -+Jjo--! +ZeVnLIqe- 1 +- 2");
  writeInput("fuzz_text_codecs", "ansi-1252",
             std::string("\x03\x00", 2) + "caf\xE9 \x80 \x81\x8D\x9F");
  writeInput("fuzz_text_codecs", "ansi-1251",
             std::string("\x09\x00", 2) + "\xCF\xF0\xE8\xE2\xE5\xF2");
  writeInput("fuzz_text_codecs", "iconv-sjis",
             std::string("\x04\x01", 2) + "x\x93\xfa\x96\x7b\x8c\xea");
  writeInput("fuzz_text_codecs", "iconv-utf16",
             std::string("\x1C\x00", 2) + std::string("h\0i\0=\xD8\x1E\xDD", 8));
  writeInput("fuzz_text_codecs", "page-number", std::string("\x05\x04", 2) + "bytes");
}

void pathInputs() {
  const char* paths[] = {
      "C:\\dir\\sub\\file.txt\xFF"
      "child.txt",
      "\\rooted\\name\xFF..\\up",
      "C:\xFF"
      "rel\xFF"
      "D:\\current",
      "c:relative\\x\xFF"
      "C:\\abs",
      "/usr/local/lib/\xFF"
      "libqel.so",
      "./a/./b/../c\xFF.\xFF/tmp",
      "\xFF\xFF",
      "C:\\\xFF"
      "a<b>:c|d?e*f"};
  int n = 0;
  for (const char* path : paths) {
    // Flags: Windows rules on odd inputs, the current directory from the
    // input on every second pair.
    const int flags = n % 4;
    writeInput("fuzz_path_rules", ("path-" + std::to_string(n++)).c_str(),
               std::string(1, static_cast<char>(flags)) + path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  if (g_root.empty() || g_root[0] != '/') {
    std::fprintf(stderr, "CORPUS_DIR must be an absolute path\n");
    return 2;
  }
  mkdir(g_root.c_str(), 0755);
  DISPLAY_ERROR_LOGS = false;
  archiveInputs();
  treeInputs();
  roundTripInputs();
  printInputs();
  dateInputs();
  rawDateInputs();
  hexInputs();
  codecInputs();
  pathInputs();
  return 0;
}
