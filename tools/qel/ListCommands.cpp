// ls, list, diff and apply: the tree as flat entries, compared and edited
// entry by entry (the line form is in ListForm.h).

#include <CLI/CLI.hpp>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "Commands.h"
#include "Common.h"
#include "FileProgress.h"
#include "Inspect.h"
#include "ListForm.h"
#include "TextForms.h"
#include "TreeJson.h"
#include "qel/archive/Tree.h"
#include "qel/archive/TreeFile.h"
#include "qel/core/Exception.h"

namespace qeltool {

namespace {

// The entries of the archive a command-line argument names ("-" and pipes
// too).
std::vector<ListEntry> loadEntries(const std::string& path, qel::CComposite& root) {
  const InputFile input(path);
  loadTreeWithProgress(input.path(), root);
  return listEntries(root);
}

// What diff says of an entry's value.
std::string describe(const ListEntry& entry) {
  switch (entry.kind) {
    case ListEntry::kBinary:
      return "binary, " + std::to_string(entry.value.size()) +
             (entry.value.size() == 1 ? " byte" : " bytes");
    case ListEntry::kComposite:
      return "empty composite";
    default: {
      qel::tree::TextLoss loss;
      const std::string utf8 = qel::tree::toUtf8(entry.value, loss);
      if (loss.nCount != 0) {
        // As list gives it: the bytes in the code page.
        return formatLine(entry).substr(listPath(entry.path).size() + 1);
      }
      return "\"" + escapeText(utf8) + "\"";
    }
  }
}

Json describeJson(const ListEntry& entry) {
  Json node = entryToJson(entry);
  if (entry.kind == ListEntry::kBinary) {
    node["size"] = entry.value.size();
  }
  return node;
}

// The offset of the first byte where two binary values differ (the shorter
// one's size when it begins the other).
std::size_t firstDifference(const std::string& a, const std::string& b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) {
    ++at;
  }
  return at;
}

// One change of apply and where it was given, for messages.
struct Change {
  ListEntry entry;
  std::string where;
};

std::vector<Change> parseChanges(const std::string& text, const std::string& name) {
  std::vector<Change> changes;
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start != std::string::npos && text[start] == '{') {
    const Json document = parseJson(text, name);
    if (!document.contains("entries") || !document["entries"].is_array()) {
      throw Failure(name, "a JSON set of changes is {\"entries\": [...]}");
    }
    // Written by hand, a set of changes may leave out format and version.
    if (document.contains("format") && document["format"] != kListFormat) {
      throw Failure(name, "unknown format " + document["format"].dump() + " (qel applies " +
                              kListFormat + ")");
    }
    if (document.contains("version") && document["version"] != 1) {
      throw Failure(name, std::string("unsupported ") + kListFormat + " version " +
                              document["version"].dump() + " (qel applies version 1)");
    }
    std::size_t index = 0;
    for (const Json& node : document["entries"]) {
      const std::string where = name + ": entry " + std::to_string(++index);
      changes.push_back({entryFromJson(node, where), where});
    }
    return changes;
  }
  std::istringstream in(text);
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const std::string where = name + ": line " + std::to_string(number);
    changes.push_back({parseLine(line, where), where});
  }
  return changes;
}

void applyChange(qel::CComposite& root, const ListEntry& entry) {
  const std::string shown = listPath(entry.path);
  qel::CBaseComponent* node = qel::tree::lookup(root, entry.path);
  switch (entry.kind) {
    case ListEntry::kText:
      qel::tree::setText(root, entry.path, entry.value);
      break;
    case ListEntry::kBinary:
      qel::tree::setData(root, entry.path,
                         reinterpret_cast<const unsigned char*>(entry.value.data()),
                         static_cast<unsigned int>(entry.value.size()));
      break;
    case ListEntry::kComposite:
      if (node != nullptr && !node->isComposite()) {
        throw Failure("", shown + " is a value, not a composite");
      }
      if (node == nullptr) {
        // A value below it adds the composite, and every one missing on the
        // way, as setText adds them; the value goes again at once.
        const std::string inside = entry.path + "/x";
        qel::tree::setText(root, inside, "");
        qel::tree::remove(root, inside);
      }
      break;
    case ListEntry::kRemove:
      if (!qel::tree::remove(root, entry.path)) {
        throw Failure("", "no entry at " + shown);
      }
      break;
  }
}

}  // namespace

