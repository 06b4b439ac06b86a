#ifndef QEL_ARCHIVE_ARCHIVE_H_
#define QEL_ARCHIVE_ARCHIVE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "qel/core/Export.h"
#include "qel/datetime/DateTime.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"

namespace qel {

// Typed values stored as text records in a file, one record per line.
//
// A record is: a 4-digit hexadecimal length (counting everything up to, but
// not including, the line feed), a 2-digit hexadecimal field count, the
// fields, a closing '0' and a line feed.  A field is one hexadecimal type
// digit, a 3-digit hexadecimal value length, the value and a '0' separator.
// All framing is upper-case hexadecimal filled with '0' on the left.
//
// An archive is bound to one file and works in one direction: STORE creates
// the file and writes records, LOAD reads an existing file record by record.
// Every field operation reports through a RetError reference.
class QEL_API CArchive {
 public:
  enum Mode : int { LOAD = 1, STORE = 2 };

  enum FieldType : int {
    FIELD_BOOLEAN = 1,
    FIELD_SHORT = 2,
    FIELD_USHORT = 3,
    FIELD_INTEGER = 4,
    FIELD_LONG = 5,
    FIELD_ULONG = 6,
    FIELD_STRING = 7,
    FIELD_DATE = 8,
    FIELD_DATA = 9,
    FIELD_ULONGLONG = 10
  };

  enum RetError : int {
    RET_OK = 1,
    RET_WRONG_TYPE = 2,
    RET_END_OF_LINE = 3,
    RET_BAD_FORMAT = 4,
    RET_END_OF_DATA = 5
  };

  // Limits of the fixed-width framing.
  static constexpr int MAX_VALUE_LENGTH = 0xFFF;
  static constexpr int MAX_FIELD_COUNT = 0xFF;
  static constexpr int MAX_RECORD_LENGTH = 0xFFFF;
  static constexpr std::uint32_t BLOCK_SIZE = 4096;

  // Opens file for mode.  Throws IOException "File name is empty" for an
  // empty path and "<path> is a directory" for a directory; creates a
  // missing parent directory; the file system's exceptions pass through.
  // LOAD on a missing file builds an archive without a file (isLoaded false).
  CArchive(CFile& file, Mode mode);
  // STORE into a replacement of a file: close() writes the last block to
  // it but leaves it open, for the caller to commit (or discard).  The
  // replacement must outlive the archive's writing.
  explicit CArchive(CFileReplacement& target);
  // Calls close() unless the caller did; a failure that cannot be thrown
  // from here is logged as an error notice.
  virtual ~CArchive();

  CArchive(const CArchive&) = delete;
  CArchive& operator=(const CArchive&) = delete;

  bool isLoading() const;
  bool isStoring() const;
  bool isLoaded() const;

  // Store: writes the bytes still waiting in the block buffer; then, in both
  // modes, closes the file.  A stored file is on the disk when close
  // returns (its blocks are written through together, at the close).  The file is released even
  // when writing fails; the failure is the file system's exception.  An open record that
  // writeEndLine never closed is dropped.  Calling it again does nothing.
  void close();
  bool isClosed() const;

  // A strict archive stores exactly what it is given or throws: a text
  // holding a line feed throws IOException instead of losing the line feed.
  void setStrict(bool strict);
  bool isStrict() const;

  // ---- writing -------------------------------------------------------
  // Each writer sets code to RET_OK and appends one field to the open
  // record.  A value longer than MAX_VALUE_LENGTH bytes, or a field beyond
  // MAX_FIELD_COUNT, throws IOException and drops the open record.
  void writeBoolean(bool value, RetError& code);
  void writeShort(short value, RetError& code);
  void writeUShort(unsigned short value, RetError& code);
  void writeInteger(int value, RetError& code);
  void writeLong(std::int32_t value, RetError& code);
  void writeULong(std::uint32_t value, RetError& code);
  void writeULongLong(unsigned long long value, RetError& code);
  // Line feeds are removed from the value, or refused in a strict archive.
  void writeString(std::string value, RetError& code);
  // The date's compact text with milliseconds; empty for an invalid date.
  void writeDate(CDateTime value, RetError& code);
  // The bytes as they are, line feeds included.
  void writeData(unsigned char* data, unsigned int size, RetError& code);

  // Closes the open record and hands it to the block buffer, which reaches
  // the file in blocks of BLOCK_SIZE bytes.  A block that the file system
  // takes only in part is continued with further writes; a write that takes
  // nothing throws IOException, a failed one the file system's exception.
  // A record longer than MAX_RECORD_LENGTH throws IOException and is
  // dropped whole; so does a record written after close().
  void writeEndLine(RetError& code);

  // Building blocks for composing fields by hand.
  // Appends width minus strlen(text) '0' characters, then text.
  void write(const char* text, int width, RetError& code);
  void writeSeparator(RetError& code);
  // Counts a field and writes its type digit; a type outside 0..15 throws
  // IOException.
  void writeType(FieldType type, RetError& code);
  // Writes a value length as 3 hexadecimal digits; a length outside
  // 0..MAX_VALUE_LENGTH throws IOException.
  void writeFieldLen(int length, RetError& code);

  // ---- reading -------------------------------------------------------
  // Makes more than need characters available when the file has them;
  // RET_END_OF_DATA when fewer than need remain.
  void checkLengthAndLoadNext(int need, RetError& code);
  // Takes the next record.  The record ends where its length field says,
  // and a line feed must follow it there; line feeds inside are data.
  void readStartLine(RetError& code);
  // The next count characters of the current record, or "" with
  // RET_END_OF_LINE.
  std::string read(int count, RetError& code);
  void readCheckSeparator(RetError& code);
  void readType(FieldType expected, RetError& code);
  void readFieldLen(int& length, RetError& code);

  void readBoolean(bool& value, RetError& code);
  void readShort(short& value, RetError& code);
  void readUShort(unsigned short& value, RetError& code);
  void readInteger(int& value, RetError& code);
  void readLong(std::int32_t& value, RetError& code);
  void readULong(std::uint32_t& value, RetError& code);
  void readULongLong(unsigned long long& value, RetError& code);
  void readString(std::string& value, RetError& code);
  // Throws InvalidDateException for a value that is not a date text.
  void readDate(CDateTime& value, RetError& code);
  // *data receives a new[] array owned by the caller (left untouched for an
  // empty value).
  void readData(unsigned char** data, unsigned int& size, RetError& code);

  // Where reading stands, for diagnostics: the 1-based number of the record
  // that readStartLine took last (0 before the first), and the byte offset
  // in the file at which that record starts.
  std::uint32_t getRecordNumber() const;
  std::uint64_t getRecordOffset() const;
  // The length and field count that record declares in its framing (the
  // field count is meaningful only once readStartLine returned RET_OK).
  std::int32_t getRecordLength() const;
  std::int32_t getFieldCount() const;

 protected:
  void appendValue(const unsigned char* bytes, unsigned int count);
  void appendValue(unsigned char byte);

  // Raw bytes from the block buffer, refilled from the file as needed,
  // independent of the records.  Returns the number of bytes copied, which
  // is less than count when the file ends.
  unsigned int readValue(unsigned char* bytes, unsigned int count);

  // Memory reserved for characters read from the file and not yet consumed.
  std::size_t getInputCapacity() const;

 private:
  // The reading and writing state lives in the library; the tree's record
  // codec there reads and writes component records in place.
  struct State;
  friend class TreeRecords;
  std::unique_ptr<State> _pState;
};

}  // namespace qel

#endif  // QEL_ARCHIVE_ARCHIVE_H_
