#ifndef QEL_TOOLS_QEL_TREEJSON_H_
#define QEL_TOOLS_QEL_TREEJSON_H_

#include <nlohmann/json.hpp>
#include <string>

#include "qel/archive/Component.h"

namespace qeltool {

using Json = nlohmann::ordered_json;

// The "format" member of every document export writes.
constexpr const char* kJsonFormat = "qel-tree";

// JSON nests no deeper than this; the JSON library recurses per level.
constexpr std::size_t kMaxJsonDepth = 1000;

// The JSON document in text.  Malformed JSON, and an object holding a key
// twice, end in a Failure naming where, saying what is wrong in words and,
// for malformed JSON, where (line and column).
Json parseJson(const std::string& text, const std::string& where);

// The tree as a JSON document: {"format", "version", "children": [...]}, each
// node {"type": "composite"|"text"|"binary", "name", ...}.  Names and values
// are UTF-8 when they convert back to the same ANSI bytes, otherwise they
// are given as base64 under "nameBase64" / "valueBase64".  where names the
// archive in error messages.
Json treeToJson(qel::CComposite& root, const std::string& where);

// Adds the nodes of an exported document to root; where names the input in
// error messages.  A document of another format, or of a version other
// than 1, is refused.
void jsonToTree(const Json& document, qel::CComposite& root, const std::string& where);

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_TREEJSON_H_
