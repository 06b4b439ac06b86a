// show, check, records, export, import, get and set: the commands that read
// or write settings archives.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <utility>

#include "Commands.h"
#include "Common.h"
#include "FileProgress.h"
#include "Inspect.h"
#include "TextForms.h"
#include "TreeJson.h"
#include "qel/archive/Tree.h"
#include "qel/core/BinaryText.h"

namespace qeltool {

namespace {}  // namespace

int cmdShow(const std::string& path, bool json) {
  const InputFile input(path);
  qel::CComposite root;
  loadTreeWithProgress(input.path(), root);
  if (json) {
    std::cout << treeToJson(root, input.name()).dump(2, ' ', false, Json::error_handler_t::replace)
              << "\n";
  } else {
    printOutline(root, std::cout);
  }
  finishStandardOutput();
  return kExitOk;
}

int cmdCheck(const std::string& path, bool strict, bool json) {
  const InputFile input(path);
  qel::CComposite root;
  try {
    if (strict) {
      requireReadableFile(input.path());
      const std::string deviation = framingDeviation(readWholeFile(input.path()));
      if (!deviation.empty()) {
        throw Failure(input.name(), "not a strictly framed archive: " + deviation);
      }
    }
    loadTreeWithProgress(input.path(), root);
  } catch (const Failure& e) {
    if (json) {
      Json report = {{"file", input.name()}, {"ok", false}, {"error", e.what()}};
      std::cout << report.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
      finishStandardOutput();
    }
    throw;
  }
  const std::size_t components = countComponents(root);
  if (json) {
    Json report = {{"file", input.name()}, {"ok", true}, {"components", components}};
    std::cout << report.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  } else {
    std::cout << input.name() << ": OK, " << components << " components\n";
  }
  finishStandardOutput();
  return kExitOk;
}

int cmdRecords(const std::string& path, bool json) {
  const InputFile input(path);
  if (!json) {
    walkRecords(input.path(), &std::cout);
    finishStandardOutput();
    return kExitOk;
  }
  Json records = Json::array();
  auto each = [&records](const RecordEntry& entry) {
    Json fields = Json::array();
    for (const auto& field : entry.fields) {
      const std::string& value = field.second;
      Json item = {{"type", fieldTypeName(field.first)}};
      if (field.first == qel::CArchive::FIELD_DATA) {
        item["hex"] = qel::toHex(reinterpret_cast<const unsigned char*>(value.data()),
                                 static_cast<unsigned int>(value.size()));
      } else {
        item["value"] =
            field.first == qel::CArchive::FIELD_STRING ? qel::tree::toUtf8(value) : value;
      }
      fields.push_back(std::move(item));
    }
    records.push_back({{"record", entry.number},
                       {"offset", entry.offset},
                       {"length", entry.length},
                       {"declaredFields", entry.declaredFields},
                       {"fields", std::move(fields)}});
  };
  Json report = {{"file", input.name()}};
  try {
    walkRecords(input.path(), nullptr, each);
  } catch (const Failure& e) {
    report["records"] = std::move(records);
    report["error"] = e.what();
    std::cout << report.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    finishStandardOutput();
    throw;
  }
  report["records"] = std::move(records);
  std::cout << report.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  finishStandardOutput();
  return kExitOk;
}

int cmdExport(const std::string& path, const std::string& output) {
  const InputFile input(path);
  qel::CComposite root;
  loadTreeWithProgress(input.path(), root);
  writeOutput(
      output.empty() ? "-" : output,
      treeToJson(root, input.name()).dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
  return kExitOk;
}

int cmdImport(const std::string& jsonPath, const std::string& path) {
  const InputFile input(jsonPath);
  requireReadableFile(input.path());
  const Json document = parseJson(readWholeFile(input.path()), input.name());
  qel::CComposite root;
  try {
    jsonToTree(document, root, input.name());
  } catch (const Json::exception&) {
    // Every shape jsonToTree does not name itself.
    throw Failure(input.name(), std::string("not a valid ") + kJsonFormat + " document");
  }
  if (path == "-") {
    storeTreeToStandardOutput(root);
    return kExitOk;
  }
  // The whole file is replaced, but not in the middle of another's edit.
  const EditLock lock(path);
  qel::CTreeFile::store(toFile(path), root, storeFlags());
  return kExitOk;
}

namespace {

// Cipher options are refused where nothing is enciphered, rather than ignored.
void requireNoKey(const CipherOptions& cipher, const char* needed) {
  if (!cipher.key.empty() || !cipher.keyHex.empty() || !cipher.keyFile.empty() ||
      !cipher.iv.empty() || cipher.raw) {
    throw UsageError(std::string("--key, --key-hex, --key-file, --iv and --raw need ") + needed);
  }
}

// The value at componentPath as JSON: its type, and the text or, for
// binary data, the size with the bytes in hexadecimal and base64.
Json valueJson(const qel::CBaseComponent& node) {
  Json out = Json::object();
  if (node.getType() == qel::CBaseComponent::TYPE_BINARY) {
    unsigned int size = 0;
    const unsigned char* data = static_cast<const qel::CBinaryComponent&>(node).getData(size);
    size = data == nullptr ? 0 : size;
    out["type"] = "binary";
    out["size"] = size;
    out["hex"] = qel::toHex(data, size);
    out["base64"] = qel::toBase64(data, size);
    return out;
  }
  const std::string& value = static_cast<const qel::CComponent&>(node).getValue();
  qel::tree::TextLoss loss;
  const std::string utf8 = qel::tree::toUtf8(value, loss);
  out["type"] = "text";
  if (loss.nCount == 0) {
    out["value"] = utf8;
  } else {
    // Bytes that the code page has no character for.
    out["valueBase64"] = qel::toBase64(reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<unsigned int>(value.size()));
  }
  return out;
}

}  // namespace

int cmdGet(const std::string& path, const std::string& componentPath, const GetOptions& options) {
  if (!options.decode) {
    requireNoKey(options.cipher, "--decode");
  }
  const InputFile input(path);
  qel::CComposite root;
  loadTreeWithProgress(input.path(), root);
  const qel::CBaseComponent* node = qel::tree::lookup(
      std::as_const(root), archiveText(componentPath, input.name(), componentPath));
  if (node == nullptr) {
    std::cerr << "qel: " << input.name() << ": no component at " << componentPath << "\n";
    return kExitNotFound;
  }
  if (node->isComposite()) {
    throw Failure(input.name(), componentPath + " is a composite, not a value");
  }
  if (options.decode) {
    if (node->getType() != qel::CBaseComponent::TYPE_COMPONENT) {
      throw Failure(input.name(), componentPath + " is binary data, not an encoded value");
    }
    return printDeciphered(options.cipher, static_cast<const qel::CComponent*>(node)->getValue(),
                           input.name() + ": " + componentPath);
  }
  if (options.json) {
    writeOutput("-", valueJson(*node).dump(2) + "\n");
  } else if (node->getType() == qel::CBaseComponent::TYPE_BINARY) {
    unsigned int size = 0;
    const unsigned char* data = static_cast<const qel::CBinaryComponent*>(node)->getData(size);
    writeOutput("-", qel::toHex(data, data == nullptr ? 0 : size) + "\n");
  } else {
    writeOutput("-",
                qel::tree::toUtf8(static_cast<const qel::CComponent*>(node)->getValue()) + "\n");
  }
  return kExitOk;
}

int cmdSet(const std::string& path, const std::string& componentPath, const std::string& value,
           const SetOptions& options) {
  if (!options.encode) {
    requireNoKey(options.cipher, "--encode");
  }
  if (!fileExists(path)) {
    throw Failure(path, "no such file");
  }
  const bool fromInput = value == "-";
  if (fromInput && options.cipher.keyFile == "-") {
    throw UsageError("standard input cannot give both the key and the value");
  }
  std::string bytes;
  if (options.binary) {
    if (fromInput) {
      bytes = readAllStandardInput();
    } else if (value.size() > 1 && value[0] == '@') {
      const std::string source = value.substr(1);
      requireReadableFile(source);
      bytes = readWholeFile(source);
    } else {
      throw UsageError("set --binary: the value is @FILE or - (standard input)");
    }
  } else {
    std::string text = value;
    if (fromInput) {
      // A text value cannot hold a line feed: the one that ends the input
      // is not part of the value.
      text = readAllStandardInput();
      if (!text.empty() && text.back() == '\n') {
        text.pop_back();
      }
    }
    bytes = options.encode ? encipher(options.cipher, archiveText(text, path, componentPath))
                           : archiveText(text, path, componentPath);
  }
  const std::string address = archiveText(componentPath, path, componentPath);
  const auto wanted =
      options.binary ? qel::CBaseComponent::TYPE_BINARY : qel::CBaseComponent::TYPE_COMPONENT;
  auto edit = [&](qel::CComposite& root) {
    const qel::CBaseComponent* existing = qel::tree::lookup(std::as_const(root), address);
    if (existing != nullptr && existing->getType() != wanted) {
      throw Failure(path, componentPath +
                              (options.binary ? " is not a binary value" : " is not a text value"));
    }
    if (options.binary) {
      qel::tree::setData(root, address, reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<unsigned int>(bytes.size()));
    } else {
      qel::tree::setText(root, address, bytes);
    }
  };
  const FileProgress progress(path, fileSize(path));
  qel::CTreeFile::update(toFile(path), edit, writeOptions().lockWaitMilliseconds, storeFlags());
  return kExitOk;
}

namespace {

struct ArchiveArguments {
  std::string file;
  std::string other;
  std::string output;
  std::string value;
  bool json = false;
  bool strict = false;
};

}  // namespace

void registerArchiveCommands(CLI::App& app, CommandTable& table) {
  auto a = std::make_shared<ArchiveArguments>();

  CLI::App* show = app.add_subcommand(
      "show", "Print the component tree as an indented outline ([composite], name = value)");
  show->add_option("FILE", a->file, "settings archive (- for standard input)")->required();
  show->add_flag("--json", a->json, "print the tree as JSON instead");
  table.add(show, [a] {
    namedFiles() = {a->file};
    return cmdShow(a->file, a->json);
  });

  CLI::App* check =
      app.add_subcommand("check", "Exit 0 when FILE loads as a component tree, 1 otherwise");
  check->add_option("FILE", a->file, "settings archive (- for standard input)")->required();
  check->add_flag("--strict", a->strict,
                  "also verify every record's framing: separators, closing separator, field "
                  "count");
  check->add_flag("--json", a->json, "print the result as JSON");
  table.add(check, [a] {
    namedFiles() = {a->file};
    return cmdCheck(a->file, a->strict, a->json);
  });

  CLI::App* records = app.add_subcommand(
      "records", "List every record of any archive: offset, length, fields and their values");
  records->add_option("FILE", a->file, "archive (- for standard input)")->required();
  records->add_flag("--json", a->json, "print the records as JSON");
  table.add(records, [a] {
    namedFiles() = {a->file};
    return cmdRecords(a->file, a->json);
  });

  CLI::App* exportCmd = app.add_subcommand("export", "Write the component tree as JSON");
  exportCmd->add_option("FILE", a->file, "settings archive (- for standard input)")->required();
  exportCmd->add_option("-o,--output", a->output, "output file (standard output by default)");
  table.add(exportCmd, [a] {
    namedFiles() = {a->file, a->output};
    return cmdExport(a->file, a->output);
  });

  CLI::App* importCmd =
      app.add_subcommand("import", "Store the tree of an exported JSON document into FILE");
  importCmd->add_option("JSON", a->other, "JSON document made by export (- for standard input)")
      ->required();
  importCmd->add_option("FILE", a->file, "settings archive to write (- for standard output)")
      ->required();
  table.add(importCmd, [a] {
    namedFiles() = {a->file, a->other};
    return cmdImport(a->other, a->file);
  });

  auto getOptions = std::make_shared<GetOptions>();
  CLI::App* get = app.add_subcommand(
      "get", "Print the value at PATH (names joined by /, name[i] for the i-th of a name)");
  get->add_option("FILE", a->file, "settings archive")->required();
  get->add_option("PATH", a->other, "path such as network/proxy/host or user/server[1]")
      ->required();
  CLI::Option* getJson =
      get->add_flag("--json", getOptions->json, "print the type and the value as JSON");
  CLI::Option* decode = get->add_flag("--decode", getOptions->decode,
                                      "decipher the value, hexadecimal made by encode");
  getJson->excludes(decode);
  get->add_flag("--raw", getOptions->cipher.raw,
                "with --decode: print the bytes as they are, without a line feed");
  addKeyOptions(*get, getOptions->cipher);
  table.add(get, [a, getOptions] {
    namedFiles() = {a->file};
    return cmdGet(a->file, a->other, *getOptions);
  });

  auto setOptions = std::make_shared<SetOptions>();
  CLI::App* set = app.add_subcommand(
      "set", "Set the value at PATH (missing composites are created) and store FILE");
  set->add_option("FILE", a->file, "settings archive")->required();
  set->add_option("PATH", a->other, "path such as network/proxy/host or user/server[1]")
      ->required();
  set->add_option("VALUE", a->value,
                  "new value (UTF-8); - reads it from standard input, one line feed at its end "
                  "dropped; with --binary @FILE or -")
      ->required();
  CLI::Option* binary = set->add_flag("--binary", setOptions->binary,
                                      "store binary data: the bytes of @FILE or of standard input");
  CLI::Option* encode =
      set->add_flag("--encode", setOptions->encode, "store the value enciphered, as encode does");
  binary->excludes(encode);
  addKeyOptions(*set, setOptions->cipher);
  table.add(set, [a, setOptions] {
    namedFiles() = {a->file};
    return cmdSet(a->file, a->other, a->value, *setOptions);
  });
}

}  // namespace qeltool
