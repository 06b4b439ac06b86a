#ifndef QEL_ARCHIVE_ARCHIVE_H_
#define QEL_ARCHIVE_ARCHIVE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "qel/core/Buffer.h"
#include "qel/core/Export.h"
#include "qel/core/RefCount.h"
#include "qel/datetime/DateTime.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"
#include "qel/io/FileSystem.h"

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

  bool isLoading() const { return (_eMode & 1) != 0; }
  bool isStoring() const { return (_eMode & 2) != 0; }
  bool isLoaded() const { return _bLoaded; }

  // Store: writes the bytes still waiting in the block buffer; then, in both
  // modes, closes the file.  A stored file is on the disk when close
  // returns (its blocks are written through together, at the close).  The file is released even
  // when writing fails; the failure is the file system's exception.  An open record that
  // writeEndLine never closed is dropped.  Calling it again does nothing.
  void close();
  bool isClosed() const { return _bClosed; }

  // A strict archive stores exactly what it is given or throws: a text
  // holding a line feed throws IOException instead of losing the line feed.
  void setStrict(bool strict) { _bStrict = strict; }
  bool isStrict() const { return _bStrict; }

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
  std::uint32_t getRecordNumber() const { return _nRecordNumber; }
  std::uint64_t getRecordOffset() const { return _nRecordOffset; }
  // The length and field count that record declares in its framing (the
  // field count is meaningful only once readStartLine returned RET_OK).
  std::int32_t getRecordLength() const { return _nLineLen; }
  std::int32_t getFieldCount() const { return _nFieldCount; }

 protected:
  void appendValue(const unsigned char* bytes, unsigned int count);
  void appendValue(unsigned char byte) { appendValue(&byte, 1); }

  // Raw bytes from the block buffer, refilled from the file as needed,
  // independent of the records.  Returns the number of bytes copied, which
  // is less than count when the file ends.
  unsigned int readValue(unsigned char* bytes, unsigned int count);

  // Memory reserved for characters read from the file and not yet consumed.
  std::size_t getInputCapacity() const { return _nInputCapacity; }

 private:
  // The components write their names and values without copying them.
  friend class CComponent;
  friend class CBinaryComponent;
  friend class CComposite;
  // writeString of the length bytes at text.
  void writeText(const char* text, std::size_t length, RetError& code);
  // A whole record of a component at once: the kind as a FIELD_SHORT, then
  // when fields is 2 or 3 the name as a FIELD_STRING, when fields is 3 the
  // value as a field of valueType.  The same bytes as writing field by field
  // and writeEndLine.  Returns false, having written nothing, when a record
  // is open or a text would need more than the plain path (a line feed to
  // remove, a value too long); the caller then writes field by field.
  bool writeComponentRecord(short kind, int fields, const char* name, std::size_t nameLength,
                            FieldType valueType, const char* value, std::size_t valueLength,
                            RetError& code);

  // Reading the fields of a component record: when the next field of the
  // current record has the plain layout (its type digit, three hexadecimal
  // digits of length, the value inside the record, the separator 0) and,
  // for a short, a value of decimal digits only, these read it as the field
  // reader would and return true.  Otherwise they return false having read
  // nothing, and the caller uses the field reader, which reports what is
  // wrong.  They leave the code alone: the field reader would set RET_OK.
  bool readPlainShort(short& value);
  bool readPlainString(std::string& value);
  bool readPlainData(unsigned char*& data, unsigned int& size);
  // The name and the value of a leaf record at once, in place: true, having
  // read both, when the next field is a plain FIELD_STRING and the one after
  // it a plain field of valueType; otherwise false, having read nothing.
  bool readPlainPair(FieldType valueType, const char*& name, std::size_t& nameLength,
                     const char*& value, std::size_t& valueLength);
  // The value of the next field if it is plain, without reading it.
  bool peekPlainField(FieldType type, const char*& value, std::size_t& length) const;
  void skipField(std::size_t length);

  bool canRead() const;
  std::uint32_t available() const { return _nInputSize - _nInputPos; }
  // Room for at least size characters of input, keeping those held.
  void reserveInput(std::uint32_t size);
  // The current record (what follows its length field), inside the input.
  const char* lineData() const { return _pInput.get() + _nLineStart; }
  // Reads one block from the file behind the unconsumed input; false at the
  // end of the file.
  bool loadBlock();
  void flushBlock(CFileDescriptor* descriptor);
  void dropRecord();
  void beginField(FieldType type, std::size_t valueLength);
  void writeField(FieldType type, const char* value, std::size_t length);
  void writeNumber(long long value, RetError& code, FieldType type);
  // The next count characters of the record, in place; RET_END_OF_LINE when
  // the record has fewer left.
  bool take(int count, const char*& text, RetError& code);
  // Type, value length and value text of the next field.
  bool readValueText(FieldType type, const char*& text, int& length, RetError& code);

  Mode _eMode;
  bool _bLoaded = false;
  bool _bClosed = false;
  bool _bWriteFailed = false;
  bool _bStrict = false;
  // False when the descriptor is a replacement's, which its owner commits.
  bool _bOwnsFile = true;
  SmartPtr<CFileDescriptor> _pFileDescriptor;
  std::uint32_t _nReadPos = 0;
  Buffer<unsigned char, 4096> _buffer;
  // Load: what has been read from the file, _nInputSize characters in an
  // array of _nInputCapacity, not yet consumed from _nInputPos on.  Consumed
  // characters are dropped before the next block is read (all but the
  // current record), so this holds at most one record plus one block.
  std::unique_ptr<char[]> _pInput;
  std::uint32_t _nInputCapacity = 0;
  std::uint32_t _nInputSize = 0;
  std::uint32_t _nInputPos = 0;
  std::uint64_t _nInputOffset = 0;  // file offset of _pInput[0]
  std::int32_t _nFieldCount = 0;
  // Store: the record being composed.
  std::string _sLine;
  // Load: the current record is read where it lies in the input, _nLineSize
  // characters from _nLineStart.
  std::uint32_t _nLineStart = 0;
  std::uint32_t _nLineSize = 0;
  std::int32_t _nLinePos = 0;
  std::int32_t _nLineLen = 0;
  std::uint32_t _nRecordNumber = 0;
  std::uint64_t _nRecordOffset = 0;
};

