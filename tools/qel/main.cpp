// qel: inspects, checks, converts and repairs settings archives.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <list>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Progress.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/crypto/BlowFish.h"
#include "qel/crypto/Hash.h"
#include "qel/datetime/DateTime.h"
#include "qel/io/File.h"
#include "qel/platform/ConsoleLogger.h"
#include "qel/platform/DeviceTools.h"
#include "qel/platform/Orvane.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr const char* kJsonFormat = "qel-tree";

// A failure tied to a file: reported as "qel: FILE: message".
class Failure : public std::runtime_error {
 public:
  Failure(const std::string& subject, const std::string& message)
      : std::runtime_error(subject.empty() ? message : subject + ": " + message) {}
};

qel::CFile toFile(const std::string& path) {
  return qel::CFile(qel::CWin32Helper::fromUTF8(path));
}

const char* codeName(qel::CArchive::RetError code) {
  switch (code) {
    case qel::CArchive::RET_OK:
      return "RET_OK";
    case qel::CArchive::RET_WRONG_TYPE:
      return "RET_WRONG_TYPE";
    case qel::CArchive::RET_END_OF_LINE:
      return "RET_END_OF_LINE";
    case qel::CArchive::RET_BAD_FORMAT:
      return "RET_BAD_FORMAT";
    case qel::CArchive::RET_END_OF_DATA:
      return "RET_END_OF_DATA";
  }
  return "RET_UNKNOWN";
}

const char* fieldTypeName(int type) {
  switch (type) {
    case qel::CArchive::FIELD_BOOLEAN:
      return "boolean";
    case qel::CArchive::FIELD_SHORT:
      return "short";
    case qel::CArchive::FIELD_USHORT:
      return "ushort";
    case qel::CArchive::FIELD_INTEGER:
      return "integer";
    case qel::CArchive::FIELD_LONG:
      return "long";
    case qel::CArchive::FIELD_ULONG:
      return "ulong";
    case qel::CArchive::FIELD_STRING:
      return "string";
    case qel::CArchive::FIELD_DATE:
      return "date";
    case qel::CArchive::FIELD_DATA:
      return "data";
    case qel::CArchive::FIELD_ULONGLONG:
      return "ulonglong";
    default:
      return nullptr;
  }
}

// Makes sure that path names an existing regular file that can be read.
void requireReadableFile(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) {
    throw Failure(path, "no such file");
  }
  if (fs::is_directory(status)) {
    throw Failure(path, "is a directory, not a settings archive");
  }
  std::ifstream probe(path, std::ios::binary);
  if (!probe) {
    throw Failure(path, "cannot be opened for reading");
  }
}

std::uint64_t fileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

std::uint32_t walkRecords(const std::string& path, bool print);

// Loads a component tree; any defect ends in a Failure naming the file.
void loadTree(const std::string& path, qel::CComposite& root) {
  requireReadableFile(path);
  if (fileSize(path) == 0) {
    throw Failure(path, "empty file, not a settings archive");
  }
  const qel::CTreeFile::LoadReport report = qel::CTreeFile::load(toFile(path), root);
  if (!report.bFound) {
    throw Failure(path, "cannot be opened as an archive");
  }
  if (report.eCode != qel::CArchive::RET_OK) {
    std::ostringstream text;
    text << "not a valid component tree: " << codeName(report.eCode) << " at record "
         << report.nRecord << ", byte offset " << report.nOffset;
    throw Failure(path, text.str());
  }
  // The tree must end with the file: more records after it are not loaded.
  const std::uint32_t total = walkRecords(path, false);
  if (total != report.nRecord) {
    std::ostringstream text;
    text << "not a valid component tree: " << (total - report.nRecord)
         << " more records after the end of the tree at record " << report.nRecord
         << ", byte offset " << report.nOffset;
    throw Failure(path, text.str());
  }
}

// ---- text forms -------------------------------------------------------------

std::string escapeText(const std::string& text) {
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xf];
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string toHex(const unsigned char* data, std::size_t size, const char* separator) {
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) {
      out += separator;
    }
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 0xf];
  }
  return out;
}

std::string hexPreview(const unsigned char* data, std::size_t size) {
  constexpr std::size_t kPreview = 16;
  std::string out = toHex(data, std::min(size, kPreview), " ");
  if (size > kPreview) {
    out += " ...";
  }
  return out;
}

