// qel: inspects, checks, converts and repairs settings archives.

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/platform/ConsoleLogger.h"

using namespace qeltool;

namespace qeltool {

const std::function<int()>* CommandTable::chosen() const {
  for (const auto& command : _commands) {
    if (*command.first) {
      return &command.second;
    }
  }
  return nullptr;
}

}  // namespace qeltool

int main(int argc, char** argv) {
  // The library's own error log would only repeat what qel reports.
  qel::DISPLAY_ERROR_LOGS = false;
  CLI::App app{
      "qel: inspects, checks, converts and repairs QelCore settings archives.\n"
      "Exit status: 0 on success, 1 on a failure, 2 on a usage error.",
      "qel"};
  app.set_version_flag("--version", std::string("qel ") + QEL_TOOL_VERSION);
  app.require_subcommand(1);
  unsigned int codePage = 0;
  app.add_option("--codepage", codePage,
                 "ANSI code page of the names and values in archives: a single-byte page such as "
                 "1252 or 1251, or 932, 936, 949 or 950")
      ->check(CLI::PositiveNumber);
  double waitSeconds = 10;
  app.add_option("--wait", waitSeconds,
                 "seconds an edit waits for another process's edit of the same file (default "
                 "10; 0 fails at once)")
      ->check(CLI::Range(0.0, 86400.0));
  WriteOptions& writing = writeOptions();
  app.add_flag("--force", writing.force, "replace files that no one may write (read-only)");
  app.add_flag("--lossy", writing.lossy,
               "store text that the code page cannot hold with its replacement characters "
               "(reported on standard error) instead of refusing it");

  CommandTable commands;
  registerArchiveCommands(app, commands);
  registerListCommands(app, commands);
  registerCipherCommands(app, commands);
  registerInfoCommands(app, commands);
  registerEditCommands(app, commands);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  writing.lockWaitMilliseconds = static_cast<std::uint32_t>(waitSeconds * 1000 + 0.5);
  // A file size limit (ulimit -f) fails the write that meets it, which is
  // reported, instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);

  try {
    if (codePage != 0 && !qel::CWin32Helper::setAnsiCodePage(codePage)) {
      std::cerr << "qel: unsupported code page " << codePage << "\n";
      return kExitUsage;
    }
    if (const auto* run = commands.chosen()) {
      return (*run)();
    }
  } catch (const UsageError& e) {
    std::cerr << "qel: " << e.what() << "\n";
    return kExitUsage;
  } catch (const Failure& e) {
    std::cerr << "qel: " << e.what() << "\n";
    return kExitFailure;
  } catch (const qel::CException& e) {
    std::cerr << "qel: " << userMessage(e.getMessage(), namedFiles()) << "\n";
    return kExitFailure;
  } catch (const std::exception& e) {
    const std::vector<std::string>& files = namedFiles();
    std::cerr << "qel: " << (files.empty() ? std::string() : files.front() + ": ") << e.what()
              << "\n";
    return kExitFailure;
  }
  return kExitUsage;
}
