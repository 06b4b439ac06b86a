// repair: keeps what loads of a damaged settings archive and stores it
// whole.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <sstream>

#include "Commands.h"
#include "Common.h"
#include "Inspect.h"
#include "qel/archive/TreeFile.h"

namespace qeltool {

int cmdRepair(const std::string& path, const std::string& output, bool inPlace) {
  if (inPlace == !output.empty()) {
    throw UsageError(inPlace ? "repair: give either -o OUT or --in-place, not both"
                             : "repair: give -o OUT (- for standard output) or --in-place");
  }
  if (inPlace && path == "-") {
    throw UsageError("repair: standard input cannot be repaired in place");
  }
  // An in-place repair must not race another process's edit of the file.
  std::unique_ptr<EditLock> lock;
  if (inPlace) {
    requireReadableFile(path);
    lock = std::make_unique<EditLock>(path);
  }
  const InputFile input(path);
  requireReadableFile(input.path());
  const std::string bytes = readWholeFile(input.path());
  qel::CComposite root;
  // Loading leaves every component read before the damage in root, inside
  // the composites that were open there; storing closes them.
  const qel::CTreeFile::LoadReport report = qel::CTreeFile::load(toFile(input.path()), root);
  std::uint64_t kept = 0;
  std::uint32_t records = 0;
  if (report.eCode == qel::CArchive::RET_OK) {
    kept = recordEnd(bytes, report.nOffset);
    records = report.nRecord;
  } else {
    kept = bytes.empty() ? 0 : report.nOffset;
    records = report.nRecord == 0 ? 0 : report.nRecord - 1;
  }
  std::ostringstream said;
  said << input.name() << ": kept " << records << " records (" << countComponents(root)
       << " components, " << kept << " bytes)";
  if (kept >= bytes.size()) {
    said << "; nothing dropped";
  } else {
    said << "; dropped " << (bytes.size() - kept) << " bytes from byte offset " << kept;
    if (report.eCode != qel::CArchive::RET_OK) {
      said << " (" << report.message() << ")";
    } else {
      said << " (records after the end of the tree)";
    }
  }
  if (output == "-") {
    storeTreeToStandardOutput(root);
    std::cerr << "qel: " << said.str() << "\n";
    return kExitOk;
  }
  if (inPlace) {
    if (report.eCode == qel::CArchive::RET_OK && kept >= bytes.size()) {
      std::cout << said.str() << "; left as it was\n";
      finishStandardOutput();
      return kExitOk;
    }
    writeOutput(path + ".damaged", bytes);
    qel::CTreeFile::store(toFile(path), root, storeFlags());
    said << "; the damaged file is kept as " << path << ".damaged";
  } else {
    qel::CTreeFile::store(toFile(output), root, storeFlags());
  }
  std::cout << said.str() << "\n";
  finishStandardOutput();
  return kExitOk;
}

namespace {

struct RepairArguments {
  std::string file;
  std::string output;
  bool inPlace = false;
};

}  // namespace

void registerRepairCommands(CLI::App& app, CommandTable& table) {
  auto a = std::make_shared<RepairArguments>();
  CLI::App* repair = app.add_subcommand(
      "repair",
      "Keep every component of a damaged archive that loads and store them as a whole tree");
  repair->add_option("FILE", a->file, "damaged settings archive (- for standard input)")
      ->required();
  repair->add_option("-o,--output", a->output,
                     "where to store the repaired archive (- for "
                     "standard output)");
  repair->add_flag("--in-place", a->inPlace,
                   "replace FILE, keeping the damaged original as FILE.damaged");
  table.add(repair, [a] {
    namedFiles() = {a->file, a->output};
    return cmdRepair(a->file, a->output, a->inPlace);
  });
}

}  // namespace qeltool