// Converts archive text (ANSI code page) to UTF-8; sets exact to whether
// converting back gives the same bytes.
std::string ansiToUtf8(const std::string& text, bool& exact) {
  const std::string utf8 = qel::CWin32Helper::toUTF8(qel::CWin32Helper::fromANSI(text));
  exact = qel::CWin32Helper::toAnsi(qel::CWin32Helper::fromUTF8(utf8)) == text;
  return utf8;
}

std::string ansiToUtf8(const std::string& text) {
  bool exact = false;
  return ansiToUtf8(text, exact);
}

std::string utf8ToAnsi(const std::string& text) {
  return qel::CWin32Helper::toAnsi(qel::CWin32Helper::fromUTF8(text));
}

// ---- base64 -----------------------------------------------------------------

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const unsigned char* data, std::size_t size) {
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < size; i += 3) {
    const std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += kBase64[(n >> 6) & 63];
    out += kBase64[n & 63];
  }
  if (i < size) {
    std::uint32_t n = data[i] << 16;
    if (i + 1 < size) {
      n |= data[i + 1] << 8;
    }
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += i + 1 < size ? kBase64[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool base64Decode(const std::string& text, std::string& out) {
  if (text.size() % 4 != 0) {
    return false;
  }
  out.clear();
  std::uint32_t n = 0;
  int bits = 0;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '=') {
      if (i + 2 < text.size()) {
        return false;
      }
      ++padding;
      continue;
    }
    if (padding != 0) {
      return false;
    }
    const char* at = std::strchr(kBase64, c);
    if (at == nullptr || c == '\0') {
      return false;
    }
    n = (n << 6) | static_cast<std::uint32_t>(at - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((n >> bits) & 0xff);
    }
  }
  return true;
}

// ---- tree and JSON ----------------------------------------------------------

std::list<qel::CBaseComponent*> childrenOf(qel::CComposite& composite) {
  std::list<qel::CBaseComponent*> children;
  composite.getChildren(children);
  return children;
}

