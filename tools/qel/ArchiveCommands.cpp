// show, check, records, export, import, get and set: the commands that read
// or write settings archives.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <sstream>

#include "Commands.h"
#include "Common.h"
#include "FileProgress.h"
#include "Inspect.h"
#include "TextForms.h"
#include "TreeJson.h"
#include "qel/archive/Tree.h"
#include "qel/core/BinaryText.h"

namespace qeltool {

namespace {

// A path such as "network/proxy/host" as ANSI names; empty parts are
// skipped.  file names the archive in messages.
std::vector<std::string> splitPath(const std::string& path, const std::string& file) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(path);
  while (std::getline(in, part, '/')) {
    if (!part.empty()) {
      parts.push_back(archiveText(part, file, path));
    }
  }
  if (parts.empty()) {
    throw Failure("", "empty component path \"" + path + "\"");
  }
  return parts;
}

// Loading reads the file twice: once as a tree, once to check that no
// record follows the tree.
void loadTreeWithProgress(const std::string& path, qel::CComposite& root) {
  const FileProgress progress(path, 2 * fileSize(path));
  loadTree(path, root);
}

}  // namespace

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
  Json document;
  const std::string text = readWholeFile(input.path());
  try {
    document = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // The library's message without its "[json.exception...] " tag.
    std::string why = e.what();
    const std::size_t tag = why.rfind("] ", why.find(' '));
    throw Failure(input.name(),
                  "invalid JSON: " + (tag == std::string::npos ? why : why.substr(tag + 2)));
  }
  qel::CComposite root;
  jsonToTree(document, root, input.name());
  if (path == "-") {
    storeTreeToStandardOutput(root);
    return kExitOk;
  }
  // The whole file is replaced, but not in the middle of another's edit.
  const EditLock lock(path);
  qel::CTreeFile::store(toFile(path), root, storeFlags());
  return kExitOk;
}

int cmdGet(const std::string& path, const std::string& componentPath) {
  const InputFile input(path);
  qel::CComposite root;
  loadTreeWithProgress(input.path(), root);
  qel::CBaseComponent* current = &root;
  for (const std::string& part : splitPath(componentPath, path)) {
    if (!current->isComposite()) {
      current = nullptr;
      break;
    }
    current = static_cast<qel::CComposite*>(current)->find(part);
    if (current == nullptr) {
      break;
    }
  }
  if (current == nullptr) {
    throw Failure(path, "no component at " + componentPath);
  }
  switch (current->getType()) {
    case qel::CBaseComponent::TYPE_COMPOSITE:
      throw Failure(path, componentPath + " is a composite, not a value");
    case qel::CBaseComponent::TYPE_BINARY: {
      unsigned int size = 0;
      const unsigned char* data = static_cast<qel::CBinaryComponent*>(current)->getData(size);
      std::cout << qel::toHex(data, data == nullptr ? 0 : size) << "\n";
      break;
    }
    default:
      std::cout << qel::tree::toUtf8(static_cast<qel::CComponent*>(current)->getValue()) << "\n";
      break;
  }
  return kExitOk;
}

int cmdSet(const std::string& path, const std::string& componentPath, const std::string& value) {
  if (!fileExists(path)) {
    throw Failure(path, "no such file");
  }
  const std::vector<std::string> parts = splitPath(componentPath, path);
  const std::string encoded = archiveText(value, path, componentPath);
  auto edit = [&](qel::CComposite& root) {
    qel::CComposite* parent = &root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      qel::CBaseComponent* next = parent->find(parts[i]);
      if (next == nullptr) {
        auto* created = new qel::CComposite(parts[i]);
        parent->add(created);
        next = created;
      } else if (!next->isComposite()) {
        throw Failure(path, "\"" + qel::tree::toUtf8(parts[i]) + "\" in " + componentPath +
                                " is a value, not a composite");
      }
      parent = static_cast<qel::CComposite*>(next);
    }
    qel::CBaseComponent* leaf = parent->find(parts.back());
    if (leaf == nullptr) {
      parent->add(new qel::CComponent(parts.back(), encoded));
    } else if (leaf->getType() == qel::CBaseComponent::TYPE_COMPONENT) {
      static_cast<qel::CComponent*>(leaf)->setValue(encoded);
    } else {
      throw Failure(path, componentPath + " is not a text value");
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

  CLI::App* get = app.add_subcommand("get", "Print the value at a slash-separated PATH");
  get->add_option("FILE", a->file, "settings archive")->required();
  get->add_option("PATH", a->other, "path such as network/proxy/host")->required();
  table.add(get, [a] {
    namedFiles() = {a->file};
    return cmdGet(a->file, a->other);
  });

  CLI::App* set = app.add_subcommand(
      "set", "Set the text value at PATH (missing composites are created) and store FILE");
  set->add_option("FILE", a->file, "settings archive")->required();
  set->add_option("PATH", a->other, "path such as network/proxy/host")->required();
  set->add_option("VALUE", a->value, "new value (UTF-8)")->required();
  table.add(set, [a] {
    namedFiles() = {a->file};
    return cmdSet(a->file, a->other, a->value);
  });
}

}  // namespace qeltool
