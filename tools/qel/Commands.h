#ifndef QEL_TOOLS_QEL_COMMANDS_H_
#define QEL_TOOLS_QEL_COMMANDS_H_

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

// Each command returns the exit status; failures are thrown as Failure or
// UsageError (Common.h) or as the library's exceptions.
namespace qeltool {

// The subcommands of the command line and what runs each, filled in by the
// register functions of each group of commands; a command's options live
// as long as its runner.
class CommandTable {
 public:
  void add(CLI::App* command, std::function<int()> run) {
    _commands.emplace_back(command, std::move(run));
  }
  // The runner of the subcommand the command line chose, or null.
  const std::function<int()>* chosen() const;

 private:
  std::vector<std::pair<CLI::App*, std::function<int()>>> _commands;
};

// show, check, records, export, import, get, set (ArchiveCommands.cpp).
void registerArchiveCommands(CLI::App& app, CommandTable& table);
// ls, list, diff, apply (ListCommands.cpp).
void registerListCommands(CLI::App& app, CommandTable& table);
// encode, decode, md5 (CipherCommands.cpp).
void registerCipherCommands(CLI::App& app, CommandTable& table);
// device, date (InfoCommands.cpp).
void registerInfoCommands(CLI::App& app, CommandTable& table);

int cmdShow(const std::string& path, bool json);
int cmdCheck(const std::string& path);
int cmdRecords(const std::string& path);
int cmdExport(const std::string& path, const std::string& output);
int cmdImport(const std::string& jsonPath, const std::string& path);
int cmdGet(const std::string& path, const std::string& componentPath);
int cmdSet(const std::string& path, const std::string& componentPath, const std::string& value);

int cmdLs(const std::string& path, const std::string& componentPath);
int cmdList(const std::string& path, bool json);
int cmdDiff(const std::string& pathA, const std::string& pathB, bool json);
int cmdApply(const std::string& path, const std::string& changesPath);

struct CipherOptions {
  std::string key;
  std::string keyHex;
  std::string iv;
  std::string value;
};
int cmdEncode(const CipherOptions& options);
int cmdDecode(const CipherOptions& options);
int cmdMd5(const std::vector<std::string>& files);

int cmdDevice();
int cmdDate(const std::string& text);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_COMMANDS_H_