void addText(Json& node, const char* key, const char* rawKey, const std::string& text) {
  bool exact = false;
  const std::string utf8 = ansiToUtf8(text, exact);
  if (exact) {
    node[key] = utf8;
  } else {
    node[rawKey] = base64Encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
}

Json toJson(qel::CBaseComponent& component) {
  Json node = Json::object();
  switch (component.getType()) {
    case qel::CBaseComponent::TYPE_COMPOSITE: {
      node["type"] = "composite";
      addText(node, "name", "nameBase64", component.getName());
      Json children = Json::array();
      for (qel::CBaseComponent* child : childrenOf(static_cast<qel::CComposite&>(component))) {
        children.push_back(toJson(*child));
      }
      node["children"] = std::move(children);
      break;
    }
    case qel::CBaseComponent::TYPE_BINARY: {
      node["type"] = "binary";
      addText(node, "name", "nameBase64", component.getName());
      unsigned int size = 0;
      const unsigned char* data = static_cast<qel::CBinaryComponent&>(component).getData(size);
      node["base64"] = base64Encode(data, data == nullptr ? 0 : size);
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

Json treeToJson(qel::CComposite& root) {
  Json document = Json::object();
  document["format"] = kJsonFormat;
  document["version"] = 1;
  Json children = Json::array();
  for (qel::CBaseComponent* child : childrenOf(root)) {
    children.push_back(toJson(*child));
  }
  document["children"] = std::move(children);
  return document;
}

std::string jsonText(const Json& node, const char* key, const char* rawKey,
                     const std::string& where) {
  if (node.contains(key)) {
    if (!node[key].is_string()) {
      throw Failure(where, std::string("\"") + key + "\" must be a string");
    }
    return utf8ToAnsi(node[key].get<std::string>());
  }
  if (node.contains(rawKey)) {
    std::string bytes;
    if (!node[rawKey].is_string() || !base64Decode(node[rawKey].get<std::string>(), bytes)) {
      throw Failure(where, std::string("\"") + rawKey + "\" must be base64 text");
    }
    return bytes;
  }
  throw Failure(where, std::string("missing \"") + key + "\"");
}

void addJsonChildren(const Json& children, qel::CComposite& parent, const std::string& where);

std::unique_ptr<qel::CBaseComponent> fromJson(const Json& node, const std::string& where) {
  if (!node.is_object() || !node.contains("type") || !node["type"].is_string()) {
    throw Failure(where, "each node must be an object with a \"type\"");
  }
  const std::string type = node["type"].get<std::string>();
  const std::string name = jsonText(node, "name", "nameBase64", where);
  if (name.empty()) {
    throw Failure(where, "a component name must not be empty");
  }
  if (type == "composite") {
    auto composite = std::make_unique<qel::CComposite>(name);
    if (!node.contains("children")) {
      throw Failure(where, "a composite needs \"children\"");
    }
    addJsonChildren(node["children"], *composite, where);
    return composite;
  }
  if (type == "binary") {
    std::string bytes;
    if (!node.contains("base64") || !node["base64"].is_string() ||
        !base64Decode(node["base64"].get<std::string>(), bytes)) {
      throw Failure(where, "a binary component needs \"base64\" text");
    }
    auto binary = std::make_unique<qel::CBinaryComponent>(name);
    binary->setData(reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<unsigned int>(bytes.size()));
    return binary;
  }
  if (type == "text") {
    return std::make_unique<qel::CComponent>(name, jsonText(node, "value", "valueBase64", where));
  }
  throw Failure(where, "unknown node type \"" + type + "\"");
}

void addJsonChildren(const Json& children, qel::CComposite& parent, const std::string& where) {
  if (!children.is_array()) {
    throw Failure(where, "\"children\" must be an array");
  }
  for (const Json& child : children) {
    std::unique_ptr<qel::CBaseComponent> component = fromJson(child, where);
    parent.add(component.get());
    component.release();
  }
}

// ---- commands ---------------------------------------------------------------

void printOutline(qel::CComposite& composite, int depth, std::ostream& out) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  for (qel::CBaseComponent* child : childrenOf(composite)) {
    const std::string name = escapeText(ansiToUtf8(child->getName()));
    switch (child->getType()) {
      case qel::CBaseComponent::TYPE_COMPOSITE:
        out << indent << "[" << name << "]\n";
        printOutline(static_cast<qel::CComposite&>(*child), depth + 1, out);
        break;
      case qel::CBaseComponent::TYPE_BINARY: {
        unsigned int size = 0;
        const unsigned char* data = static_cast<qel::CBinaryComponent*>(child)->getData(size);
        if (data == nullptr) {
          size = 0;
        }
        out << indent << name << " = <binary, " << size << " bytes>";
        if (size != 0) {
          out << " " << hexPreview(data, size);
        }
        out << "\n";
        break;
      }
      default:
        out << indent << name << " = "
            << escapeText(ansiToUtf8(static_cast<qel::CComponent*>(child)->getValue())) << "\n";
        break;
    }
  }
}

int cmdShow(const std::string& path, bool json) {
  qel::CComposite root;
  loadTree(path, root);
  if (json) {
    std::cout << treeToJson(root).dump(2) << "\n";
  } else {
    printOutline(root, 0, std::cout);
  }
  return kExitOk;
}

std::size_t countComponents(qel::CComposite& composite) {
  std::size_t count = 0;
  for (qel::CBaseComponent* child : childrenOf(composite)) {
    ++count;
    if (child->isComposite()) {
      count += countComponents(static_cast<qel::CComposite&>(*child));
    }
  }
  return count;
}

int cmdCheck(const std::string& path) {
  qel::CComposite root;
  loadTree(path, root);
  std::cout << path << ": OK, " << countComponents(root) << " components\n";
  return kExitOk;
}

std::uint32_t walkRecords(const std::string& path, bool print) {
  requireReadableFile(path);
  const std::uint64_t size = fileSize(path);
  qel::CFile file = toFile(path);
  qel::CArchive ar(file, qel::CArchive::LOAD);
  if (!ar.isLoaded()) {
    throw Failure(path, "cannot be opened as an archive");
  }
  auto malformed = [&path, &ar](qel::CArchive::RetError code, const std::string& detail) {
    std::ostringstream text;
    text << "malformed record " << ar.getRecordNumber() << " at byte offset "
         << ar.getRecordOffset() << ": " << codeName(code);
    if (!detail.empty()) {
      text << " (" << detail << ")";
    }
    return Failure(path, text.str());
  };
  std::uint32_t records = 0;
  for (;;) {
    qel::CArchive::RetError code = qel::CArchive::RET_OK;
    ar.readStartLine(code);
    if (code == qel::CArchive::RET_END_OF_DATA && ar.getRecordOffset() == size) {
      break;
    }
    if (code != qel::CArchive::RET_OK) {
      std::cout.flush();
      throw malformed(code, "");
    }
    ++records;
    std::vector<std::string> lines;
    std::size_t length = 3;
    bool closed = false;
    for (int index = 1;; ++index) {
      const std::string typeText = ar.read(1, code);
      if (code == qel::CArchive::RET_OK && typeText == "0") {
        // The closing separator ends the record; nothing may follow it.
        ar.read(1, code);
        if (code == qel::CArchive::RET_END_OF_LINE) {
          closed = true;
          break;
        }
        code = qel::CArchive::RET_BAD_FORMAT;
      }
      if (code == qel::CArchive::RET_END_OF_LINE) {
        break;
      }
      const char* typeName = nullptr;
      int type = 0;
      if (code == qel::CArchive::RET_OK) {
        type = static_cast<int>(std::strtol(typeText.c_str(), nullptr, 16));
        typeName = std::isxdigit(static_cast<unsigned char>(typeText[0])) != 0 ? fieldTypeName(type)
                                                                               : nullptr;
        if (typeName == nullptr) {
          code = qel::CArchive::RET_BAD_FORMAT;
        }
      }
      int valueLength = 0;
      if (code == qel::CArchive::RET_OK) {
        ar.readFieldLen(valueLength, code);
      }
      std::string value;
      if (code == qel::CArchive::RET_OK) {
        value = ar.read(valueLength, code);
      }
      if (code == qel::CArchive::RET_OK) {
        ar.readCheckSeparator(code);
      }
      if (code != qel::CArchive::RET_OK) {
        std::cout.flush();
        throw malformed(code, "field " + std::to_string(index));
      }
      length += 5 + static_cast<std::size_t>(valueLength);
      std::ostringstream line;
      line << "  field " << index << ": " << typeName << " ";
      if (type == qel::CArchive::FIELD_DATA) {
        line << "<" << value.size() << " bytes>";
        if (!value.empty()) {
          line << " "
               << hexPreview(reinterpret_cast<const unsigned char*>(value.data()), value.size());
        }
      } else if (type == qel::CArchive::FIELD_STRING) {
        line << "\"" << escapeText(ansiToUtf8(value)) << "\"";
      } else {
        line << escapeText(value);
      }
      lines.push_back(line.str());
    }
    if (!closed) {
      std::cout.flush();
      throw malformed(qel::CArchive::RET_END_OF_LINE, "no closing separator");
    }
    if (!print) {
      continue;
    }
    std::cout << "record " << records << " offset " << ar.getRecordOffset() << " length " << length
              << " fields " << lines.size() << "\n";
    for (const std::string& line : lines) {
      std::cout << line << "\n";
    }
  }
  return records;
}

int cmdRecords(const std::string& path) {
  walkRecords(path, true);
  return kExitOk;
}

int cmdExport(const std::string& path, const std::string& output) {
  qel::CComposite root;
  loadTree(path, root);
  const std::string text = treeToJson(root).dump(2) + "\n";
  if (output.empty() || output == "-") {
    std::cout << text;
    return kExitOk;
  }
  // Written beside the target and renamed, so that no partial file is left.
  const std::string temporary = output + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      throw Failure(output, "cannot be written");
    }
    out << text;
    out.close();
    if (!out) {
      std::error_code ec;
      fs::remove(temporary, ec);
      throw Failure(output, "writing failed");
    }
  }
  std::error_code ec;
  fs::rename(temporary, output, ec);
  if (ec) {
    fs::remove(temporary, ec);
    throw Failure(output, "cannot be replaced");
  }
  return kExitOk;
}

// A target to be replaced: a directory or a read-only file is refused.
void requireWritableTarget(const std::string& path, bool mustExist) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) {
    if (mustExist) {
      throw Failure(path, "no such file");
    }
    return;
  }
  if (fs::is_directory(status)) {
    throw Failure(path, "is a directory");
  }
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if ((status.permissions() & write) == fs::perms::none) {
    throw Failure(path, "is read-only");
  }
}

