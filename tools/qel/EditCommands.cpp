// rm and mv: edits that take components out of a settings archive or move
// them, through the same locked, crash-safe store as set.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Common.h"
#include "FileProgress.h"
#include "qel/archive/Tree.h"
#include "qel/archive/TreeFile.h"

namespace qeltool {

namespace {

// Ends an edit without storing anything: what it asked for is not there
// (or, with -f, there is nothing to do).
struct NothingToStore {
  std::vector<std::string> missing;
};

// The composite that holds each node below root.
std::unordered_map<const qel::CBaseComponent*, qel::CComposite*> parentsBelow(
    qel::CComposite& root) {
  std::unordered_map<const qel::CBaseComponent*, qel::CComposite*> parents;
  std::vector<qel::CComposite*> pending{&root};
  while (!pending.empty()) {
    qel::CComposite* composite = pending.back();
    pending.pop_back();
    for (qel::CBaseComponent& child : qel::tree::children(*composite)) {
      parents.emplace(&child, composite);
      if (child.isComposite()) {
        pending.push_back(static_cast<qel::CComposite*>(&child));
      }
    }
  }
  return parents;
}

void requireArchive(const std::string& path) {
  if (!fileExists(path)) {
    throw Failure(path, "no such file");
  }
}

void reportMissing(const std::string& path, const std::vector<std::string>& missing) {
  for (const std::string& componentPath : missing) {
    std::cerr << "qel: " << path << ": no component at " << componentPath << "\n";
  }
}

}  // namespace

int cmdRm(const std::string& path, const std::vector<std::string>& componentPaths, bool force) {
  requireArchive(path);
  std::vector<std::string> addresses;
  for (const std::string& componentPath : componentPaths) {
    addresses.push_back(archiveText(componentPath, path, componentPath));
  }
  // Every path names a node of the tree as it was loaded, so that removing
  // one does not change what a later "name[i]" names.
  auto edit = [&](qel::CComposite& root) {
    std::vector<qel::CBaseComponent*> targets;
    NothingToStore nothing;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
      qel::CBaseComponent* node = qel::tree::lookup(root, addresses[i]);
      if (node == nullptr) {
        nothing.missing.push_back(componentPaths[i]);
      } else if (node == &root) {
        throw Failure(path, "the root cannot be removed");
      } else {
        targets.push_back(node);
      }
    }
    if ((!nothing.missing.empty() && !force) || targets.empty()) {
      throw nothing;
    }
    const auto parents = parentsBelow(root);
    const std::set<const qel::CBaseComponent*> chosen(targets.begin(), targets.end());
    std::set<const qel::CBaseComponent*> removed;
    for (qel::CBaseComponent* node : targets) {
      // A node inside another one that goes goes with it.
      bool inside = false;
      for (auto up = parents.find(node)->second; up != &root; up = parents.find(up)->second) {
        inside = inside || chosen.count(up) != 0;
      }
      if (!inside && removed.insert(node).second) {
        parents.find(node)->second->remove(node);
      }
    }
  };
  try {
    const FileProgress progress(path, fileSize(path));
    qel::CTreeFile::update(toFile(path), edit, writeOptions().lockWaitMilliseconds, storeFlags());
  } catch (const NothingToStore& nothing) {
    if (!force) {
      reportMissing(path, nothing.missing);
      return kExitNotFound;
    }
  }
  return kExitOk;
}

int cmdMv(const std::string& path, const std::string& from, const std::string& to) {
  requireArchive(path);
  const std::string source = archiveText(from, path, from);
  const std::string target = archiveText(to, path, to);
  auto edit = [&](qel::CComposite& root) {
    if (!qel::tree::move(root, source, target)) {
      throw NothingToStore{{from}};
    }
  };
  try {
    const FileProgress progress(path, fileSize(path));
    qel::CTreeFile::update(toFile(path), edit, writeOptions().lockWaitMilliseconds, storeFlags());
  } catch (const NothingToStore& nothing) {
    reportMissing(path, nothing.missing);
    return kExitNotFound;
  }
  return kExitOk;
}

namespace {

struct EditArguments {
  std::string file;
  std::vector<std::string> paths;
  std::string from;
  std::string to;
  bool force = false;
};

}  // namespace

void registerEditCommands(CLI::App& app, CommandTable& table) {
  auto a = std::make_shared<EditArguments>();

  CLI::App* rm = app.add_subcommand(
      "rm", "Remove the components at the PATHs, with what they hold, and store FILE");
  rm->add_option("FILE", a->file, "settings archive")->required();
  rm->add_option("PATH", a->paths, "paths such as network/proxy or user/server[1]")->required();
  rm->add_flag("-f", a->force, "ignore paths that name nothing (exit 0)");
  table.add(rm, [a] {
    namedFiles() = {a->file};
    return cmdRm(a->file, a->paths, a->force);
  });

  CLI::App* mv = app.add_subcommand(
      "mv", "Move or rename the component at FROM, with what it holds, to TO and store FILE");
  mv->add_option("FILE", a->file, "settings archive")->required();
  mv->add_option("FROM", a->from, "path of the component")->required();
  mv->add_option("TO", a->to, "its new path (missing composites are created)")->required();
  table.add(mv, [a] {
    namedFiles() = {a->file};
    return cmdMv(a->file, a->from, a->to);
  });
}

}  // namespace qeltool
