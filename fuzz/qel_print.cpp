// The printing paths of "qel records" and "qel show": every record of any
// archive, and the outline of whatever tree loads, printed to a stream that
// discards the text.  A malformed file must end in the tool's Failure, never
// in a crash or another exception.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

#include "Common.h"
#include "FuzzSupport.h"
#include "Inspect.h"
#include "TreeModel.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"

using qel_fuzz::ScratchDir;

namespace {

// Discards the text and counts its lines.
class LineCounter : public std::streambuf {
 public:
  std::size_t lines() const { return _lines; }

 protected:
  int_type overflow(int_type c) override {
    if (c == '\n') {
      ++_lines;
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) {
      if (s[i] == '\n') {
        ++_lines;
      }
    }
    return n;
  }

 private:
  std::size_t _lines = 0;
};

// The records of the file and the failure that ended the walk, if any.
struct Walk {
  std::uint32_t records = 0;
  std::string failure;
  std::size_t lines = 0;
};

Walk walk(const std::string& path, bool print) {
  Walk result;
  LineCounter counter;
  std::ostream out(&counter);
  try {
    result.records = qeltool::walkRecords(path, print ? &out : nullptr);
  } catch (const qeltool::Failure& failure) {
    result.failure = failure.what();
  }
  result.lines = counter.lines();
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = ScratchDir::instance().file("settings.qel");
  ScratchDir::instance().write(path, data, size);

  // qel records: printing or only counting walks the same records.
  const Walk printed = walk(path, true);
  const Walk counted = walk(path, false);
  QEL_FUZZ_CHECK(printed.records == counted.records);
  QEL_FUZZ_CHECK(printed.failure == counted.failure);
  QEL_FUZZ_CHECK(counted.lines == 0);
  // At least one line per record printed (a failure stops before printing
  // the record it names).
  QEL_FUZZ_CHECK(printed.lines >= printed.records);

  // qel show: the outline of a tree that loads, one line per component.
  {
    qel::CComposite root;
    bool loaded = true;
    try {
      qeltool::loadTree(path, root);
    } catch (const qeltool::Failure&) {
      loaded = false;
    }
    // A tree loads only from a file whose records all read.
    QEL_FUZZ_CHECK(!loaded || printed.failure.empty());
    LineCounter counter;
    std::ostream out(&counter);
    qeltool::printOutline(root, out);
    const std::size_t components = qeltool::countComponents(root);
    QEL_FUZZ_CHECK(counter.lines() == components);
    QEL_FUZZ_CHECK(components + 1 == qel_fuzz::nodeCount(*qel_fuzz::snapshot(root)));
  }
  return 0;
}
