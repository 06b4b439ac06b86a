#include "archive/TreeRecords.h"

#include <charconv>
#include <cstring>

#include "archive/ArchiveState.h"
#include "archive/RecordFormat.h"

namespace qel {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

// Whether one of the eight bytes of word is a line feed.
inline bool holdsLineFeed(std::uint64_t word) {
  const std::uint64_t x = word ^ (kOnes * '\n');
  return ((x - kOnes) & ~x & (kOnes * 0x80)) != 0;
}

// Copies length bytes of text to out and tells whether they hold no line
// feed, in one pass, eight bytes at a time (the last eight overlapping the
// ones before).
inline bool copyWithoutLineFeed(char* out, const char* text, std::size_t length) {
  if (length < 8) {
    bool lineFeed = false;
    for (std::size_t i = 0; i < length; ++i) {
      out[i] = text[i];
      lineFeed |= text[i] == '\n';
    }
    return !lineFeed;
  }
  bool lineFeed = false;
  std::uint64_t word;
  for (std::size_t i = 0; i + 8 < length; i += 8) {
    std::memcpy(&word, text + i, 8);
    std::memcpy(out + i, &word, 8);
    lineFeed |= holdsLineFeed(word);
  }
  std::memcpy(&word, text + length - 8, 8);
  std::memcpy(out + length - 8, &word, 8);
  return !(lineFeed | holdsLineFeed(word));
}

}  // namespace

bool TreeRecords::writeRecord(CArchive& ar, short kind, int fields, const char* name,
                              std::size_t nameLength, FieldType valueType, const char* value,
                              std::size_t valueLength, CArchive::RetError& code) {
  code = CArchive::RET_OK;
  RecordWriter& writer = ar._pState->writer;
  if (!writer.isIdle()) {
    return false;
  }
  const auto limit = static_cast<std::size_t>(CArchive::MAX_VALUE_LENGTH);
  if ((fields >= 2 && nameLength > limit) ||
      (fields >= 3 && (valueLength > limit || (value == nullptr && valueLength != 0)))) {
    return false;
  }
  // Length and count, three fields of at most 4 + 4095 + 1 characters, the
  // closing separator and the line feed.
  constexpr std::size_t kMost = 6 + 3 * (5 + CArchive::MAX_VALUE_LENGTH) + 2;
  char spare[kMost];
  const std::size_t most =
      6 + 5 + 6 + (fields >= 2 ? 5 + nameLength : 0) + (fields >= 3 ? 5 + valueLength : 0) + 2;
  // Written where the block ends when it fits in a block, else composed
  // aside and appended; a line feed in a name or a text value leaves the
  // record to the field-by-field writer, which refuses or frames it.
  char* const record = most <= record::kBlockSize
                           ? reinterpret_cast<char*>(writer.room(static_cast<std::uint32_t>(most)))
                           : spare;
  char* p = record + 6;
  auto field = [&p](FieldType type, const char* text, std::size_t length, bool checked) {
    record::formatFieldHead(p, type, length);
    bool clean = true;
    if (length != 0) {
      if (checked) {
        clean = copyWithoutLineFeed(p + 4, text, length);
      } else {
        std::memcpy(p + 4, text, length);
      }
    }
    p[4 + length] = '0';
    p += length + 5;
    return clean;
  };
  char kindText[8];
  const auto kindEnd = std::to_chars(kindText, kindText + sizeof(kindText), kind).ptr;
  field(CArchive::FIELD_SHORT, kindText, static_cast<std::size_t>(kindEnd - kindText), false);
  if (fields >= 2 && !field(CArchive::FIELD_STRING, name, nameLength, true)) {
    return false;
  }
  if (fields >= 3 && !field(valueType, value, valueLength, valueType == CArchive::FIELD_STRING)) {
    return false;
  }
  *p++ = '0';
  // The length counts the field count, the fields and the closing separator.
  const auto length = static_cast<std::uint32_t>(p - (record + 6) + 2);
  record::formatHex(record, length, 4);
  record::formatHex(record + 4, static_cast<std::uint32_t>(fields < 1 ? 1 : fields), 2);
  *p++ = '\n';
  const auto size = static_cast<std::uint32_t>(p - record);
  if (record == spare) {
    writer.append(reinterpret_cast<const unsigned char*>(record), size);
  } else {
    writer.used(size);
  }
  return true;
}

void TreeRecords::writeText(CArchive& ar, const char* text, std::size_t length,
                            CArchive::RetError& code) {
  code = CArchive::RET_OK;
  ar._pState->writer.writeText(text, length);
}

bool TreeRecords::writeFailed(const CArchive& ar) {
  return ar._pState->writer.hasFailed();
}

bool TreeRecords::readString(CArchive& ar, std::string& value) {
  RecordReader& reader = ar._pState->reader;
  const char* text = nullptr;
  std::size_t length = 0;
  if (!reader.peekPlainField(CArchive::FIELD_STRING, text, length)) {
    return false;
  }
  value.assign(text, length);
  reader.skipField(length);
  return true;
}

bool TreeRecords::readData(CArchive& ar, unsigned char*& data, unsigned int& size) {
  RecordReader& reader = ar._pState->reader;
  const char* text = nullptr;
  std::size_t length = 0;
  if (!reader.peekPlainField(CArchive::FIELD_DATA, text, length)) {
    return false;
  }
  size = 0;
  if (length != 0) {
    data = new unsigned char[length];
    std::memcpy(data, text, length);
    size = static_cast<unsigned int>(length);
  }
  reader.skipField(length);
  return true;
}

}  // namespace qel
