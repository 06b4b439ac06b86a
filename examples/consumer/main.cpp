// Loads a settings archive, prints the proxy it names, changes the port and
// stores the tree crash-safely to a new file.
//
//   qel_consumer SETTINGS OUT     e.g.  qel_consumer examples/settings.qel new.qel
#include <exception>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "qel/QelCore.h"

namespace {

// The node at a slash-separated path below root, or null.
qel::CBaseComponent* lookup(qel::CComposite& root, const std::string& path) {
  qel::CBaseComponent* node = &root;
  std::istringstream names(path);
  for (std::string name; node != nullptr && std::getline(names, name, '/');) {
    auto* composite = dynamic_cast<qel::CComposite*>(node);
    node = composite != nullptr ? composite->find(name) : nullptr;
  }
  return node;
}

qel::CComponent& value(qel::CComposite& root, const std::string& path) {
  if (auto* leaf = dynamic_cast<qel::CComponent*>(lookup(root, path))) {
    return *leaf;
  }
  throw std::runtime_error("no text value at " + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: qel_consumer SETTINGS OUT\n";
    return 2;
  }
  // A name present twice in one composite, as "server" is in the bundled
  // archive, is allowed; keep the library's notice about it off the console.
  qel::DISPLAY_ERROR_LOGS = false;
  try {
    qel::CComposite root;
    const auto report =
        qel::CTreeFile::load(qel::CFile(qel::CStringHelper::fromUTF8(argv[1])), root);
    if (!report.bFound) {
      std::cerr << argv[1] << ": no such file\n";
      return 1;
    }
    if (report.eCode != qel::CArchive::RET_OK) {
      std::cerr << argv[1] << ": malformed (code " << report.eCode << ") at record "
                << report.nRecord << ", byte offset " << report.nOffset << '\n';
      return 1;
    }
    qel::CComponent& port = value(root, "network/proxy/port");
    std::cout << "proxy " << value(root, "network/proxy/host").getValue() << ':' << port.getValue()
              << '\n';

    port.setValue("8443");
    qel::CTreeFile::store(qel::CFile(qel::CStringHelper::fromUTF8(argv[2])), root);
    std::cout << "stored " << argv[2] << " with port " << port.getValue() << '\n';
  } catch (const std::exception& e) {  // the library's exceptions too
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
