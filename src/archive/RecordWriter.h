#ifndef QEL_SRC_ARCHIVE_RECORDWRITER_H_
#define QEL_SRC_ARCHIVE_RECORDWRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/RecordFormat.h"
#include "qel/archive/Archive.h"
#include "qel/io/FileSystem.h"

namespace qel {

// Composes records field by field and hands them to the file in blocks of
// kBlockSize bytes.
class RecordWriter {
 public:
  using FieldType = CArchive::FieldType;

  // Where full blocks go; null while the archive writes nowhere (loading,
  // or not open).
  void setTarget(CFileDescriptor* file) { _pFile = file; }
  void markClosed() {
    _bClosed = true;
    _pFile = nullptr;
  }
  void setStrict(bool strict) { _bStrict = strict; }
  bool isStrict() const { return _bStrict; }
  bool hasFailed() const { return _bFailed; }
  std::int32_t fieldCount() const { return _nFieldCount; }
  // No record is open and the blocks have somewhere to go.
  bool isIdle() const { return _pFile != nullptr && _nFieldCount == 0 && _sLine.empty(); }

  // The fields of the open record; the limits throw IOException and drop it.
  void writeField(FieldType type, const char* value, std::size_t length);
  void writeNumber(long long value, FieldType type);
  void writeText(const char* text, std::size_t length);
  void writeData(const unsigned char* data, unsigned int size);
  // The building blocks: text filled with '0' on the left to width, a type
  // digit that counts a field, a 3-digit value length.
  void writePadded(const char* text, int width);
  void writeType(FieldType type);
  void writeFieldLen(int length);
  // Closes the open record and appends it to the block.
  void endRecord();
  void dropRecord();

  // Bytes behind the records, flushing full blocks to the target.
  void append(const unsigned char* bytes, unsigned int count);
  // Room for count bytes (at most a block) at the end of the block, which
  // is flushed first when it has less; the bytes count once used() says so.
  unsigned char* room(std::uint32_t count) {
    if (record::kBlockSize - _nBlock < count) {
      flushTarget();
    }
    return _aBlock + _nBlock;
  }
  void used(std::uint32_t count) { _nBlock += count; }
  bool hasPending() const { return _nBlock != 0; }
  // Writes the block to file; a write that takes nothing, or fails, marks
  // the writer failed and throws.
  void flush(CFileDescriptor* file);
  void discardPending() { _nBlock = 0; }

 private:
  // Flushes the block to the target; throws when there is none.
  void flushTarget();
  void beginField(FieldType type, std::size_t valueLength);
  void countField();

  CFileDescriptor* _pFile = nullptr;
  bool _bClosed = false;
  bool _bStrict = false;
  bool _bFailed = false;
  std::int32_t _nFieldCount = 0;
  // The open record, from its field count on.
  std::string _sLine;
  unsigned char _aBlock[record::kBlockSize];
  std::uint32_t _nBlock = 0;
};

}  // namespace qel

#endif  // QEL_SRC_ARCHIVE_RECORDWRITER_H_
