#include "Inspect.h"

#include <list>
#include <ostream>
#include <sstream>
#include <utility>

#include "Common.h"
#include "FileProgress.h"
#include "TextForms.h"
#include "qel/archive/Tree.h"
#include "qel/core/BinaryText.h"

namespace qeltool {

namespace {

// One composite being walked: the next of its children to visit.
struct Level {
  qel::tree::ChildRange<qel::CBaseComponent>::iterator next;
};

// Visits every component below root depth first, in child order, without
// recursion (a damaged archive can nest as deep as it likes).
template <typename Visit>
void walkTree(qel::CComposite& root, Visit visit) {
  std::vector<Level> stack;
  stack.push_back(Level{qel::tree::children(root).begin()});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == qel::tree::ChildRange<qel::CBaseComponent>::iterator()) {
      stack.pop_back();
      continue;
    }
    qel::CBaseComponent& child = *level.next++;
    visit(child, stack.size() - 1);
    if (child.isComposite()) {
      stack.push_back(Level{qel::tree::children(static_cast<qel::CComposite&>(child)).begin()});
    }
  }
}

std::string describeField(int type, const std::string& value) {
  std::string text = fieldTypeName(type);
  text += ' ';
  if (type == qel::CArchive::FIELD_DATA) {
    text += "<" + std::to_string(value.size()) + " bytes>";
    if (!value.empty()) {
      text += " " + hexPreview(reinterpret_cast<const unsigned char*>(value.data()), value.size());
    }
  } else if (type == qel::CArchive::FIELD_STRING) {
    text += "\"" + escapeText(qel::tree::toUtf8(value)) + "\"";
  } else {
    text += escapeText(value);
  }
  return text;
}

}  // namespace

