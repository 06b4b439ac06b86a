#include "ListForm.h"

#include "Common.h"
#include "TextForms.h"
#include "qel/archive/Tree.h"
#include "qel/core/BinaryText.h"

namespace qeltool {

namespace {

std::string hexOf(const std::string& bytes) {
  return qel::toHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// The byte of "\xHH" at text[at] (at the 'x'), or -1.
int escapedByte(const std::string& text, std::size_t at) {
  std::string byte;
  if (at + 2 >= text.size() || !qel::fromHex(std::string_view(text).substr(at + 1, 2), byte)) {
    return -1;
  }
  return static_cast<unsigned char>(byte[0]);
}

// The control character of "\n", "\r" or "\t", or 0.
char controlEscape(char c) {
  switch (c) {
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return 0;
  }
}

// text with its escapes undone; it starts at column offset + 1 of its line.
std::string unescapeValue(const std::string& text, std::size_t offset, const std::string& where) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (next == '\\') {
      out += '\\';
      ++i;
    } else if (controlEscape(next) != 0) {
      out += controlEscape(next);
      ++i;
    } else if (next == 'x' && escapedByte(text, i + 1) >= 0) {
      out += static_cast<char>(escapedByte(text, i + 1));
      i += 3;
    } else {
      throw Failure(where,
                    "malformed escape in the value at column " + std::to_string(offset + i + 1));
    }
  }
  return out;
}

std::string fromHexText(const std::string& text, const std::string& where) {
  std::string bytes;
  if (!qel::fromHex(text, bytes)) {
    throw Failure(where, "\"" + text + "\" is not hexadecimal bytes");
  }
  return bytes;
}

}  // namespace

std::vector<ListEntry> listEntries(const qel::CComposite& root) {
  std::vector<ListEntry> entries;
  qel::tree::visit(root, [&entries](const std::string& path, const qel::CBaseComponent& node) {
    ListEntry entry;
    entry.path = path;
    switch (node.getType()) {
      case qel::CBaseComponent::TYPE_COMPOSITE: {
        const auto& composite = static_cast<const qel::CComposite&>(node);
        if (qel::tree::children(composite).begin() != qel::tree::children(composite).end()) {
          return;
        }
        entry.kind = ListEntry::kComposite;
        break;
      }
      case qel::CBaseComponent::TYPE_BINARY: {
        unsigned int size = 0;
        const unsigned char* data = static_cast<const qel::CBinaryComponent&>(node).getData(size);
        entry.kind = ListEntry::kBinary;
        entry.value.assign(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
        break;
      }
      default:
        entry.kind = ListEntry::kText;
        entry.value = static_cast<const qel::CComponent&>(node).getValue();
        break;
    }
    entries.push_back(std::move(entry));
  });
  return entries;
}

std::string shownPath(const std::string& treePath) {
  std::string out;
  for (const char c : qel::tree::toUtf8(treePath)) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7f ? escapeText(std::string(1, c)) : std::string(1, c);
  }
  return out;
}

std::string listPath(const std::string& treePath) {
  // A path without a UTF-8 form is given as its bytes: every byte from 0x80
  // up escaped.
  qel::tree::TextLoss loss;
  const std::string utf8 = qel::tree::toUtf8(treePath, loss);
  const bool raw = loss.nCount != 0;
  std::string out;
  for (const char c : raw ? treePath : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '=' || c == ':' || (out.empty() && (c == '-' || c == '#'))) {
      out += '\\';
      out += c;
    } else if (raw && byte >= 0x80) {
      out += "\\x" + qel::toHex(&byte, 1);
    } else if (byte < 0x20 || byte == 0x7f) {
      out += escapeText(std::string(1, c));
    } else {
      out += c;
    }
  }
  return out;
}

std::string formatLine(const ListEntry& entry) {
  const std::string path = listPath(entry.path);
  switch (entry.kind) {
    case ListEntry::kBinary:
      return path + ":hex=" + hexOf(entry.value);
    case ListEntry::kComposite:
      return path + "/";
    case ListEntry::kRemove:
      return "-" + path;
    default:
      break;
  }
  qel::tree::TextLoss loss;
  const std::string utf8 = qel::tree::toUtf8(entry.value, loss);
  if (loss.nCount != 0) {
    return path + ":texthex=" + hexOf(entry.value);
  }
  return path + "=" + escapeText(utf8);
}