int cmdImport(const std::string& jsonPath, const std::string& path) {
  requireReadableFile(jsonPath);
  requireWritableTarget(path, false);
  Json document;
  {
    std::ifstream in(jsonPath, std::ios::binary);
    try {
      document = Json::parse(in);
    } catch (const Json::parse_error& e) {
      throw Failure(jsonPath, std::string("invalid JSON: ") + e.what());
    }
  }
  if (!document.is_object() || !document.contains("format") || document["format"] != kJsonFormat ||
      !document.contains("children")) {
    throw Failure(jsonPath, std::string("not a ") + kJsonFormat + " document");
  }
  qel::CComposite root;
  addJsonChildren(document["children"], root, jsonPath);
  qel::CTreeFile::store(toFile(path), root);
  return kExitOk;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(path);
  while (std::getline(in, part, '/')) {
    if (!part.empty()) {
      parts.push_back(utf8ToAnsi(part));
    }
  }
  if (parts.empty()) {
    throw Failure("", "empty component path \"" + path + "\"");
  }
  return parts;
}

int cmdGet(const std::string& path, const std::string& componentPath) {
  qel::CComposite root;
  loadTree(path, root);
  const std::vector<std::string> parts = splitPath(componentPath);
  qel::CBaseComponent* current = &root;
  for (const std::string& part : parts) {
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
      std::cout << toHex(data, data == nullptr ? 0 : size, "") << "\n";
      break;
    }
    default:
      std::cout << ansiToUtf8(static_cast<qel::CComponent*>(current)->getValue()) << "\n";
      break;
  }
  return kExitOk;
}

