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

  std::string file;
  std::string other;
  std::string output;
  std::string value;
  bool json = false;

  CLI::App* show = app.add_subcommand(
      "show", "Print the component tree as an indented outline ([composite], name = value)");
  show->add_option("FILE", file, "settings archive")->required();
  show->add_flag("--json", json, "print the tree as JSON instead");

  CLI::App* check =
      app.add_subcommand("check", "Exit 0 when FILE loads as a component tree, 1 otherwise");
  check->add_option("FILE", file, "settings archive")->required();

  CLI::App* records = app.add_subcommand(
      "records", "List every record of any archive: offset, length, fields and their values");
  records->add_option("FILE", file, "archive")->required();

  CLI::App* exportCmd = app.add_subcommand("export", "Write the component tree as JSON");
  exportCmd->add_option("FILE", file, "settings archive")->required();
  exportCmd->add_option("-o,--output", output, "output file (standard output by default)");

  CLI::App* importCmd =
      app.add_subcommand("import", "Store the tree of an exported JSON document into FILE");
  importCmd->add_option("JSON", other, "JSON document made by export")->required();
  importCmd->add_option("FILE", file, "settings archive to write")->required();

  CLI::App* get = app.add_subcommand("get", "Print the value at a slash-separated PATH");
  get->add_option("FILE", file, "settings archive")->required();
  get->add_option("PATH", other, "path such as network/proxy/host")->required();

  CLI::App* set = app.add_subcommand(
      "set", "Set the text value at PATH (missing composites are created) and store FILE");
  set->add_option("FILE", file, "settings archive")->required();
  set->add_option("PATH", other, "path such as network/proxy/host")->required();
  set->add_option("VALUE", value, "new value (UTF-8)")->required();

  CipherOptions cipher;
  auto addCipher = [&cipher](CLI::App* command) {
    CLI::Option* key = command->add_option("--key", cipher.key, "key text");
    CLI::Option* keyHex = command->add_option("--key-hex", cipher.keyHex, "key in hexadecimal");
    key->excludes(keyHex);
    command->add_option("--iv", cipher.iv, "initial vector, 16 hexadecimal digits (default 0)");
    command->add_option("VALUE", cipher.value, "value")->required();
  };
  CLI::App* encode =
      app.add_subcommand("encode", "Encipher VALUE (Blowfish CBC) and print it as hexadecimal");
  addCipher(encode);
  CLI::App* decode = app.add_subcommand("decode", "Decipher a hexadecimal VALUE made by encode");
  addCipher(decode);

  std::vector<std::string> md5Files;
  CLI::App* md5 = app.add_subcommand(
      "md5", "Print MD5 digests in md5sum format (standard input for none or -)");
  md5->add_option("FILE", md5Files, "files");

  CLI::App* device = app.add_subcommand("device", "Print the device facts and keys");
  std::string dateText;
  CLI::App* date = app.add_subcommand(
      "date", "Print the fields, Julian day, day of week and text forms of a date");
  date->add_option("TEXT", dateText, "a date text such as 20130305T101500Z, or now")->required();

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
    if (*show)
      return cmdShow(file, json);
    if (*check)
      return cmdCheck(file);
    if (*records)
      return cmdRecords(file);
    if (*exportCmd)
      return cmdExport(file, output);
    if (*importCmd)
      return cmdImport(other, file);
    if (*get)
      return cmdGet(file, other);
    if (*set)
      return cmdSet(file, other, value);
    if (*encode)
      return cmdEncode(cipher);
    if (*decode)
      return cmdDecode(cipher);
    if (*md5)
      return cmdMd5(md5Files);
    if (*device)
      return cmdDevice();
    if (*date)
      return cmdDate(dateText);
  } catch (const UsageError& e) {
    std::cerr << "qel: " << e.what() << "\n";
    return kExitUsage;
  } catch (const Failure& e) {
    std::cerr << "qel: " << e.what() << "\n";
    return kExitFailure;
  } catch (const qel::CException& e) {
    std::cerr << "qel: " << userMessage(e.getMessage(), {file, other, output}) << "\n";
    return kExitFailure;
  } catch (const std::exception& e) {
    std::cerr << "qel: " << (file.empty() ? std::string() : file + ": ") << e.what() << "\n";
    return kExitFailure;
  }
  return kExitUsage;
}