ListEntry parseLine(const std::string& line, const std::string& where) {
  ListEntry entry;
  std::size_t i = 0;
  if (!line.empty() && line[0] == '-') {
    entry.kind = ListEntry::kRemove;
    i = 1;
  }
  // The path, up to the first '=' or ':' that no '\' escapes.
  std::string path;
  bool slashLast = false;
  // Whether the path gives bytes from 0x80 up as "\xHH" (the path is then
  // the code page's bytes) or as UTF-8 characters.
  bool rawBytes = false;
  bool utf8Bytes = false;
  for (; i < line.size() && line[i] != '=' && line[i] != ':'; ++i) {
    slashLast = line[i] == '/';
    if (line[i] != '\\') {
      utf8Bytes = utf8Bytes || static_cast<unsigned char>(line[i]) >= 0x80;
      path += line[i];
      continue;
    }
    const char next = i + 1 < line.size() ? line[i + 1] : '\0';
    int byte = -1;
    if (next == '\\' || next == '/' || next == '[') {
      // The path's own escapes stay for qel::tree.
      path += line.substr(i, 2);
      ++i;
    } else if (next == '=' || next == ':' || next == '-' || next == '#') {
      path += next;
      ++i;
    } else if (controlEscape(next) != 0) {
      path += controlEscape(next);
      ++i;
    } else if (next == 'x' && (byte = escapedByte(line, i + 1)) >= 0) {
      const char c = static_cast<char>(byte);
      rawBytes = rawBytes || byte >= 0x80;
      path += c == '\\' || c == '/' || c == '[' ? std::string("\\") + c : std::string(1, c);
      i += 3;
    } else {
      throw Failure(where, "malformed escape in the path at column " + std::to_string(i + 1));
    }
  }
  std::string rest = line.substr(i);
  if (entry.kind == ListEntry::kRemove) {
    if (!rest.empty()) {
      throw Failure(where, "a removal is \"-PATH\" alone");
    }
  } else if (rest.empty()) {
    if (!slashLast) {
      throw Failure(where, "expected PATH=VALUE, PATH:hex=HEX, PATH/ or -PATH");
    }
    entry.kind = ListEntry::kComposite;
    path.pop_back();
  } else if (rest[0] == '=') {
    entry.value = archiveText(unescapeValue(rest.substr(1), i + 1, where), where, path);
  } else if (rest.compare(0, 5, ":hex=") == 0) {
    entry.kind = ListEntry::kBinary;
    entry.value = fromHexText(rest.substr(5), where);
  } else if (rest.compare(0, 9, ":texthex=") == 0) {
    entry.value = fromHexText(rest.substr(9), where);
  } else {
    throw Failure(where, "unknown value form \"" + rest.substr(0, rest.find('=')) +
                             "\" (a ':' in a name is written \"\\:\")");
  }
  if (path.empty()) {
    throw Failure(where, "empty path");
  }
  if (rawBytes && utf8Bytes) {
    throw Failure(where, "a path gives its bytes either all as \"\\xHH\" or as UTF-8");
  }
  entry.path = rawBytes ? path : archiveText(path, where, path);
  return entry;
}

Json entryToJson(const ListEntry& entry) {
  Json node = Json::object();
  qel::tree::TextLoss pathLoss;
  const std::string path = qel::tree::toUtf8(entry.path, pathLoss);
  if (pathLoss.nCount == 0) {
    node["path"] = path;
  } else {
    node["pathHex"] = hexOf(entry.path);
  }
  switch (entry.kind) {
    case ListEntry::kBinary:
      node["hex"] = hexOf(entry.value);
      break;
    case ListEntry::kComposite:
      node["composite"] = true;
      break;
    case ListEntry::kRemove:
      node["remove"] = true;
      break;
    default: {
      qel::tree::TextLoss loss;
      const std::string utf8 = qel::tree::toUtf8(entry.value, loss);
      if (loss.nCount == 0) {
        node["value"] = utf8;
      } else {
        node["textHex"] = hexOf(entry.value);
      }
      break;
    }
  }
  return node;
}

ListEntry entryFromJson(const Json& node, const std::string& where) {
  const bool hexPath = node.is_object() && node.contains("pathHex");
  const char* pathKey = hexPath ? "pathHex" : "path";
  if (!node.is_object() || !node.contains(pathKey) || !node[pathKey].is_string() ||
      node.size() != 2) {
    throw Failure(where,
                  "each entry must be an object with a \"path\" (or \"pathHex\") and one "
                  "of \"value\", \"textHex\", \"hex\", \"composite\" or \"remove\"");
  }
  ListEntry entry;
  const std::string path = node[pathKey].get<std::string>();
  if (path.empty()) {
    throw Failure(where, "empty path");
  }
  entry.path = hexPath ? fromHexText(path, where) : archiveText(path, where, path);
  auto text = [&node, &where](const char* key) {
    if (!node[key].is_string()) {
      throw Failure(where, std::string("\"") + key + "\" must be a string");
    }
    return node[key].get<std::string>();
  };
  auto flag = [&node, &where](const char* key) {
    if (node[key] != true) {
      throw Failure(where, std::string("\"") + key + "\" must be true");
    }
  };
  if (node.contains("value")) {
    entry.value = archiveText(text("value"), where, path);
  } else if (node.contains("textHex")) {
    entry.value = fromHexText(text("textHex"), where);
  } else if (node.contains("hex")) {
    entry.kind = ListEntry::kBinary;
    entry.value = fromHexText(text("hex"), where);
  } else if (node.contains("composite")) {
    flag("composite");
    entry.kind = ListEntry::kComposite;
  } else if (node.contains("remove")) {
    flag("remove");
    entry.kind = ListEntry::kRemove;
  } else {
    throw Failure(where,
                  "an entry needs one of \"value\", \"textHex\", \"hex\", \"composite\" "
                  "or \"remove\"");
  }
  return entry;
}

}  // namespace qeltool
