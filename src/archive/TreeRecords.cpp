#include "archive/TreeRecords.h"

#include <charconv>
#include <cstring>

#include "archive/ArchiveState.h"
#include "archive/RecordFormat.h"

namespace qel {

bool TreeRecords::writeRecord(CArchive& ar, short kind, int fields, const char* name,
                              std::size_t nameLength, FieldType valueType, const char* value,
                              std::size_t valueLength, CArchive::RetError& code) {
  code = CArchive::RET_OK;
  RecordWriter& writer = ar._pState->writer;
  if (!writer.isIdle()) {
    return false;
  }
  const auto limit = static_cast<std::size_t>(CArchive::MAX_VALUE_LENGTH);
  if (fields >= 2 &&
      (nameLength > limit || (nameLength != 0 && std::memchr(name, '\n', nameLength) != nullptr))) {
    return false;
  }
  if (fields >= 3 && (valueLength > limit || (value == nullptr && valueLength != 0) ||
                      (valueType == CArchive::FIELD_STRING && valueLength != 0 &&
                       std::memchr(value, '\n', valueLength) != nullptr))) {
    return false;
  }
  // Length and count, three fields of at most 4 + 4095 + 1 characters, the
  // closing separator and the line feed.
  char record[6 + 3 * (5 + CArchive::MAX_VALUE_LENGTH) + 2];
  char* p = record + 6;
  auto field = [&p](FieldType type, const char* text, std::size_t length) {
    record::formatFieldHead(p, type, length);
    if (length != 0) {
      std::memcpy(p + 4, text, length);
    }
    p[4 + length] = '0';
    p += length + 5;
  };
  char kindText[8];
  const auto kindEnd = std::to_chars(kindText, kindText + sizeof(kindText), kind).ptr;
  field(CArchive::FIELD_SHORT, kindText, static_cast<std::size_t>(kindEnd - kindText));
  if (fields >= 2) {
    field(CArchive::FIELD_STRING, name, nameLength);
  }
  if (fields >= 3) {
    field(valueType, value, valueLength);
  }
  *p++ = '0';
  // The length counts the field count, the fields and the closing separator.
  const auto length = static_cast<std::uint32_t>(p - (record + 6) + 2);
  record::formatHex(record, length, 4);
  record::formatHex(record + 4, static_cast<std::uint32_t>(fields < 1 ? 1 : fields), 2);
  *p++ = '\n';
  writer.append(reinterpret_cast<const unsigned char*>(record),
                static_cast<unsigned int>(p - record));
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

void TreeRecords::startRecord(CArchive& ar, CArchive::RetError& code) {
  ar._pState->reader.startRecord(code);
}

bool TreeRecords::readShort(CArchive& ar, short& value) {
  RecordReader& reader = ar._pState->reader;
  const char* text = nullptr;
  std::size_t length = 0;
  if (!reader.peekPlainField(CArchive::FIELD_SHORT, text, length) || length == 0 || length > 7) {
    return false;
  }
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const int d = record::hexDigit(text[i]);
    if (d >= 10) {
      return false;
    }
    number = number * 10 + static_cast<std::uint32_t>(d);
  }
  value = static_cast<short>(static_cast<std::uint16_t>(number));
  reader.skipField(length);
  return true;
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

bool TreeRecords::readPair(CArchive& ar, FieldType valueType, const char*& name,
                           std::size_t& nameLength, const char*& value, std::size_t& valueLength) {
  RecordReader& reader = ar._pState->reader;
  if (!reader.peekPlainField(CArchive::FIELD_STRING, name, nameLength)) {
    return false;
  }
  reader.skipField(nameLength);
  if (!reader.peekPlainField(valueType, value, valueLength)) {
    reader.unskipField(nameLength);
    return false;
  }
  reader.skipField(valueLength);
  return true;
}

}  // namespace qel
