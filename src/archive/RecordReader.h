#ifndef QEL_SRC_ARCHIVE_RECORDREADER_H_
#define QEL_SRC_ARCHIVE_RECORDREADER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "archive/RecordFormat.h"
#include "qel/archive/Archive.h"
#include "qel/core/Buffer.h"
#include "qel/io/FileSystem.h"

namespace qel {

// Reads a file record by record, each record in place in the input it was
// read into, and the same file as raw bytes.
class RecordReader {
 public:
  using FieldType = CArchive::FieldType;
  using RetError = CArchive::RetError;

  // Starts reading file with its first block.
  void open(CFileDescriptor* file);
  // Stops reading and frees the input.
  void close();
  bool canRead() const { return _pFile != nullptr; }

  void checkLengthAndLoadNext(int need, RetError& code);
  void startRecord(RetError& code);
  std::string read(int count, RetError& code);
  void readCheckSeparator(RetError& code);
  void readType(FieldType expected, RetError& code);
  void readFieldLen(int& length, RetError& code);
  // Type, value length and value text of the next field, in place.
  bool readValueText(FieldType type, const char*& text, int& length, RetError& code);

  void readBoolean(bool& value, RetError& code);
  // A FIELD_SHORT, FIELD_USHORT, FIELD_INTEGER or FIELD_LONG as the 32-bit
  // reading of its decimal text.
  bool readLong(FieldType type, std::int32_t& value, RetError& code);
  void readULong(std::uint32_t& value, RetError& code);
  void readULongLong(unsigned long long& value, RetError& code);
  void readString(std::string& value, RetError& code);
  void readDate(CDateTime& value, RetError& code);
  void readData(unsigned char** data, unsigned int& size, RetError& code);

  // The value of the next field when it has the plain layout (its type
  // digit, three hexadecimal digits of length, the value inside the record,
  // the separator 0), without reading it.
  bool peekPlainField(FieldType type, const char*& value, std::size_t& length) const;
  // Steps over (or back over) a plain field of that value length.
  void skipField(std::size_t length);
  void unskipField(std::size_t length);

  unsigned int readRaw(unsigned char* bytes, unsigned int count);

  std::size_t inputCapacity() const { return _nInputCapacity; }
  std::uint32_t recordNumber() const { return _nRecordNumber; }
  std::uint64_t recordOffset() const { return _nRecordOffset; }
  std::int32_t recordLength() const { return _nLineLen; }
  std::int32_t fieldCount() const { return _nFieldCount; }

 private:
  std::uint32_t available() const { return _nInputSize - _nInputPos; }
  void reserveInput(std::uint32_t size);
  const char* lineData() const { return _pInput.get() + _nLineStart; }
  bool loadBlock();
  // startRecord of a record that is not whole in the input, or whose
  // length field is not four hexadecimal digits.
  void startSplitRecord(RetError& code);
  // The field count of the current record, of count characters, when its
  // first two are not both hexadecimal digits.
  std::int32_t fieldCountOf(std::uint32_t count) const;
  // The next count characters of the record, in place; RET_END_OF_LINE when
  // the record has fewer left.
  bool take(int count, const char*& text, RetError& code);

  CFileDescriptor* _pFile = nullptr;
  // What has been read from the file, _nInputSize characters in an array
  // of _nInputCapacity, not yet consumed from _nInputPos on.  Consumed
  // characters are dropped before the next block is read (all but the
  // current record), so this holds at most one record plus one block.
  std::unique_ptr<char[]> _pInput;
  std::uint32_t _nInputCapacity = 0;
  std::uint32_t _nInputSize = 0;
  std::uint32_t _nInputPos = 0;
  std::uint64_t _nInputOffset = 0;  // file offset of _pInput[0]
  // The current record, _nLineSize characters from _nLineStart.
  std::uint32_t _nLineStart = 0;
  std::uint32_t _nLineSize = 0;
  std::int32_t _nLinePos = 0;
  std::int32_t _nLineLen = 0;
  std::int32_t _nFieldCount = 0;
  std::uint32_t _nRecordNumber = 0;
  std::uint64_t _nRecordOffset = 0;
  // The raw reader's block, apart from the records.
  Buffer<unsigned char, 4096> _raw;
  std::uint32_t _nRawPos = 0;
};

// Inline, as the ones below: a loaded tree starts a record per node, a
// million times in a large tree.
inline void RecordReader::startRecord(RetError& code) {
  code = CArchive::RET_OK;
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
    return;
  }
  _nLineStart = _nInputPos;
  _nLineSize = 0;
  _nLinePos = 0;
  ++_nRecordNumber;
  _nRecordOffset = _nInputOffset + _nInputPos;
  // The usual record: four hexadecimal digits of length, and the record
  // with its line feed already in the input.
  if (available() > 4) {
    const char* head = _pInput.get() + _nInputPos;
    const std::int32_t length = record::hex4(head);
    if (length >= 0 && available() - 4 > static_cast<std::uint32_t>(length)) {
      const auto count = static_cast<std::uint32_t>(length);
      _nInputPos += 4;
      _nLineLen = length;
      if (_pInput[_nInputPos + count] != '\n') {
        code = CArchive::RET_BAD_FORMAT;
        return;
      }
      _nLineStart = _nInputPos;
      _nLineSize = count;
      _nInputPos += count + 1;
      const int fields = count >= 2 ? record::hex2(lineData()) : -1;
      _nFieldCount = fields >= 0 ? fields : fieldCountOf(count);
      _nLinePos = 2;
      return;
    }
  }
  startSplitRecord(code);
}

// A loaded leaf reads its two fields through these.
inline bool RecordReader::peekPlainField(FieldType type, const char*& value,
                                         std::size_t& length) const {
  if (!canRead() || _nFieldCount <= 0 || _nLinePos < 0) {
    return false;
  }
  const auto at = static_cast<std::size_t>(_nLinePos);
  if (at + 5 > _nLineSize) {
    return false;
  }
  const char* p = lineData() + at;
  const int high = record::hexDigit(p[1]);
  const int low = record::hex2(p + 2);
  if (record::hexDigit(p[0]) != type || high >= 16 || low < 0) {
    return false;
  }
  length = static_cast<std::size_t>(high) * 256 + static_cast<std::size_t>(low);
  if (at + 5 + length > _nLineSize || p[4 + length] != '0') {
    return false;
  }
  value = p + 4;
  return true;
}

inline void RecordReader::skipField(std::size_t length) {
  _nLinePos += static_cast<std::int32_t>(length + 5);
  --_nFieldCount;
}

inline void RecordReader::unskipField(std::size_t length) {
  _nLinePos -= static_cast<std::int32_t>(length + 5);
  ++_nFieldCount;
}

}  // namespace qel

#endif  // QEL_SRC_ARCHIVE_RECORDREADER_H_
