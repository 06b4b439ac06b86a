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
// repair (RepairCommand.cpp).
void registerRepairCommands(CLI::App& app, CommandTable& table);
int cmdRepair(const std::string& path, const std::string& output, bool inPlace);
// encode, decode, md5 (CipherCommands.cpp).
void registerCipherCommands(CLI::App& app, CommandTable& table);
// device, date (InfoCommands.cpp).
void registerInfoCommands(CLI::App& app, CommandTable& table);
// rm, mv (EditCommands.cpp).
void registerEditCommands(CLI::App& app, CommandTable& table);

int cmdShow(const std::string& path, bool json);
int cmdCheck(const std::string& path, bool strict, bool json);
int cmdRecords(const std::string& path, bool json);
int cmdExport(const std::string& path, const std::string& output);
int cmdImport(const std::string& jsonPath, const std::string& path);

int cmdLs(const std::string& path, const std::string& componentPath);
int cmdList(const std::string& path, bool json);
int cmdDiff(const std::string& pathA, const std::string& pathB, bool json);
int cmdApply(const std::string& path, const std::string& changesPath);

// The cipher's key and initial vector as the options give them: --key,
// --key-hex or --key-file (a file, or "-" for standard input), else the
// environment variable QEL_KEY.
struct CipherOptions {
  std::string key;
  std::string keyHex;
  std::string keyFile;
  std::string iv;
  std::string value;
  // Deciphered bytes are printed as they are, without a line feed.
  bool raw = false;
};
// Adds --key, --key-hex, --key-file and --iv, filling options.
void addKeyOptions(CLI::App& command, CipherOptions& options);
// plain enciphered with the key of options, as hexadecimal.
std::string encipher(const CipherOptions& options, const std::string& plain);
// Deciphers hex (named by where in messages) and prints the bytes on
// standard output; bytes that are not printable text reach a terminal with
// \xNN escapes and end in a note on standard error and kExitFailure, unless
// options.raw.  Returns the exit status.
int printDeciphered(const CipherOptions& options, const std::string& hex, const std::string& where);
// All of standard input, as it is.
std::string readAllStandardInput();

int cmdEncode(const CipherOptions& options);
int cmdDecode(const CipherOptions& options);

struct GetOptions {
  bool json = false;
  bool decode = false;
  CipherOptions cipher;
};
int cmdGet(const std::string& path, const std::string& componentPath, const GetOptions& options);

struct SetOptions {
  bool binary = false;
  bool encode = false;
  CipherOptions cipher;
};
int cmdSet(const std::string& path, const std::string& componentPath, const std::string& value,
           const SetOptions& options);

int cmdRm(const std::string& path, const std::vector<std::string>& componentPaths, bool force);
int cmdMv(const std::string& path, const std::string& from, const std::string& to);
int cmdMd5(const std::vector<std::string>& files);

int cmdDevice();
int cmdDate(const std::string& text);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_COMMANDS_H_
