#include "Inspect.h"

#include <list>
#include <ostream>
#include <sstream>
#include <utility>

#include "Common.h"
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
    text << "not a valid component tree: " << codeName(report.eCode) << " at record "
         << report.nRecord << ", byte offset " << report.nOffset;
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
         << ar.getRecordOffset() << ": " << codeName(code);
    if (!detail.empty()) {
      text << " (" << detail << ")";
    }
    return Failure(path, text.str());
  };
  std::uint32_t records = 0;
  std::vector<std::string> fields;
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
    }
    if (!closed) {
      throw malformed(qel::CArchive::RET_END_OF_LINE, "no closing separator");
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
  walkTree(root, [&out](qel::CBaseComponent& child, std::size_t depth) {
    const std::string indent(depth * 2, ' ');
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

std::size_t countComponents(qel::CComposite& root) {
  std::size_t count = 0;
  walkTree(root, [&count](qel::CBaseComponent&, std::size_t) { ++count; });
  return count;
}

}  // namespace qeltool
