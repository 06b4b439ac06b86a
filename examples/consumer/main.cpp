// Loads a settings archive, prints the proxy it names, changes the port and
// stores the tree crash-safely to a new file.
//
//   qel_consumer SETTINGS OUT     e.g.  qel_consumer examples/settings.qel new.qel
#include <filesystem>
#include <iostream>

#include "qel/QelCore.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: qel_consumer SETTINGS OUT\n";
    return 2;
  }
  qel::DISPLAY_ERROR_LOGS = false;  // keep the notice about a name held twice off the console
  try {
    qel::CComposite root;
    const auto report = qel::CTreeFile::load(std::filesystem::path(argv[1]), root);
    if (report.eCode != qel::CArchive::RET_OK) {
      std::cerr << argv[1] << ": " << report.message() << '\n';
      return 1;
    }
    std::cout << "proxy " << qel::tree::get(root, "network/proxy/host", "") << ':'
              << qel::tree::get(root, "network/proxy/port", 0) << '\n';
    qel::tree::setText(root, "network/proxy/port", "8443");
    qel::CTreeFile::store(std::filesystem::path(argv[2]), root);
    std::cout << "stored " << argv[2] << " with port "
              << qel::tree::get(root, "network/proxy/port", 0) << '\n';
  } catch (const std::exception& e) {  // the library's exceptions too
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
