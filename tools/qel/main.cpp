// qel: inspects, checks, converts and repairs settings archives.

#include <CLI/CLI.hpp>
#include <algorithm>
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

namespace {

// Edits (insert, delete, replace, swap two neighbours) from a to b.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) {
    d[i][0] = i;
  }
  for (std::size_t j = 0; j <= b.size(); ++j) {
    d[0][j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::vector<std::string> commandNames(CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* command : app.get_subcommands({})) {
    names.push_back(command->get_name());
  }
  return names;
}

CLI::App* findCommand(CLI::App& app, const std::string& name) {
  for (CLI::App* command : app.get_subcommands({})) {
    if (command->get_name() == name) {
      return command;
    }
  }
  return nullptr;
}

// "unknown command 'frob'", with the closest command when one is close.
std::string unknownCommand(CLI::App& app, const std::string& name) {
  std::string text = "unknown command '" + name + "'";
  std::string best;
  std::size_t bestDistance = 3;
  for (const std::string& command : commandNames(app)) {
    const std::size_t distance = command.compare(0, name.size(), name) == 0 && !name.empty()
                                     ? 1
                                     : editDistance(name, command);
    if (distance < bestDistance) {
      best = command;
      bestDistance = distance;
    }
  }
  if (!best.empty()) {
    text += "; did you mean '" + best + "'?";
  }
  return text + " (qel --help lists the commands)";
}

// The first argument that names the command, skipping the global options
// and their values; empty when there is none.
std::string commandArgument(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--codepage" || argument == "--wait") {
      ++i;
    } else if (argument == "--") {
      return i + 1 < argc ? argv[i + 1] : "";
    } else if (argument.empty() || argument[0] != '-') {
      return argument;
    }
  }
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  // The library's own error log would only repeat what qel reports.
  qel::DISPLAY_ERROR_LOGS = false;
  useOutputBuffer();
  CLI::App app{
      "qel: inspects, checks, converts and repairs QelCore settings archives.\n"
      "A FILE of - is standard input (or standard output where it is written).\n"
      "Exit status: 0 on success, 1 on a failure, 2 on a usage error, 3 when what was asked "
      "for is not there.",
      "qel"};
  app.set_version_flag("--version", std::string("qel ") + QEL_TOOL_VERSION);
  app.require_subcommand(1);
  unsigned int codePage = 0;
  app.add_option("--codepage", codePage,
                 "ANSI code page of the names and values in archives: a single-byte page such as "
                 "1252 or 1251, or 932, 936, 949 or 950")
      ->check(CLI::Validator(
          [](const std::string& text) -> std::string {
            return text.find_first_not_of("0123456789") == std::string::npos &&
                           text.find_first_not_of('0') != std::string::npos
                       ? std::string()
                       : "'" + text + "' is not a code page (such as 1252, 1251 or 932)";
          },
          "PAGE"));
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
  registerRepairCommands(app, commands);

  std::string helpTopic;
  CLI::App* help = app.add_subcommand("help", "Describe a command, or all of them");
  help->add_option("COMMAND", helpTopic, "the command to describe");

  // Once a command is chosen, the application's help is that command's.
  const std::string overview = app.help();
  const std::string named = commandArgument(argc, argv);
  if (!named.empty() && findCommand(app, named) == nullptr) {
    std::cerr << "qel: " << unknownCommand(app, named) << "\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const std::string message = named.empty() ? "no command given" : e.what();
    std::cerr << "qel: " << message << "\n"
              << "Run 'qel --help' or 'qel help COMMAND' for usage.\n";
    return kExitUsage;
  }
  if (*help) {
    if (helpTopic.empty()) {
      std::cout << overview;
    } else if (CLI::App* topic = findCommand(app, helpTopic)) {
      std::cout << topic->help();
    } else {
      std::cerr << "qel: " << unknownCommand(app, helpTopic) << "\n";
      return kExitUsage;
    }
    return kExitOk;
  }

  writing.lockWaitMilliseconds = static_cast<std::uint32_t>(waitSeconds * 1000 + 0.5);
  // A file size limit (ulimit -f) fails the write that meets it, which is
  // reported, instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  // Output into a pipe that was closed (qel show f | head -1) ends the
  // process quietly, as it does for cat, even when the caller ignored it.
  std::signal(SIGPIPE, SIG_DFL);

  try {
    if (codePage != 0 && !qel::CWin32Helper::setAnsiCodePage(codePage)) {
      std::cerr << "qel: unsupported code page " << codePage << "\n";
      return kExitUsage;
    }
    if (const auto* run = commands.chosen()) {
      const int status = (*run)();
      finishStandardOutput();
      return status;
    }
  } catch (const UsageError& e) {
    std::cerr << "qel: " << e.what() << "\n";
    return kExitUsage;
  } catch (const Failure& e) {
    std::cerr << "qel: " << withInputNames(e.what()) << "\n";
    return kExitFailure;
  } catch (const qel::CException& e) {
    std::cerr << "qel: " << userMessage(e.getMessage(), namedFiles()) << "\n";
    return kExitFailure;
  } catch (const std::exception& e) {
    const std::vector<std::string>& files = namedFiles();
    std::cerr << "qel: " << (files.empty() ? std::string() : displayName(files.front()) + ": ")
              << withInputNames(e.what()) << "\n";
    return kExitFailure;
  }
  return kExitUsage;
}