int cmdSet(const std::string& path, const std::string& componentPath, const std::string& value) {
  requireWritableTarget(path, true);
  qel::CComposite root;
  loadTree(path, root);
  const std::vector<std::string> parts = splitPath(componentPath);
  qel::CComposite* parent = &root;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    qel::CBaseComponent* next = parent->find(parts[i]);
    if (next == nullptr) {
      auto* created = new qel::CComposite(parts[i]);
      parent->add(created);
      next = created;
    } else if (!next->isComposite()) {
      throw Failure(path, "\"" + ansiToUtf8(parts[i]) + "\" in " + componentPath +
                              " is a value, not a composite");
    }
    parent = static_cast<qel::CComposite*>(next);
  }
  const std::string encoded = utf8ToAnsi(value);
  qel::CBaseComponent* leaf = parent->find(parts.back());
  if (leaf == nullptr) {
    parent->add(new qel::CComponent(parts.back(), encoded));
  } else if (leaf->getType() == qel::CBaseComponent::TYPE_COMPONENT) {
    static_cast<qel::CComponent*>(leaf)->setValue(encoded);
  } else {
    throw Failure(path, componentPath + " is not a text value");
  }
  qel::CTreeFile::store(toFile(path), root);
  return kExitOk;
}

bool parseHex(const std::string& text, std::string& out) {
  if (text.size() % 2 != 0) {
    return false;
  }
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0 ||
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) == 0) {
      return false;
    }
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return true;
}

struct CipherOptions {
  std::string key;
  std::string keyHex;
  std::string iv;
  std::string value;
};

// Usage errors of encode/decode are reported through this.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

qel::CBlowFish makeCipher(const CipherOptions& options) {
  std::string key = options.key;
  if (!options.keyHex.empty() && !parseHex(options.keyHex, key)) {
    throw UsageError("--key-hex: not an even number of hexadecimal digits");
  }
  if (key.empty()) {
    throw UsageError("a key is needed: --key TEXT or --key-hex HEX");
  }
  std::string iv(8, '\0');
  if (!options.iv.empty() && (!parseHex(options.iv, iv) || iv.size() != 8)) {
    throw UsageError("--iv: 16 hexadecimal digits needed");
  }
  auto word = [&iv](std::size_t at) {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      n = (n << 8) | static_cast<unsigned char>(iv[at + i]);
    }
    return n;
  };
  return qel::CBlowFish(reinterpret_cast<const unsigned char*>(key.data()),
                        static_cast<unsigned int>(key.size()), qel::SBlock(word(0), word(4)));
}

int cmdEncode(const CipherOptions& options) {
  qel::CBlowFish cipher = makeCipher(options);
  std::cout << cipher.encodeValue(options.value) << "\n";
  return kExitOk;
}

int cmdDecode(const CipherOptions& options) {
  std::string bytes;
  if (!parseHex(options.value, bytes) || bytes.empty() || bytes.size() % 8 != 0) {
    throw Failure("", "not an encoded value: a non-zero multiple of 16 hexadecimal digits needed");
  }
  qel::CBlowFish cipher = makeCipher(options);
  std::cout << cipher.decodeValue(options.value) << "\n";
  return kExitOk;
}

std::string md5Of(std::istream& in, const std::string& name, std::uint64_t total) {
  qel::CMD5 md5;
  md5.init();
  Progress progress(name, total);
  std::uint64_t done = 0;
  std::vector<char> block(1 << 16);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = in.gcount();
    if (got > 0) {
      md5.update(reinterpret_cast<const unsigned char*>(block.data()),
                 static_cast<unsigned int>(got));
      done += static_cast<std::uint64_t>(got);
      progress.update(done);
    }
  }
  if (in.bad()) {
    throw std::runtime_error("read error");
  }
  md5.finish();
  return toHex(md5.getResult(), md5.getSize(), "");
}