class CComposite;

// Whole-tree storing and loading for applications and tools.
class QEL_API CTreeFile {
 public:
  struct LoadReport {
    // RET_OK when the root's end record was reached; otherwise the code that
    // stopped loading.  RET_END_OF_DATA when the file does not exist.
    CArchive::RetError eCode;
    // False when the file does not exist.
    bool bFound;
    // The record where loading stopped (1-based, 0 when none was read) and
    // the byte offset in the file at which that record starts.
    std::uint32_t nRecord;
    std::uint64_t nOffset;
  };

  enum StoreFlag : int {
    // Replaces a target that no one may write instead of refusing it.
    STORE_REPLACE_READ_ONLY = CFileReplacement::REPLACE_READ_ONLY
  };

  // How long update waits for another process's update of the same file.
  static constexpr std::uint32_t DEFAULT_LOCK_WAIT = 10000;  // milliseconds

  // Stores root crash-safely through a CFileReplacement: the target (a
  // symbolic link is followed) is replaced in one step, keeps its
  // permissions, and stays as it was on any failure.  The tree is stored
  // exactly or not at all: a name or text value holding a line feed, or a
  // value over the field limit, throws IOException naming the component's
  // path ("network/proxy/host: ...").  A target that no one may write is
  // refused ("<path> is read-only") unless flags has
  // STORE_REPLACE_READ_ONLY; a directory or any other file that is not a
  // regular one is refused too.  A missing parent directory is created.
  static void store(const CFile& file, CComposite& root);
  static void store(const CFile& file, CComposite& root, int flags);

  // Loads the records of file into root (children are added to those it
  // has).  Malformed content is reported, not thrown; InvalidDateException
  // and the file system's exceptions pass through.  A missing file creates
  // nothing and is reported as not found.
  static LoadReport load(const CFile& file, CComposite& root);

  // A read-modify-write of file that no other update of it can interleave
  // with: takes the file's lock (waiting up to lockWaitMilliseconds, then
  // IOException "<path>: locked by another process"), loads the tree (a
  // missing or empty file gives an empty root), calls edit, stores the tree
  // as store does and releases the lock.  A file that does not load whole
  // (malformed, truncated, or followed by more records) throws IOException
  // with the record and byte offset, and is left as it is; so does any
  // exception from edit.  Readers take no lock: they see the old or the new
  // file.
  static void update(const CFile& file, const std::function<void(CComposite& root)>& edit);
  static void update(const CFile& file, const std::function<void(CComposite& root)>& edit,
                     std::uint32_t lockWaitMilliseconds, int flags);
};

}  // namespace qel

#endif  // QEL_ARCHIVE_ARCHIVE_H_
