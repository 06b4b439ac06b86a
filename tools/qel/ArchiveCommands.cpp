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
  qel::CComposite root;
  loadTreeWithProgress(path, root);
  if (json) {
    std::cout << treeToJson(root, path).dump(2) << "\n";
  } else {
    printOutline(root, std::cout);
  }
  return kExitOk;
}

int cmdCheck(const std::string& path) {
  qel::CComposite root;
  loadTreeWithProgress(path, root);
  std::cout << path << ": OK, " << countComponents(root) << " components\n";
  return kExitOk;
}

int cmdRecords(const std::string& path) {
  walkRecords(path, &std::cout);
  return kExitOk;
}

int cmdExport(const std::string& path, const std::string& output) {
  qel::CComposite root;
  loadTreeWithProgress(path, root);
  writeOutput(output.empty() ? "-" : output, treeToJson(root, path).dump(2) + "\n");
  return kExitOk;
}

int cmdImport(const std::string& jsonPath, const std::string& path) {
  requireReadableFile(jsonPath);
  const Json document = parseJson(readWholeFile(jsonPath), jsonPath);
  qel::CComposite root;
  try {
    jsonToTree(document, root, jsonPath);
  } catch (const Json::exception&) {
    // Every shape jsonToTree does not name itself.
    throw Failure(jsonPath, std::string("not a valid ") + kJsonFormat + " document");
  }
  // The whole file is replaced, but not in the middle of another's edit.
  const EditLock lock(path);
  qel::CTreeFile::store(toFile(path), root, storeFlags());
  return kExitOk;
}

int cmdGet(const std::string& path, const std::string& componentPath) {
  qel::CComposite root;
  loadTreeWithProgress(path, root);
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
};

}  // namespace

void registerArchiveCommands(CLI::App& app, CommandTable& table) {
  auto a = std::make_shared<ArchiveArguments>();

  CLI::App* show = app.add_subcommand(
      "show", "Print the component tree as an indented outline ([composite], name = value)");
  show->add_option("FILE", a->file, "settings archive")->required();
  show->add_flag("--json", a->json, "print the tree as JSON instead");
  table.add(show, [a] {
    namedFiles() = {a->file};
    return cmdShow(a->file, a->json);
  });

  CLI::App* check =
      app.add_subcommand("check", "Exit 0 when FILE loads as a component tree, 1 otherwise");
  check->add_option("FILE", a->file, "settings archive")->required();
  table.add(check, [a] {
    namedFiles() = {a->file};
    return cmdCheck(a->file);
  });

  CLI::App* records = app.add_subcommand(
      "records", "List every record of any archive: offset, length, fields and their values");
  records->add_option("FILE", a->file, "archive")->required();
  table.add(records, [a] {
    namedFiles() = {a->file};
    return cmdRecords(a->file);
  });

  CLI::App* exportCmd = app.add_subcommand("export", "Write the component tree as JSON");
  exportCmd->add_option("FILE", a->file, "settings archive")->required();
  exportCmd->add_option("-o,--output", a->output, "output file (standard output by default)");
  table.add(exportCmd, [a] {
    namedFiles() = {a->file, a->output};
    return cmdExport(a->file, a->output);
  });

  CLI::App* importCmd =
      app.add_subcommand("import", "Store the tree of an exported JSON document into FILE");
  importCmd->add_option("JSON", a->other, "JSON document made by export")->required();
  importCmd->add_option("FILE", a->file, "settings archive to write")->required();
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