const char* codeWords(qel::CArchive::RetError code) {
  switch (code) {
    case qel::CArchive::RET_OK:
      return "no error";
    case qel::CArchive::RET_WRONG_TYPE:
      return "a field does not hold the type its record needs";
    case qel::CArchive::RET_END_OF_LINE:
      return "the record ends before its fields do";
    case qel::CArchive::RET_BAD_FORMAT:
      return "the record's length, field count or a separator is damaged";
    case qel::CArchive::RET_END_OF_DATA:
      return "the file ends inside the record";
  }
  return "the record cannot be read";
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

namespace {

// The tree, then every record strictly, each through its own open of path.
void loadTreeOnce(const std::string& path, qel::CComposite& root) {
  if (fileSize(path) == 0) {
    throw Failure(path, "empty file, not a settings archive");
  }
  const qel::CTreeFile::LoadReport report = qel::CTreeFile::load(toFile(path), root);
  if (!report.bFound) {
    throw Failure(path, "cannot be opened as an archive");
  }
  if (report.eCode != qel::CArchive::RET_OK) {
    std::ostringstream text;
    text << "not a valid component tree: " << report.message();
    throw Failure(path, text.str());
  }
  // The tree must end with the file: more records after it are not loaded.
  const std::uint32_t total = walkRecords(path, nullptr);
  if (total != report.nRecord) {
    std::ostringstream text;
    text << "not a valid component tree: " << (total - report.nRecord)
         << " more records after the end of the tree at record " << report.nRecord
         << ", byte offset " << report.nOffset;
    throw Failure(path, text.str());
  }
}

}  // namespace

void loadTreeWithProgress(const std::string& path, qel::CComposite& root) {
  const FileProgress progress(path, 2 * fileSize(path));
  loadTree(path, root);
}

void loadTree(const std::string& path, qel::CComposite& root) {
  requireReadableFile(path);
  // The two reads must see the same file: a writer that replaced it in
  // between makes them disagree, and the load is taken again.
  constexpr int kAttempts = 5;
  for (int attempt = 1;; ++attempt) {
    const auto before = fileStamp(path);
    try {
      loadTreeOnce(path, root);
      if (fileStamp(path) == before || attempt == kAttempts) {
        return;
      }
    } catch (const Failure&) {
      if (fileStamp(path) == before || attempt == kAttempts) {
        throw;
      }
    }
    root.clear();
  }
}

std::uint32_t walkRecords(const std::string& path, std::ostream* out) {
  return walkRecords(path, out, nullptr);
}

std::uint32_t walkRecords(const std::string& path, std::ostream* out,
                          const std::function<void(const RecordEntry&)>& each) {
  requireReadableFile(path);
  const std::uint64_t size = fileSize(path);
  qel::CFile file = toFile(path);
  qel::CArchive ar(file, qel::CArchive::LOAD);
  if (!ar.isLoaded()) {
    throw Failure(path, "cannot be opened as an archive");
  }
  auto malformed = [&path, &ar, out](qel::CArchive::RetError code, const std::string& detail) {
    if (out != nullptr) {
      out->flush();
    }
    std::ostringstream text;
    text << "malformed record " << ar.getRecordNumber() << " at byte offset "
         << ar.getRecordOffset() << ": " << codeWords(code);
    if (!detail.empty()) {
      text << " (" << detail << ")";
    }
    return Failure(path, text.str());
  };
  std::uint32_t records = 0;
  std::vector<std::string> fields;
  RecordEntry entry;
  for (;;) {
    qel::CArchive::RetError code = qel::CArchive::RET_OK;
    ar.readStartLine(code);
    if (code == qel::CArchive::RET_END_OF_DATA && ar.getRecordOffset() == size) {
      break;
    }
    if (code != qel::CArchive::RET_OK) {
      throw malformed(code, "");
    }
    ++records;
    fields.clear();
    entry.fields.clear();
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
      int type = 0;
      if (code == qel::CArchive::RET_OK) {
        // The type digit read as the byte "0T"; not a digit names no field
        // type either.
        std::string digit;
        type = qel::fromHex("0" + typeText, digit) ? static_cast<unsigned char>(digit[0]) : -1;
        if (fieldTypeName(type) == nullptr) {
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
        throw malformed(code, "field " + std::to_string(index));
      }
      if (out != nullptr) {
        fields.push_back(describeField(type, value));
      }
      if (each) {
        entry.fields.emplace_back(type, std::move(value));
      }
    }
    if (!closed) {
      throw malformed(qel::CArchive::RET_END_OF_LINE, "no closing separator");
    }
    if (each) {
      entry.number = records;
      entry.offset = ar.getRecordOffset();
      entry.length = ar.getRecordLength();
      entry.declaredFields = ar.getFieldCount();
      each(entry);
    }
    if (out == nullptr) {
      continue;
    }
    *out << "record " << records << " offset " << ar.getRecordOffset() << " length "
         << ar.getRecordLength() << " fields " << ar.getFieldCount();
    if (static_cast<std::size_t>(ar.getFieldCount()) != fields.size()) {
      *out << " (" << fields.size() << " present)";
    }
    *out << "\n";
    for (std::size_t i = 0; i < fields.size(); ++i) {
      *out << "  field " << (i + 1) << ": " << fields[i] << "\n";
    }
  }
  return records;
}

void printOutline(qel::CComposite& root, std::ostream& out) {
  const std::string deepest(kMaxIndentLevels * 2, ' ');
  std::string indent;
  walkTree(root, [&](qel::CBaseComponent& child, std::size_t depth) {
    if (!out) {
      return;
    }
    if (depth <= kMaxIndentLevels) {
      indent.assign(deepest, 0, depth * 2);
    } else {
      indent = deepest + "(depth " + std::to_string(depth) + ") ";
    }
    const std::string name = escapeText(qel::tree::toUtf8(child.getName()));
    switch (child.getType()) {
      case qel::CBaseComponent::TYPE_COMPOSITE:
        out << indent << "[" << name << "]\n";
        break;
      case qel::CBaseComponent::TYPE_BINARY: {
        unsigned int size = 0;
        const unsigned char* data = static_cast<qel::CBinaryComponent&>(child).getData(size);
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
            << escapeText(qel::tree::toUtf8(static_cast<qel::CComponent&>(child).getValue()))
            << "\n";
        break;
    }
  });
}

namespace {

std::string describeByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7f) {
    return std::string("'") + c + "'";
  }
  return "byte 0x" + qel::toHex(&byte, 1);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// The value of count hexadecimal digits at bytes[at], or -1 with *bad (when
// given) the offset of the first byte that is none.
long hexNumber(const std::string& bytes, std::size_t at, std::size_t count,
               std::size_t* bad = nullptr) {
  long value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int digit = hexValue(bytes[at + i]);
    if (digit < 0) {
      if (bad != nullptr) {
        *bad = at + i;
      }
      return -1;
    }
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

std::uint64_t recordEnd(const std::string& bytes, std::uint64_t offset) {
  if (offset + 4 > bytes.size()) {
    return offset;
  }
  const long length = hexNumber(bytes, static_cast<std::size_t>(offset), 4);
  return length < 0 ? offset : offset + 4 + static_cast<std::uint64_t>(length) + 1;
}

std::string framingDeviation(const std::string& bytes) {
  std::size_t start = 0;
  for (std::uint32_t record = 1; start < bytes.size(); ++record) {
    auto deviation = [&](const std::string& what, std::size_t at) {
      std::ostringstream text;
      text << "record " << record << " at byte offset " << start << ": " << what
           << ", at byte offset " << at;
      return text.str();
    };
    if (bytes.size() - start < 4) {
      return deviation("the file ends inside the record's length", bytes.size());
    }
    std::size_t bad = 0;
    const long length = hexNumber(bytes, start, 4, &bad);
    if (length < 0) {
      return deviation("the length is not four hexadecimal digits", bad);
    }
    const std::size_t line = start + 4;
    const std::size_t end = line + static_cast<std::size_t>(length);
    if (end >= bytes.size()) {
      return deviation("the file ends inside the record", bytes.size());
    }
    if (bytes[end] != '\n') {
      return deviation("the record's " + std::to_string(length) + " bytes are followed by " +
                           describeByte(bytes[end]) + ", not a line feed",
                       end);
    }
    bad = line;
    const long declared = length >= 2 ? hexNumber(bytes, line, 2, &bad) : -1;
    if (declared < 0) {
      return deviation("the field count is not two hexadecimal digits", bad);
    }
    long present = 0;
    std::size_t at = line + 2;
    for (;;) {
      if (at >= end) {
        return deviation("no closing separator", end);
      }
      if (bytes[at] == '0' && at + 1 == end) {
        break;
      }
      if (at + 1 == end) {
        return deviation("the closing separator is " + describeByte(bytes[at]) + ", not '0'", at);
      }
      const std::string field = "field " + std::to_string(present + 1);
      const int type = hexValue(bytes[at]);
      if (type < 0 || fieldTypeName(type) == nullptr) {
        return deviation(field + ": " + describeByte(bytes[at]) + " is not a field type", at);
      }
      if (end - at < 5) {
        return deviation(field + ": the record ends inside the field", end);
      }
      const long valueLength = hexNumber(bytes, at + 1, 3, &bad);
      if (valueLength < 0) {
        return deviation(field + ": the length is not three hexadecimal digits", bad);
      }
      const std::size_t separator = at + 4 + static_cast<std::size_t>(valueLength);
      if (separator >= end) {
        return deviation(field + ": the value runs past the record", end);
      }
      if (bytes[separator] != '0') {
        return deviation(
            field + ": the separator is " + describeByte(bytes[separator]) + ", not '0'",
            separator);
      }
      ++present;
      at = separator + 1;
    }
    if (present != declared) {
      return deviation(
          "declares " + std::to_string(declared) + " fields but holds " + std::to_string(present),
          line);
    }
    start = end + 1;
  }
  return std::string();
}

std::size_t countComponents(qel::CComposite& root) {
  std::size_t count = 0;
  walkTree(root, [&count](qel::CBaseComponent&, std::size_t) { ++count; });
  return count;
}

}  // namespace qeltool
