// Adds 1 to the number at "stats/count" of a settings file, COUNT times, each
// time in a commit of its own.  Run it from several processes at once: no
// increment is lost, because a commit refuses to overwrite a file that
// another process committed since it was loaded, and the loop then loads the
// file again and repeats its change.
//
//   qel_shared_counter FILE COUNT
#include <filesystem>
#include <iostream>
#include <string>

#include "qel/QelCore.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: qel_shared_counter FILE COUNT\n";
    return 2;
  }
  try {
    qel::CSettingsFile settings{std::filesystem::path(argv[1])};
    const int times = std::stoi(argv[2]);
    int retries = 0;
    for (int done = 0; done < times;) {
      settings.load();
      const long long count = qel::tree::get(settings.root(), "stats/count", 0LL);
      qel::tree::setText(settings.root(), "stats/count", std::to_string(count + 1));
      try {
        settings.commit();
        ++done;
      } catch (const qel::IOException&) {
        if (!settings.changedOnDisk()) {
          throw;  // not another writer: a real failure
        }
        ++retries;
      }
    }
    settings.load();
    std::cout << "count " << qel::tree::get(settings.root(), "stats/count", 0LL) << " after "
              << retries << " retries\n";
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
