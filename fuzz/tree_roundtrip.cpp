// Builds a component tree from the input's instructions, stores it and
// loads it back.  A tree whose names and values fit their fields must come
// back as the record model says; any other must be refused with
// IOException, leaving the previous file as it was.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TreeModel.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/io/File.h"

using qel::CArchive;
using qel::CComposite;
using qel::CTreeFile;
using qel_fuzz::ByteReader;
using qel_fuzz::ScratchDir;

namespace {

// A name or value: a short length, or one near the field limit; the bytes
// come from the input and are filled up with one repeated byte (which may
// be a line feed, which storing removes).
std::string makeText(ByteReader& in) {
  static const std::size_t kLong[] = {4094, 4095, 4096, 4097, 5000, 8190};
  const std::uint8_t choice = in.byte();
  std::size_t length = choice;
  if (choice >= 0xF0) {
    length = kLong[(choice - 0xF0) % (sizeof(kLong) / sizeof(kLong[0]))];
  } else if (choice >= 0x40) {
    length = choice % 24;
  }
  const std::uint8_t fill = in.byte();
  std::string text = in.bytes(length < 64 ? length : in.byte());
  text.resize(length, static_cast<char>(fill));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::uint8_t rootFlags = in.byte();
  CComposite root(rootFlags & 1 ? "root" : "");
  std::vector<CComposite*> open(1, &root);
  std::string lastName;
  // The last leaf added (and its composite), and the last binary one.
  qel::CBaseComponent* lastLeaf = nullptr;
  CComposite* lastLeafParent = nullptr;
  qel::CBinaryComponent* lastBinary = nullptr;
  int copies = 0;
  const auto addLeaf = [&](qel::CBaseComponent* leaf) {
    open.back()->add(leaf);
    lastLeaf = leaf;
    lastLeafParent = open.back();
    lastName = leaf->getName();
  };
  for (int step = 0; step < 400 && !in.empty(); ++step) {
    const std::uint8_t op = in.byte();
    switch (op % 12) {
      case 0:
      case 1: {
        const std::string name = makeText(in);
        addLeaf(new qel::CComponent(name, makeText(in)));
        break;
      }
      case 2: {
        auto* binary = new qel::CBinaryComponent(makeText(in));
        const std::string bytes = makeText(in);
        binary->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<unsigned int>(bytes.size()));
        addLeaf(binary);
        lastBinary = binary;
        break;
      }
      case 3: {
        auto* composite = new CComposite(makeText(in));
        open.back()->add(composite);
        open.push_back(composite);
        lastName = composite->getName();
        break;
      }
      case 4:
        if (open.size() > 1) {
          open.pop_back();
        }
        break;
      case 5:
        // A second child of the same name.
        addLeaf(new qel::CComponent(lastName, makeText(in)));
        break;
      case 6:
        addLeaf(new qel::CBinaryComponent(lastName));
        break;
      case 7:
        // A lookup sorts the last added child in.
        open.back()->find(makeText(in));
        break;
      case 8:
        if (lastLeaf != nullptr) {
          const std::size_t before = lastLeafParent->getChildCount();
          lastLeafParent->remove(lastLeaf);
          QEL_FUZZ_CHECK(lastLeafParent->getChildCount() == before - 1);
          if (lastBinary == lastLeaf) {
            lastBinary = nullptr;
          }
          lastLeaf = nullptr;
        }
        break;
      case 9:
        // New bytes taken from the bytes the component holds.
        if (lastBinary != nullptr) {
          unsigned int size = 0;
          const unsigned char* bytes = lastBinary->getData(size);
          const unsigned int offset = size == 0 ? 0 : in.byte() % size;
          const std::string expected(reinterpret_cast<const char*>(bytes) + offset, size - offset);
          lastBinary->setData(bytes + offset, size - offset);
          const unsigned char* now = lastBinary->getData(size);
          QEL_FUZZ_CHECK(std::string(reinterpret_cast<const char*>(now), size) == expected);
        }
        break;
      case 10:
        if (auto* text = dynamic_cast<qel::CComponent*>(lastLeaf)) {
          text->setValue(makeText(in));
        }
        break;
      default: {
        // A copy of the open composite, added to it (a few times only: each
        // copy may double the tree).
        if (++copies > 3) {
          break;
        }
        auto* copy = new CComposite(makeText(in));
        *copy = *open.back();
        open.back()->add(copy);
        break;
      }
    }
  }

  // Storing a copy instead must make no difference.
  std::unique_ptr<CComposite> copy;
  if ((rootFlags & 2) != 0) {
    copy.reset(new CComposite("other"));
    *copy = root;
    QEL_FUZZ_CHECK(qel_fuzz::sameTree(*qel_fuzz::snapshot(root), *qel_fuzz::snapshot(*copy)));
  }
  CComposite& stored = copy ? *copy : root;

  const std::unique_ptr<qel_fuzz::Node> built = qel_fuzz::snapshot(stored);
  static const std::string path = ScratchDir::instance().file("tree.qel");
  static const std::string marker = "previous content\n";
  ScratchDir::instance().write(path, reinterpret_cast<const std::uint8_t*>(marker.data()),
                               marker.size());
  const qel::CFile file(ScratchDir::wide(path));

  if (!qel_fuzz::fitsFields(*built)) {
    bool refused = false;
    try {
      CTreeFile::store(file, stored);
    } catch (const qel::IOException&) {
      refused = true;
    }
    QEL_FUZZ_CHECK(refused);
    std::string content;
    QEL_FUZZ_CHECK(ScratchDir::instance().read(path, content) && content == marker);
    QEL_FUZZ_CHECK(!ScratchDir::instance().read(path + ".tmp", content));
    // The tree itself is untouched by the failed store.
    QEL_FUZZ_CHECK(qel_fuzz::sameTree(*built, *qel_fuzz::snapshot(stored)));
    return 0;
  }

  CTreeFile::store(file, stored);
  CComposite loaded;
  const CTreeFile::LoadReport report = CTreeFile::load(file, loaded);
  CArchive::RetError expectedCode = CArchive::RET_OK;
  const std::unique_ptr<qel_fuzz::Node> expected = qel_fuzz::expectedLoad(*built, expectedCode);
  QEL_FUZZ_CHECK(report.bFound);
  QEL_FUZZ_CHECK(report.eCode == expectedCode);
  QEL_FUZZ_CHECK(qel_fuzz::sameTree(*expected, *qel_fuzz::snapshot(loaded)));
  return 0;
}
