#ifndef QEL_SRC_ARCHIVE_TREERECORDS_H_
#define QEL_SRC_ARCHIVE_TREERECORDS_H_

#include <cstddef>
#include <string>

#include "archive/ArchiveState.h"
#include "archive/RecordFormat.h"
#include "qel/archive/Archive.h"

namespace qel {

// The records of a component tree, written and read in place: a component
// writes its name and value without copying them, and a loaded leaf is
// made straight from its record.  Each one produces or consumes exactly the
// bytes the field-by-field calls of CArchive would.
class TreeRecords {
 public:
  using FieldType = CArchive::FieldType;

  // A whole record of a component at once: the kind as a FIELD_SHORT, then
  // when fields is 2 or 3 the name as a FIELD_STRING, when fields is 3 the
  // value as a field of valueType, and the record's end.  Returns false,
  // having written nothing, when a record is open or a text would need more
  // than the plain path (a line feed to remove, a value too long); the
  // caller then writes field by field.
  static bool writeRecord(CArchive& ar, short kind, int fields, const char* name,
                          std::size_t nameLength, FieldType valueType, const char* value,
                          std::size_t valueLength, CArchive::RetError& code);
  // writeString of the length bytes at text.
  static void writeText(CArchive& ar, const char* text, std::size_t length,
                        CArchive::RetError& code);
  // Whether a write to the file failed (rather than the archive refusing a
  // value).
  static bool writeFailed(const CArchive& ar);

  // readStartLine, straight to the reader.
  static void startRecord(CArchive& ar, CArchive::RetError& code);
  // When the next field of the current record has the plain layout and,
  // for a short, a value of decimal digits only, these read it as the field
  // reader would and return true.  Otherwise they return false having read
  // nothing, and the caller uses the field reader, which reports what is
  // wrong.  They leave the code alone: the field reader would set RET_OK.
  static bool readShort(CArchive& ar, short& value);
  static bool readString(CArchive& ar, std::string& value);
  static bool readData(CArchive& ar, unsigned char*& data, unsigned int& size);
  // The name and the value of a leaf record at once, in place: true, having
  // read both, when the next field is a plain FIELD_STRING and the one after
  // it a plain field of valueType; otherwise false, having read nothing.
  static bool readPair(CArchive& ar, FieldType valueType, const char*& name,
                       std::size_t& nameLength, const char*& value, std::size_t& valueLength);
};

// Inline, as the loaded tree reads every record through them.
inline void TreeRecords::startRecord(CArchive& ar, CArchive::RetError& code) {
  ar._pState->reader.startRecord(code);
}

inline bool TreeRecords::readShort(CArchive& ar, short& value) {
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

inline bool TreeRecords::readPair(CArchive& ar, FieldType valueType, const char*& name,
                                  std::size_t& nameLength, const char*& value,
                                  std::size_t& valueLength) {
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

#endif  // QEL_SRC_ARCHIVE_TREERECORDS_H_
