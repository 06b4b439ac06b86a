// Component-tree loading over arbitrary file content.  Whatever loads must
// be a well-formed tree that copies exactly and that stores and loads back
// as the record model says.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "TreeModel.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/io/File.h"

using qel::CArchive;
using qel::CComposite;
using qel::CTreeFile;
using qel_fuzz::ScratchDir;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string input = ScratchDir::instance().file("input.qel");
  static const std::string again = ScratchDir::instance().file("again.qel");
  ScratchDir::instance().write(input, data, size);

  CComposite root;
  const CTreeFile::LoadReport report = CTreeFile::load(qel::CFile(ScratchDir::wide(input)), root);
  QEL_FUZZ_CHECK(report.bFound);
  QEL_FUZZ_CHECK(report.eCode >= CArchive::RET_OK && report.eCode <= CArchive::RET_END_OF_DATA);
  QEL_FUZZ_CHECK(report.nOffset <= size);
  QEL_FUZZ_CHECK(root.isRoot());

  const std::unique_ptr<qel_fuzz::Node> loaded = qel_fuzz::snapshot(root);
  // Every node but the root comes from a record of at least 12 bytes.
  QEL_FUZZ_CHECK((qel_fuzz::nodeCount(*loaded) - 1) * 12 <= size);

  {
    std::unique_ptr<qel::CBaseComponent> clone(root.clone());
    QEL_FUZZ_CHECK(
        qel_fuzz::sameTree(*loaded, *qel_fuzz::snapshot(static_cast<CComposite&>(*clone))));
    CComposite copy(root);
    QEL_FUZZ_CHECK(qel_fuzz::sameTree(*loaded, *qel_fuzz::snapshot(copy)));
  }

  // Nothing loaded can exceed a field; a line feed read inside a name or a
  // text cannot be stored, and the store refuses the tree without writing.
  static const std::string marker = "previous content\n";
  ScratchDir::instance().write(again, reinterpret_cast<const std::uint8_t*>(marker.data()),
                               marker.size());
  if (!qel_fuzz::fitsFields(*loaded)) {
    bool refused = false;
    try {
      CTreeFile::store(qel::CFile(ScratchDir::wide(again)), root);
    } catch (const qel::IOException&) {
      refused = true;
    }
    std::string content;
    QEL_FUZZ_CHECK(refused);
    QEL_FUZZ_CHECK(ScratchDir::instance().read(again, content) && content == marker);
    return 0;
  }
  CTreeFile::store(qel::CFile(ScratchDir::wide(again)), root);
  CComposite back;
  const CTreeFile::LoadReport second = CTreeFile::load(qel::CFile(ScratchDir::wide(again)), back);
  CArchive::RetError expectedCode = CArchive::RET_OK;
  const std::unique_ptr<qel_fuzz::Node> expected = qel_fuzz::expectedLoad(*loaded, expectedCode);
  QEL_FUZZ_CHECK(second.bFound);
  QEL_FUZZ_CHECK(second.eCode == expectedCode);
  QEL_FUZZ_CHECK(qel_fuzz::sameTree(*expected, *qel_fuzz::snapshot(back)));
  return 0;
}