int cmdLs(const std::string& path, const std::string& componentPath) {
  qel::CComposite root;
  {
    const InputFile input(path);
    loadTreeWithProgress(input.path(), root);
  }
  const std::string treePath = archiveText(componentPath, path, componentPath);
  const qel::CBaseComponent* node = qel::tree::lookup(root, treePath);
  if (node == nullptr) {
    std::cerr << "qel: " << path << ": no entry at " << componentPath << "\n";
    return kExitNotFound;
  }
  if (!node->isComposite()) {
    throw Failure(path, componentPath + " is a value, not a composite");
  }
  std::map<std::string, std::size_t> seen;
  for (const qel::CBaseComponent& child :
       qel::tree::children(static_cast<const qel::CComposite&>(*node))) {
    const std::size_t index = seen[child.getName()]++;
    std::string name = qel::tree::escapeName(child.getName());
    if (index > 0) {
      name += "[" + std::to_string(index) + "]";
    }
    std::cout << shownPath(name) << (child.isComposite() ? "/" : "") << "\n";
  }
  return kExitOk;
}

int cmdList(const std::string& path, bool json) {
  qel::CComposite root;
  const std::vector<ListEntry> entries = loadEntries(path, root);
  if (json) {
    Json document = Json::object();
    document["format"] = kListFormat;
    document["version"] = 1;
    Json list = Json::array();
    for (const ListEntry& entry : entries) {
      list.push_back(entryToJson(entry));
    }
    document["entries"] = std::move(list);
    std::cout << document.dump(2) << "\n";
    return kExitOk;
  }
  std::string text;
  for (const ListEntry& entry : entries) {
    text += formatLine(entry) + "\n";
  }
  std::cout << text;
  return kExitOk;
}

int cmdDiff(const std::string& pathA, const std::string& pathB, bool json) {
  std::vector<ListEntry> a;
  std::vector<ListEntry> b;
  // As diff(1): trouble is 2, so that it is not taken for "different".
  try {
    qel::CComposite rootA;
    a = loadEntries(pathA, rootA);
    qel::CComposite rootB;
    b = loadEntries(pathB, rootB);
  } catch (const Failure& e) {
    std::cerr << "qel: " << e.what() << "\n";
    return kExitUsage;
  } catch (const qel::CException& e) {
    std::cerr << "qel: " << userMessage(e.getMessage(), namedFiles()) << "\n";
    return kExitUsage;
  }
  std::map<std::string, const ListEntry*> inA;
  std::map<std::string, const ListEntry*> inB;
  for (const ListEntry& entry : a) {
    inA[entry.path] = &entry;
  }
  for (const ListEntry& entry : b) {
    inB[entry.path] = &entry;
  }
  Json removed = Json::array();
  Json added = Json::array();
  Json changed = Json::array();
  std::string text;
  for (const ListEntry& from : a) {
    const auto found = inB.find(from.path);
    const std::string shown = listPath(from.path);
    if (found == inB.end()) {
      removed.push_back(describeJson(from));
      text += "- " + shown + ": " + describe(from) + "\n";
      continue;
    }
    const ListEntry& to = *found->second;
    if (from.kind == to.kind && from.value == to.value) {
      continue;
    }
    Json change = Json::object();
    change["path"] = qel::tree::toUtf8(from.path);
    change["from"] = describeJson(from);
    change["to"] = describeJson(to);
    change["from"].erase("path");
    change["to"].erase("path");
    text += "~ " + shown + ": " + describe(from) + " -> " + describe(to);
    if (from.kind == ListEntry::kBinary && to.kind == ListEntry::kBinary) {
      const std::size_t at = firstDifference(from.value, to.value);
      change["firstDifference"] = at;
      text += ", first difference at byte offset " + std::to_string(at);
    }
    text += "\n";
    changed.push_back(std::move(change));
  }
  for (const ListEntry& to : b) {
    if (inA.count(to.path) == 0) {
      added.push_back(describeJson(to));
      text += "+ " + listPath(to.path) + ": " + describe(to) + "\n";
    }
  }
  const bool equal = removed.empty() && added.empty() && changed.empty();
  if (json) {
    Json document = Json::object();
    document["equal"] = equal;
    document["removed"] = std::move(removed);
    document["added"] = std::move(added);
    document["changed"] = std::move(changed);
    std::cout << document.dump(2) << "\n";
  } else {
    std::cout << text;
  }
  return equal ? kExitOk : kExitFailure;
}

