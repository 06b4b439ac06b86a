// UTF-8 to wide text and back on mixed European text, against glibc's iconv
// (one handle per direction, reused as a caller would) and POCO's
// UnicodeConverter.  All three produce the same wide string and the same
// UTF-8 bytes; that is checked once before timing.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <Poco/UnicodeConverter.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "BenchSupport.h"
#include "qel/core/StringHelper.h"

namespace {

using qelbench::require;

// Running text in several European languages: mostly ASCII letters with
// accented Latin letters, Greek and Cyrillic words, and the euro sign.
const char kParagraph[] =
    "Die Gr\xc3\xb6\xc3\x9f"
    "e der Datei betr\xc3\xa4gt 12 MB; \xc3\xbc"
    "berpr\xc3\xbc"
    "fen Sie den Speicher. "
    "Le fichier a \xc3\xa9t\xc3\xa9 enregistr\xc3\xa9 \xc3\xa0 l'emplacement pr\xc3\xa9vu, "
    "o\xc3\xb9 il restera. "
    "El a\xc3\xb1o pasado la se\xc3\xb1ora pag\xc3\xb3 15 \xe2\x82\xac por la canci\xc3\xb3n. "
    "Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87 g\xc4\x99\xc5\x9bl\xc4\x85 ja\xc5\xba\xc5\x84. "
    "P\xc5\x99\xc3\xadli\xc5\xa1 \xc5\xbelu\xc5\xa5ou\xc4\x8dk\xc3\xbd k\xc5\xaf\xc5\x88. "
    "\xce\x9a\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1 \xce\xba\xcf\x8c\xcf\x83"
    "\xce\xbc\xce\xb5. "
    "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82, \xd0\xbc\xd0\xb8\xd1\x80! "
    "The settings were saved in the archive and will be read again at start-up.\n";

std::string sampleText() {
  const std::size_t repeats = qelbench::scaled(16, 1);
  std::string text;
  for (std::size_t i = 0; i < repeats; ++i) {
    text += kParagraph;
  }
  return text;
}

// One conversion descriptor per direction, kept for the whole run.
class IconvPair {
 public:
  IconvPair() : _toWide(iconv_open("WCHAR_T", "UTF-8")), _toUtf8(iconv_open("UTF-8", "WCHAR_T")) {
    require(_toWide != reinterpret_cast<iconv_t>(-1) && _toUtf8 != reinterpret_cast<iconv_t>(-1),
            "iconv_open");
  }
  ~IconvPair() {
    iconv_close(_toWide);
    iconv_close(_toUtf8);
  }
  IconvPair(const IconvPair&) = delete;
  IconvPair& operator=(const IconvPair&) = delete;

  // At most one wide character per byte.
  std::wstring toWide(const std::string& text) const {
    std::wstring out(text.size(), L'\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* dst = reinterpret_cast<char*>(&out[0]);
    std::size_t outLeft = out.size() * sizeof(wchar_t);
    iconv(_toWide, nullptr, nullptr, nullptr, nullptr);
    const std::size_t rc = iconv(_toWide, &in, &inLeft, &dst, &outLeft);
    require(rc != static_cast<std::size_t>(-1), "iconv to wide");
    out.resize(out.size() - outLeft / sizeof(wchar_t));
    return out;
  }

  // At most four bytes per character.
  std::string toUtf8(const std::wstring& text) const {
    std::string out(4 * text.size(), '\0');
    char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
    std::size_t inLeft = text.size() * sizeof(wchar_t);
    char* dst = &out[0];
    std::size_t outLeft = out.size();
    iconv(_toUtf8, nullptr, nullptr, nullptr, nullptr);
    const std::size_t rc = iconv(_toUtf8, &in, &inLeft, &dst, &outLeft);
    require(rc != static_cast<std::size_t>(-1), "iconv to UTF-8");
    out.resize(out.size() - outLeft);
    return out;
  }

 private:
  iconv_t _toWide;
  iconv_t _toUtf8;
};

std::wstring pocoToWide(const std::string& text) {
  std::wstring wide;
  Poco::UnicodeConverter::convert(text, wide);
  return wide;
}

std::string pocoToUtf8(const std::wstring& wide) {
  std::string text;
  Poco::UnicodeConverter::convert(wide, text);
  return text;
}

void checkAll(const std::string& text) {
  const std::wstring wide = qel::CStringHelper::fromUTF8(text);
  require(wide.size() < text.size(), "the sample has multi-byte characters");
  require(qel::CStringHelper::toUTF8(wide) == text, "QelCore round trip");
  const IconvPair iconvPair;
  require(iconvPair.toWide(text) == wide, "iconv and QelCore wide text differ");
  require(iconvPair.toUtf8(wide) == text, "iconv round trip");
  require(pocoToWide(text) == wide, "POCO and QelCore wide text differ");
  require(pocoToUtf8(wide) == text, "POCO round trip");
}

void setBytes(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void utf8_roundtrip_qel(benchmark::State& state) {
  const std::string text = sampleText();
  checkAll(text);
  for (auto _ : state) {
    std::wstring wide = qel::CStringHelper::fromUTF8(text);
    benchmark::DoNotOptimize(wide.data());
    std::string back = qel::CStringHelper::toUTF8(wide);
    benchmark::DoNotOptimize(back.data());
  }
  setBytes(state, text);
}

void utf8_roundtrip_iconv(benchmark::State& state) {
  const std::string text = sampleText();
  checkAll(text);
  const IconvPair iconvPair;
  for (auto _ : state) {
    std::wstring wide = iconvPair.toWide(text);
    benchmark::DoNotOptimize(wide.data());
    std::string back = iconvPair.toUtf8(wide);
    benchmark::DoNotOptimize(back.data());
  }
  setBytes(state, text);
}

void utf8_roundtrip_poco(benchmark::State& state) {
  const std::string text = sampleText();
  checkAll(text);
  for (auto _ : state) {
    std::wstring wide = pocoToWide(text);
    benchmark::DoNotOptimize(wide.data());
    std::string back = pocoToUtf8(wide);
    benchmark::DoNotOptimize(back.data());
  }
  setBytes(state, text);
}

BENCHMARK(utf8_roundtrip_qel)->Name("utf8_roundtrip/qel");
BENCHMARK(utf8_roundtrip_iconv)->Name("utf8_roundtrip/iconv");
BENCHMARK(utf8_roundtrip_poco)->Name("utf8_roundtrip/poco");

}  // namespace

BENCHMARK_MAIN();
