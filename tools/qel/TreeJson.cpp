#include "TreeJson.h"

#include <memory>
#include <set>
#include <vector>

#include "Common.h"
#include "Inspect.h"
#include "TextForms.h"
#include "qel/archive/Tree.h"
#include "qel/core/BinaryText.h"

namespace qeltool {

namespace {

std::string tooDeep() {
  return "tree nested deeper than " + std::to_string(kMaxJsonDepth) +
         " levels cannot be converted to JSON";
}

void addText(Json& node, const char* key, const char* rawKey, const std::string& text) {
  qel::tree::TextLoss loss;
  const std::string utf8 = qel::tree::toUtf8(text, loss);
  if (loss.nCount == 0) {
    node[key] = utf8;
  } else {
    node[rawKey] = qel::toBase64(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
}

Json toJson(qel::CBaseComponent& component, std::size_t depth, const std::string& where) {
  if (depth > kMaxJsonDepth) {
    throw Failure(where, tooDeep());
  }
  Json node = Json::object();
  switch (component.getType()) {
    case qel::CBaseComponent::TYPE_COMPOSITE: {
      node["type"] = "composite";
      addText(node, "name", "nameBase64", component.getName());
      Json children = Json::array();
      for (qel::CBaseComponent& child :
           qel::tree::children(static_cast<qel::CComposite&>(component))) {
        children.push_back(toJson(child, depth + 1, where));
      }
      node["children"] = std::move(children);
      break;
    }
    case qel::CBaseComponent::TYPE_BINARY: {
      node["type"] = "binary";
      addText(node, "name", "nameBase64", component.getName());
      unsigned int size = 0;
      const unsigned char* data = static_cast<qel::CBinaryComponent&>(component).getData(size);
      node["base64"] = qel::toBase64(data, data == nullptr ? 0 : size);
      break;
    }
    default: {
      node["type"] = "text";
      addText(node, "name", "nameBase64", component.getName());
      addText(node, "value", "valueBase64", static_cast<qel::CComponent&>(component).getValue());
      break;
    }
  }
  return node;
}

// The text under key (UTF-8) or rawKey (base64 of the bytes); path names
// the component in messages.
std::string jsonText(const Json& node, const char* key, const char* rawKey,
                     const std::string& where, const std::string& path) {
  if (node.contains(key)) {
    if (!node[key].is_string()) {
      throw Failure(where, std::string("\"") + key + "\" must be a string");
    }
    return archiveText(node[key].get<std::string>(), where, path);
  }
  if (node.contains(rawKey)) {
    std::string bytes;
    if (!node[rawKey].is_string() || !qel::fromBase64(node[rawKey].get<std::string>(), bytes)) {
      throw Failure(where, std::string("\"") + rawKey + "\" must be base64 text");
    }
    return bytes;
  }
  throw Failure(where, std::string("missing \"") + key + "\"");
}

void addJsonChildren(const Json& children, qel::CComposite& parent, const std::string& where,
                     std::size_t depth, const std::string& parentPath);

// The path of a node for messages: its parent's and its name as given.
std::string nodePath(const Json& node, const std::string& parentPath) {
  std::string name = "?";
  if (node.contains("name") && node["name"].is_string()) {
    name = node["name"].get<std::string>();
  }
  return parentPath.empty() ? name : parentPath + "/" + name;
}

std::unique_ptr<qel::CBaseComponent> fromJson(const Json& node, const std::string& where,
                                              std::size_t depth, const std::string& parentPath) {
  if (depth > kMaxJsonDepth) {
    throw Failure(where, tooDeep());
  }
  if (!node.is_object() || !node.contains("type") || !node["type"].is_string()) {
    throw Failure(where, "each node must be an object with a \"type\"");
  }
  const std::string type = node["type"].get<std::string>();
  const std::string path = nodePath(node, parentPath);
  const std::string name = jsonText(node, "name", "nameBase64", where, path);
  if (name.empty()) {
    throw Failure(where, "a component name must not be empty");
  }
  if (type == "composite") {
    auto composite = std::make_unique<qel::CComposite>(name);
    if (!node.contains("children")) {
      throw Failure(where, "a composite needs \"children\"");
    }
    addJsonChildren(node["children"], *composite, where, depth + 1, path);
    return composite;
  }
  if (type == "binary") {
    std::string bytes;
    if (!node.contains("base64") || !node["base64"].is_string() ||
        !qel::fromBase64(node["base64"].get<std::string>(), bytes)) {
      throw Failure(where, "a binary component needs \"base64\" text");
    }
    auto binary = std::make_unique<qel::CBinaryComponent>(name);
    binary->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<unsigned int>(bytes.size()));
    return binary;
  }
  if (type == "text") {
    return std::make_unique<qel::CComponent>(name,
                                             jsonText(node, "value", "valueBase64", where, path));
  }
  throw Failure(where, "unknown node type \"" + type + "\"");
}

void addJsonChildren(const Json& children, qel::CComposite& parent, const std::string& where,
                     std::size_t depth, const std::string& parentPath) {
  if (!children.is_array()) {
    throw Failure(where, "\"children\" must be an array");
  }
  for (const Json& child : children) {
    std::unique_ptr<qel::CBaseComponent> component = fromJson(child, where, depth, parentPath);
    parent.add(component.get());
    component.release();
  }
}

// The JSON library's message without its "[json.exception...] parse error"
// prefix: "at line 1, column 2: syntax error while parsing value - ...".
std::string jsonReason(const std::string& what) {
  std::string reason = what;
  if (!reason.empty() && reason[0] == '[') {
    const std::size_t end = reason.find("] ");
    reason = end == std::string::npos ? std::string() : reason.substr(end + 2);
  }
  const std::string prefix = "parse error ";
  if (reason.compare(0, prefix.size(), prefix) == 0) {
    reason = reason.substr(prefix.size());
  }
  return reason;
}

}  // namespace

Json parseJson(const std::string& text, const std::string& where) {
  // The keys seen so far in each object that is open.
  std::vector<std::set<std::string>> keys;
  auto callback = [&keys, &where](int /*depth*/, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == Json::parse_event_t::object_end) {
      keys.pop_back();
    } else if (event == Json::parse_event_t::key && !keys.empty() &&
               !keys.back().insert(parsed.get<std::string>()).second) {
      throw Failure(where, "invalid JSON: an object holds the key \"" + parsed.get<std::string>() +
                               "\" twice");
    }
    return true;
  };
  try {
    return Json::parse(text, callback);
  } catch (const Json::exception& e) {
    const std::string reason = jsonReason(e.what());
    const std::string joint = reason.compare(0, 3, "at ") == 0 ? " " : ": ";
    throw Failure(where, "invalid JSON" + (reason.empty() ? std::string() : joint + reason));
  }
}

Json treeToJson(qel::CComposite& root, const std::string& where) {
  Json document = Json::object();
  document["format"] = kJsonFormat;
  document["version"] = 1;
  Json children = Json::array();
  for (qel::CBaseComponent& child : qel::tree::children(root)) {
    children.push_back(toJson(child, 1, where));
  }
  document["children"] = std::move(children);
  return document;
}

void jsonToTree(const Json& document, qel::CComposite& root, const std::string& where) {
  if (!document.is_object() || !document.contains("format") || !document["format"].is_string()) {
    throw Failure(where, std::string("not a ") + kJsonFormat + " document: no \"format\"");
  }
  if (document["format"] != kJsonFormat) {
    throw Failure(where, "unknown format \"" + document["format"].get<std::string>() +
                             "\" (qel imports " + kJsonFormat + ")");
  }
  if (!document.contains("version") || document["version"] != 1) {
    throw Failure(where,
                  std::string("unsupported ") + kJsonFormat + " version " +
                      (document.contains("version") ? document["version"].dump() : "(none)") +
                      " (qel imports version 1)");
  }
  if (!document.contains("children")) {
    throw Failure(where, "missing \"children\"");
  }
  addJsonChildren(document["children"], root, where, 1, std::string());
}

}  // namespace qeltool