int cmdApply(const std::string& path, const std::string& changesPath) {
  std::string text;
  std::string name = changesPath;
  if (changesPath == "-") {
    name = "standard input";
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    requireReadableFile(changesPath);
    text = readWholeFile(changesPath);
  }
  // Every change is read before the file is locked; a bad one writes nothing.
  const std::vector<Change> changes = parseChanges(text, name);
  auto edit = [&changes](qel::CComposite& root) {
    for (const Change& change : changes) {
      try {
        applyChange(root, change.entry);
      } catch (const Failure& e) {
        throw Failure(change.where, e.what());
      } catch (const qel::CException& e) {
        throw Failure(change.where, userMessage(e.getMessage(), {}));
      }
    }
  };
  const FileProgress progress(path, fileSize(path));
  qel::CTreeFile::update(toFile(path), edit, writeOptions().lockWaitMilliseconds, storeFlags());
  return kExitOk;
}

namespace {

struct ListArguments {
  std::string file;
  std::string other;
  bool json = false;
};

}  // namespace

void registerListCommands(CLI::App& app, CommandTable& table) {
  auto a = std::make_shared<ListArguments>();

  CLI::App* ls = app.add_subcommand(
      "ls",
      "Print the children of the composite at PATH (the root by default), one per line; "
      "composites end in '/'");
  ls->add_option("FILE", a->file, "settings archive")->required();
  ls->add_option("PATH", a->other, "path of a composite such as network/proxy");
  table.add(ls, [a] {
    namedFiles() = {a->file};
    return cmdLs(a->file, a->other);
  });

  CLI::App* list = app.add_subcommand(
      "list", "Print every value as PATH=VALUE, one per line, in the form apply reads");
  list->add_option("FILE", a->file, "settings archive")->required();
  list->add_flag("--json", a->json, "print the entries as JSON instead");
  table.add(list, [a] {
    namedFiles() = {a->file};
    return cmdList(a->file, a->json);
  });

  CLI::App* diff = app.add_subcommand(
      "diff",
      "Print the entries removed (-), added (+) and changed (~) from A to B; exit 0 when "
      "equal, 1 when different, 2 on trouble");
  diff->add_option("A", a->file, "settings archive")->required();
  diff->add_option("B", a->other, "settings archive")->required();
  diff->add_flag("--json", a->json, "print the differences as JSON instead");
  table.add(diff, [a] {
    namedFiles() = {a->file, a->other};
    return cmdDiff(a->file, a->other, a->json);
  });

  CLI::App* apply = app.add_subcommand(
      "apply",
      "Apply a listing of changes (PATH=VALUE, PATH:hex=HEX, PATH/, -PATH, or JSON) to "
      "FILE in one locked store: all or nothing");
  apply->add_option("FILE", a->file, "settings archive (created when missing)")->required();
  apply->add_option("CHANGES", a->other, "file of changes; - or none: standard input");
  table.add(apply, [a] {
    namedFiles() = {a->file};
    return cmdApply(a->file, a->other.empty() ? "-" : a->other);
  });
}

}  // namespace qeltool