int cmdMd5(const std::vector<std::string>& files) {
  std::vector<std::string> names = files;
  if (names.empty()) {
    names.push_back("-");
  }
  int status = kExitOk;
  for (const std::string& name : names) {
    std::string digest;
    try {
      if (name == "-") {
        digest = md5Of(std::cin, "-", 0);
      } else {
        requireReadableFile(name);
        std::ifstream in(name, std::ios::binary);
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(name, ec);
        digest = md5Of(in, name, ec ? 0 : static_cast<std::uint64_t>(size));
      }
    } catch (const Failure& e) {
      std::cerr << "qel: " << e.what() << "\n";
      status = kExitFailure;
      continue;
    } catch (const std::exception& e) {
      std::cerr << "qel: " << name << ": " << e.what() << "\n";
      status = kExitFailure;
      continue;
    }
    // md5sum marks names holding a backslash or line feed with a leading
    // backslash and escapes them.
    if (name.find_first_of("\\\n") != std::string::npos) {
      std::string escaped;
      for (const char c : name) {
        escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
      }
      std::cout << "\\" << digest << "  " << escaped << "\n";
    } else {
      std::cout << digest << "  " << name << "\n";
    }
  }
  return status;
}

int cmdDevice() {
  static const char* const kFacts[] = {
      "firmware version", "hardware version",  "manufacturer",
      "device name",      "product type",      "OS major version",
      "OS minor version", "unique identifier", "application version"};
  const DeviceUtils utils;
  for (int i = 0; i < DeviceUtils::DEVICE_INFO_COUNT; ++i) {
    std::cout << kFacts[i] << ": " << qel::CWin32Helper::toUTF8(utils.GetDeviceInfo(i)) << "\n";
  }
  std::cout << "device key: " << qel::DeviceTools::getDeviceKey() << "\n"
            << "x-key: " << qel::DeviceTools::getXQelKey() << "\n"
            << "software version: " << qel::DeviceTools::getSwV() << "\n";
  return kExitOk;
}

// The fields, Julian day, day of week and every text form of a date.
int cmdDate(const std::string& text) {
  const qel::CDateTime value =
      text == "now" ? qel::CDateTime::GetSystemTime()
                    : qel::CDateTime::CDateTimeFromString(qel::CWin32Helper::fromUTF8(text));
  static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
  unsigned short year, month, day, dayOfWeek, hour, minute, second, millisecond;
  value.getDate(year, month, day, dayOfWeek);
  value.getTime(hour, minute, second, millisecond);
  char fields[64];
  std::snprintf(fields, sizeof(fields), "%04u-%02u-%02u %02u:%02u:%02u.%03u", year, month, day,
                hour, minute, second, millisecond);
  std::cout << "date: " << fields << (value.isGMTTime() ? " UTC" : "") << "\n"
            << "julian day: " << value.getJD() << "\n"
            << "milliseconds of the day: " << value.getms() << "\n"
            << "day of week: " << (dayOfWeek < 7 ? kDays[dayOfWeek] : "?") << "\n";
  for (bool gmt : {false, true}) {
    qel::CDateTime form = value;
    form.forceGMT(gmt);
    std::cout << (gmt ? "utc" : "local") << ": " << form.toByteString(false) << "\n"
              << (gmt ? "utc" : "local") << " with milliseconds: " << form.toByteString(true)
              << "\n";
  }
  for (bool dashes : {false, true}) {
    qel::CDateTime dateOnly = value;
    dateOnly.setms(0);
    dateOnly.forceGMT(false);
    dateOnly.encodeDateUsingDashes(dashes);
    std::cout << (dashes ? "date only with dashes: " : "date only: ")
              << dateOnly.toByteString(false) << "\n";
  }
  return kExitOk;
}

}  // namespace

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
                 "ANSI code page of the names and values in archives (e.g. 1252)")
      ->check(CLI::PositiveNumber);

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
    std::cerr << "qel: " << (file.empty() ? std::string() : file + ": ") << e.what() << "\n";
    return kExitFailure;
  } catch (const std::exception& e) {
    std::cerr << "qel: " << (file.empty() ? std::string() : file + ": ") << e.what() << "\n";
    return kExitFailure;
  }
  return kExitUsage;
}
