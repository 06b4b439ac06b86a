#include "qel/archive/Archive.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <limits>

#include "core/CharClass.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/platform/ConsoleLogger.h"

namespace qel {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

using chars::digitValue;
using chars::isCSpace;

// The C library's strtol/strtoul reading of n bytes: leading white space, an
// optional sign, in base 16 an optional 0x prefix, then digits up to the
// first character that is not one.  No digits give 0.  The magnitude
// saturates at 2^64 - 1 (overflow is flagged).
struct Parsed {
  bool bNegative = false;
  bool bOverflow = false;
  unsigned long long nMagnitude = 0;
};

Parsed parseNumber(const char* s, std::size_t n, int base) {
  Parsed result;
  std::size_t i = 0;
  while (i < n && isCSpace(s[i])) {
    ++i;
  }
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    result.bNegative = s[i] == '-';
    ++i;
  }
  if (base == 16 && i + 2 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
      digitValue(s[i + 2]) < 16) {
    i += 2;
  }
  const unsigned long long limit = std::numeric_limits<unsigned long long>::max();
  for (; i < n; ++i) {
    const int d = digitValue(s[i]);
    if (d >= base) {
      break;
    }
    if (result.nMagnitude > (limit - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) {
      result.bOverflow = true;
    } else {
      result.nMagnitude =
          result.nMagnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
  }
  return result;
}

// strtol on a 32-bit long: out-of-range values saturate.
std::int32_t parseLong(const char* s, std::size_t n, int base) {
  // The framing and most values are nothing but a few digits.
  if (n != 0 && n <= 7) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (; i < n; ++i) {
      const int d = digitValue(s[i]);
      if (d >= base) {
        break;
      }
      value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    }
    if (i == n) {
      return static_cast<std::int32_t>(value);
    }
  }
  const Parsed p = parseNumber(s, n, base);
  if (p.bNegative) {
    if (p.bOverflow || p.nMagnitude > 0x80000000ULL) {
      return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(-static_cast<long long>(p.nMagnitude));
  }
  if (p.bOverflow || p.nMagnitude > 0x7FFFFFFFULL) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(p.nMagnitude);
}

// strtoul on a 32-bit unsigned long: a negative value wraps, an out-of-range
// one saturates.
std::uint32_t parseULong(const char* s, std::size_t n) {
  const Parsed p = parseNumber(s, n, 10);
  if (p.bOverflow || p.nMagnitude > 0xFFFFFFFFULL) {
    return 0xFFFFFFFFU;
  }
  const auto magnitude = static_cast<std::uint32_t>(p.nMagnitude);
  return p.bNegative ? static_cast<std::uint32_t>(0U - magnitude) : magnitude;
}

// Upper-case hexadecimal of value, filled with '0' to width digits, into
// text; returns the number of characters (width, or more for a value that
// needs more digits).
int formatHex(char* text, std::uint32_t value, int width) {
  int digits = 1;
  while (digits < 8 && (value >> (4 * digits)) != 0) {
    ++digits;
  }
  const int length = digits > width ? digits : width;
  for (int i = length - 1; i >= 0; --i) {
    text[i] = kHexDigits[value & 0xF];
    value >>= 4;
  }
  return length;
}

// digitValue of every byte below base 16, and 99 for every other byte: the
// framing is read through this table.
struct HexTable {
  unsigned char value[256];
  constexpr HexTable() : value() {
    for (int c = 0; c < 256; ++c) {
      const int digit = digitValue(static_cast<char>(c));
      value[c] = static_cast<unsigned char>(digit < 16 ? digit : 99);
    }
  }
};
constexpr HexTable kHexTable;

inline int hexDigit(char c) {
  return kHexTable.value[static_cast<unsigned char>(c)];
}

// The value of two or four hexadecimal digits (either case), or a negative
// value when one of them is none.
inline int hex2(const char* s) {
  const int high = hexDigit(s[0]);
  const int low = hexDigit(s[1]);
  return high < 16 && low < 16 ? high * 16 + low : -1;
}

inline std::int32_t hex4(const char* s) {
  const int high = hex2(s);
  const int low = hex2(s + 2);
  return (high | low) >= 0 ? high * 256 + low : -1;
}

void appendHex(std::string& out, std::uint32_t value, int width) {
  char text[8];
  out.append(text, static_cast<std::size_t>(formatHex(text, value, width)));
}

}  // namespace

// ---- construction and destruction ----------------------------------------

CArchive::CArchive(CFile& file, Mode mode) : _eMode(mode) {
  const std::wstring path = file.getPath();
  if (path.empty()) {
    throw IOException(L"File name is empty");
  }
  SmartPtr<CFileSystem> fileSystem = CFileSystem::getFileSystem();
  if ((fileSystem->getFileAttributeFlags(path) & CFileSystem::FA_DIRECTORY) != 0) {
    throw IOException(path + L" is a directory");
  }
  const std::wstring parent = file.getParent();
  if ((fileSystem->getFileAttributeFlags(parent) & CFileSystem::FA_EXISTS) == 0) {
    fileSystem->createDirectory(parent);
  }
  if (mode == LOAD) {
    // Records are read from the start to the end of the file.
    _pFileDescriptor =
        fileSystem->openFile(path, CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING,
                             CFileSystem::OF_SEQUENTIAL_READ);
  } else {
    // The file is complete only when the archive closes it, so its blocks
    // need to be on the disk only then: all of them before close returns.
    _pFileDescriptor =
        fileSystem->openFile(path, CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS,
                             CFileSystem::OF_DURABLE_AT_CLOSE);
  }
  if (!_pFileDescriptor) {
    return;
  }
  _nFieldCount = 0;
  if (mode == LOAD) {
    // The first block serves both the record reader and the raw reader.
    std::uint32_t count = fileSystem->readFile(_pFileDescriptor.get(), _buffer.data(), BLOCK_SIZE);
    count = std::min(count, BLOCK_SIZE);
    reserveInput(BLOCK_SIZE);
    if (count != 0) {
      std::memcpy(_pInput.get(), _buffer.data(), count);
    }
    _nInputSize = count;
    _buffer.clear();
    _buffer.append(reinterpret_cast<const unsigned char*>(_pInput.get()), count);
    _bLoaded = true;
  }
}

CArchive::CArchive(CFileReplacement& target)
    : _eMode(STORE), _bOwnsFile(false), _pFileDescriptor(target.getDescriptor()) {
  if (!_pFileDescriptor) {
    throw IOException(target.getTarget().getPath() + L": the replacement is closed");
  }
}

CArchive::~CArchive() {
  if (_bClosed) {
    return;
  }
  // Only a storing archive can lose data here: its last block is written by
  // close().  A loading one merely failed to release its file.
  const char* what = isStoring() ? "last block lost" : "file not closed";
  try {
    close();
  } catch (const std::exception& e) {
    if (DISPLAY_ERROR_LOGS) {
      ConsoleLogger::LogMessage(LOG_ERROR, "CArchive::~CArchive ERROR - %s: %s", what, e.what());
    }
  } catch (...) {
    if (DISPLAY_ERROR_LOGS) {
      ConsoleLogger::LogMessage(LOG_ERROR, "CArchive::~CArchive ERROR - %s!!!", what);
    }
  }
}

void CArchive::close() {
  if (_bClosed) {
    return;
  }
  _bClosed = true;
  dropRecord();
  _pInput.reset();
  _nInputCapacity = 0;
  _nInputSize = 0;
  _nInputPos = 0;
  SmartPtr<CFileDescriptor> descriptor = _pFileDescriptor;
  _pFileDescriptor = nullptr;
  if (!descriptor) {
    _buffer.clear();
    return;
  }
  try {
    if (_eMode == STORE && _buffer.size() != 0 && !_bWriteFailed) {
      flushBlock(descriptor.get());
    }
  } catch (...) {
    _buffer.clear();
    try {
      if (_bOwnsFile) {
        descriptor->close();
      }
    } catch (...) {
      // The write failure is the one the caller needs to see.
    }
    throw;
  }
  _buffer.clear();
  if (_bOwnsFile) {
    descriptor->close();
  }
}

// ---- writing ----------------------------------------------------------------

void CArchive::dropRecord() {
  _sLine.clear();
  _nLineStart = _nInputPos;
  _nLineSize = 0;
  _nFieldCount = 0;
  _nLinePos = 0;
}

void CArchive::beginField(FieldType type, std::size_t valueLength) {
  if (valueLength > static_cast<std::size_t>(MAX_VALUE_LENGTH)) {
    dropRecord();
    throw IOException(L"The value of " + std::to_wstring(valueLength) +
                      L" bytes exceeds the limit of 4095 bytes of a field");
  }
  if (_nFieldCount >= MAX_FIELD_COUNT) {
    dropRecord();
    throw IOException(L"A record cannot hold more than 255 fields");
  }
  ++_nFieldCount;
  const char head[4] = {kHexDigits[type & 0xF], kHexDigits[(valueLength >> 8) & 0xF],
                        kHexDigits[(valueLength >> 4) & 0xF], kHexDigits[valueLength & 0xF]};
  _sLine.append(head, sizeof(head));
}

void CArchive::writeField(FieldType type, const char* value, std::size_t length) {
  beginField(type, length);
  _sLine.append(value, length);
  _sLine += '0';
}

void CArchive::writeBoolean(bool value, RetError& code) {
  code = RET_OK;
  // The value is one character whatever the value; false is the width
  // filling of an empty text.
  writeField(FIELD_BOOLEAN, value ? "1" : "0", 1);
}

void CArchive::writeShort(short value, RetError& code) {
  writeNumber(value, code, FIELD_SHORT);
}

void CArchive::writeUShort(unsigned short value, RetError& code) {
  writeNumber(value, code, FIELD_USHORT);
}

void CArchive::writeInteger(int value, RetError& code) {
  writeNumber(value, code, FIELD_INTEGER);
}

void CArchive::writeLong(std::int32_t value, RetError& code) {
  writeNumber(value, code, FIELD_LONG);
}

void CArchive::writeULong(std::uint32_t value, RetError& code) {
  writeNumber(value, code, FIELD_ULONG);
}

void CArchive::writeULongLong(unsigned long long value, RetError& code) {
  code = RET_OK;
  char text[30];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  writeField(FIELD_ULONGLONG, text, static_cast<std::size_t>(result.ptr - text));
}

void CArchive::writeNumber(long long value, RetError& code, FieldType type) {
  code = RET_OK;
  char text[30];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  writeField(type, text, static_cast<std::size_t>(result.ptr - text));
}

void CArchive::writeString(std::string value, RetError& code) {
  writeText(value.data(), value.size(), code);
}

void CArchive::writeText(const char* text, std::size_t length, RetError& code) {
  code = RET_OK;
  if (length == 0 || std::memchr(text, '\n', length) == nullptr) {
    writeField(FIELD_STRING, text, length);
    return;
  }
  if (_bStrict) {
    dropRecord();
    throw IOException(L"A line feed cannot be stored in a text field");
  }
  std::string value(text, length);
  value.erase(std::remove(value.begin(), value.end(), '\n'), value.end());
  writeField(FIELD_STRING, value.data(), value.size());
}

void CArchive::writeDate(CDateTime value, RetError& code) {
  code = RET_OK;
  const std::string text = value.isValid() ? value.toByteString(true) : std::string();
  writeField(FIELD_DATE, text.data(), text.size());
}

void CArchive::writeData(unsigned char* data, unsigned int size, RetError& code) {
  code = RET_OK;
  if (data == nullptr && size != 0) {
    dropRecord();
    throw IOException(L"No bytes given for a data field of " + std::to_wstring(size) + L" bytes");
  }
  writeField(FIELD_DATA, reinterpret_cast<const char*>(data), size);
}

bool CArchive::writeComponentRecord(short kind, int fields, const char* name,
                                    std::size_t nameLength, FieldType valueType, const char* value,
                                    std::size_t valueLength, RetError& code) {
  code = RET_OK;
  if (_nFieldCount != 0 || !_sLine.empty() || _bClosed || !_pFileDescriptor || _eMode != STORE) {
    return false;
  }
  const auto limit = static_cast<std::size_t>(MAX_VALUE_LENGTH);
  if (fields >= 2 &&
      (nameLength > limit || (nameLength != 0 && std::memchr(name, '\n', nameLength) != nullptr))) {
    return false;
  }
  if (fields >= 3 && (valueLength > limit || (value == nullptr && valueLength != 0) ||
                      (valueType == FIELD_STRING && valueLength != 0 &&
                       std::memchr(value, '\n', valueLength) != nullptr))) {
    return false;
  }
  // Length and count, three fields of at most 4 + 4095 + 1 characters, the
  // closing separator and the line feed.
  char record[6 + 3 * (5 + MAX_VALUE_LENGTH) + 2];
  char* p = record + 6;
  auto field = [&p](FieldType type, const char* text, std::size_t length) {
    p[0] = kHexDigits[type & 0xF];
    p[1] = kHexDigits[(length >> 8) & 0xF];
    p[2] = kHexDigits[(length >> 4) & 0xF];
    p[3] = kHexDigits[length & 0xF];
    if (length != 0) {
      std::memcpy(p + 4, text, length);
    }
    p[4 + length] = '0';
    p += length + 5;
  };
  char kindText[8];
  const auto kindEnd = std::to_chars(kindText, kindText + sizeof(kindText), kind).ptr;
  field(FIELD_SHORT, kindText, static_cast<std::size_t>(kindEnd - kindText));
  if (fields >= 2) {
    field(FIELD_STRING, name, nameLength);
  }
  if (fields >= 3) {
    field(valueType, value, valueLength);
  }
  *p++ = '0';
  // The length counts the field count, the fields and the closing separator.
  const auto length = static_cast<std::uint32_t>(p - (record + 6) + 2);
  formatHex(record, length, 4);
  formatHex(record + 4, static_cast<std::uint32_t>(fields < 1 ? 1 : fields), 2);
  *p++ = '\n';
  appendValue(reinterpret_cast<const unsigned char*>(record),
              static_cast<unsigned int>(p - record));
  return true;
}

void CArchive::write(const char* text, int width, RetError& /*code*/) {
  const std::size_t length = text == nullptr ? 0 : std::strlen(text);
  if (width > 0 && static_cast<std::size_t>(width) > length) {
    _sLine.append(static_cast<std::size_t>(width) - length, '0');
  }
  _sLine.append(text == nullptr ? "" : text, length);
}

void CArchive::writeSeparator(RetError& code) {
  write("0", 1, code);
}

void CArchive::writeType(FieldType type, RetError& code) {
  if (type < 0 || type > 0xF) {
    dropRecord();
    throw IOException(L"The field type " + std::to_wstring(static_cast<int>(type)) +
                      L" does not fit one hexadecimal digit");
  }
  if (_nFieldCount >= MAX_FIELD_COUNT) {
    dropRecord();
    throw IOException(L"A record cannot hold more than 255 fields");
  }
  ++_nFieldCount;
  const char text[2] = {kHexDigits[type], '\0'};
  write(text, 1, code);
}

void CArchive::writeFieldLen(int length, RetError& /*code*/) {
  if (length < 0 || length > MAX_VALUE_LENGTH) {
    dropRecord();
    throw IOException(L"The value length " + std::to_wstring(length) +
                      L" exceeds the limit of 4095 bytes of a field");
  }
  appendHex(_sLine, static_cast<std::uint32_t>(length), 3);
}

void CArchive::writeEndLine(RetError& code) {
  code = RET_OK;
  if (_bClosed || !_pFileDescriptor || _eMode != STORE) {
    dropRecord();
    throw IOException(_bClosed ? L"The archive is closed" : L"The archive is not open for storing");
  }
  _sLine += '0';
  // The length counts the field count, the fields and the closing separator.
  const std::size_t length = _sLine.size() + 2;
  if (length > static_cast<std::size_t>(MAX_RECORD_LENGTH)) {
    dropRecord();
    throw IOException(L"The record of " + std::to_wstring(length) +
                      L" characters exceeds the limit of 65535 characters");
  }
  char head[6];
  formatHex(head, static_cast<std::uint32_t>(length), 4);
  formatHex(head + 4, static_cast<std::uint32_t>(_nFieldCount), 2);
  _sLine += '\n';
  try {
    appendValue(reinterpret_cast<const unsigned char*>(head), 6);
    appendValue(reinterpret_cast<const unsigned char*>(_sLine.data()),
                static_cast<unsigned int>(_sLine.size()));
  } catch (...) {
    dropRecord();
    throw;
  }
  dropRecord();
}

void CArchive::appendValue(const unsigned char* bytes, unsigned int count) {
  if (count <= BLOCK_SIZE - _buffer.size()) {
    _buffer.append(bytes, count);
    return;
  }
  while (count != 0) {
    const std::uint32_t room = BLOCK_SIZE - _buffer.size();
    if (room == 0) {
      if (_bClosed || !_pFileDescriptor) {
        throw IOException(L"The archive is closed");
      }
      flushBlock(_pFileDescriptor.get());
      continue;
    }
    const std::uint32_t take = std::min<std::uint32_t>(room, count);
    _buffer.append(bytes, take);
    bytes += take;
    count -= take;
  }
}

void CArchive::flushBlock(CFileDescriptor* descriptor) {
  if (_bWriteFailed) {
    throw IOException(L"An earlier write to the archive failed");
  }
  const std::uint32_t size = _buffer.size();
  SmartPtr<CFileSystem> fileSystem = descriptor->getFileSystem();
  // A write may take fewer bytes than it was given (a signal, or a disk
  // that has just filled up); the rest goes in further writes, and a disk
  // that is really full then reports its error.  Only a write that takes
  // nothing at all ends the block.
  std::uint32_t written = 0;
  while (written < size) {
    std::uint32_t count = 0;
    try {
      count = fileSystem->writeFile(descriptor, _buffer.data() + written, size - written);
    } catch (...) {
      _bWriteFailed = true;
      throw;
    }
    if (count == 0 || count > size - written) {
      _bWriteFailed = true;
      throw IOException(L"Only " + std::to_wstring(written) + L" of " + std::to_wstring(size) +
                        L" bytes reached the archive file");
    }
    written += count;
  }
  _buffer.clear();
}

// ---- reading ----------------------------------------------------------------

bool CArchive::canRead() const {
  return _eMode == LOAD && _bLoaded && !_bClosed;
}

void CArchive::reserveInput(std::uint32_t size) {
  if (size <= _nInputCapacity) {
    return;
  }
  // Doubling, so that a long record costs few moves.
  const std::uint32_t capacity = std::max(size, 2 * _nInputCapacity);
  std::unique_ptr<char[]> input(new char[capacity]);
  if (_nInputSize != 0) {
    std::memcpy(input.get(), _pInput.get(), _nInputSize);
  }
  _pInput = std::move(input);
  _nInputCapacity = capacity;
}

bool CArchive::loadBlock() {
  if (!_pFileDescriptor) {
    return false;
  }
  // What has been consumed is never needed again, but for the current
  // record, which is read where it lies.
  const std::uint32_t consumed = std::min(_nInputPos, _nLineStart);
  if (consumed != 0) {
    std::memmove(_pInput.get(), _pInput.get() + consumed, _nInputSize - consumed);
    _nInputSize -= consumed;
    _nInputOffset += consumed;
    _nInputPos -= consumed;
    _nLineStart -= consumed;
  }
  reserveInput(_nInputSize + BLOCK_SIZE);
  std::uint32_t count = _pFileDescriptor->getFileSystem()->readFile(
      _pFileDescriptor.get(), reinterpret_cast<unsigned char*>(_pInput.get() + _nInputSize),
      BLOCK_SIZE);
  count = std::min(count, BLOCK_SIZE);
  _nInputSize += count;
  return count != 0;
}

void CArchive::checkLengthAndLoadNext(int need, RetError& code) {
  if (!canRead()) {
    code = RET_END_OF_DATA;
    return;
  }
  // Loading goes on while exactly need characters are there, so that the
  // line feed after a record comes in with it.
  while (need >= 0 && available() <= static_cast<std::uint32_t>(need)) {
    if (!loadBlock()) {
      break;
    }
  }
  if (need > 0 && available() < static_cast<std::uint32_t>(need)) {
    code = RET_END_OF_DATA;
  }
}

void CArchive::readStartLine(RetError& code) {
  code = RET_OK;
  if (!canRead()) {
    code = RET_END_OF_DATA;
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
    const std::int32_t length = hex4(head);
    if (length >= 0 && available() - 4 > static_cast<std::uint32_t>(length)) {
      const auto count = static_cast<std::uint32_t>(length);
      _nInputPos += 4;
      _nLineLen = length;
      if (_pInput[_nInputPos + count] != '\n') {
        code = RET_BAD_FORMAT;
        return;
      }
      _nLineStart = _nInputPos;
      _nLineSize = count;
      _nInputPos += count + 1;
      const int fields = count >= 2 ? hex2(lineData()) : -1;
      _nFieldCount =
          fields >= 0 ? fields : parseLong(lineData(), std::min<std::size_t>(2, count), 16);
      _nLinePos = 2;
      return;
    }
  }

  checkLengthAndLoadNext(4, code);
  if (code != RET_OK) {
    return;
  }
  // The length field: up to 4 characters, ending early before a line feed.
  const char* head = _pInput.get() + _nInputPos;
  std::size_t headLength = 0;
  while (headLength < 4 && head[headLength] != '\n') {
    ++headLength;
  }
  if (headLength == 0) {
    code = RET_BAD_FORMAT;
    return;
  }
  const std::int32_t length = parseLong(head, headLength, 16);
  _nInputPos += static_cast<std::uint32_t>(headLength);
  _nLineLen = length;
  if (length < 0) {
    code = RET_BAD_FORMAT;
    return;
  }
  checkLengthAndLoadNext(length, code);
  if (code != RET_OK) {
    return;
  }
  // The record is exactly as long as its length field says, and a line feed
  // follows it; line feeds inside belong to the values.
  const auto count = static_cast<std::uint32_t>(length);
  if (available() == count || _pInput[_nInputPos + count] != '\n') {
    code = RET_BAD_FORMAT;
    return;
  }
  _nLineStart = _nInputPos;
  _nLineSize = count;
  _nInputPos += count + 1;
  _nFieldCount = parseLong(lineData(), std::min<std::size_t>(2, count), 16);
  _nLinePos = 2;
}

bool CArchive::take(int count, const char*& text, RetError& code) {
  if (count < 0 || static_cast<long long>(_nLineSize) < static_cast<long long>(_nLinePos) + count) {
    code = RET_END_OF_LINE;
    return false;
  }
  text = lineData() + _nLinePos;
  _nLinePos += count;
  return true;
}

std::string CArchive::read(int count, RetError& code) {
  if (!canRead()) {
    code = RET_END_OF_DATA;
    return std::string();
  }
  const char* text = nullptr;
  if (!take(count, text, code)) {
    return std::string();
  }
  return std::string(text, static_cast<std::size_t>(count));
}

void CArchive::readCheckSeparator(RetError& code) {
  if (!canRead()) {
    code = RET_END_OF_DATA;
    return;
  }
  const char* text = nullptr;
  if (take(1, text, code) && *text != '0') {
    code = RET_BAD_FORMAT;
  }
}

void CArchive::readType(FieldType expected, RetError& code) {
  if (!canRead()) {
    code = RET_END_OF_DATA;
    return;
  }
  if (_nFieldCount == 0) {
    code = RET_BAD_FORMAT;
    return;
  }
  const char* text = nullptr;
  if (!take(1, text, code)) {
    return;
  }
  if (parseLong(text, 1, 16) != expected) {
    code = RET_WRONG_TYPE;
  }
  if (code == RET_OK) {
    --_nFieldCount;
  }
}

void CArchive::readFieldLen(int& length, RetError& code) {
  if (!canRead()) {
    code = RET_END_OF_DATA;
    return;
  }
  const char* text = nullptr;
  if (take(3, text, code)) {
    length = parseLong(text, 3, 16);
  }
}

bool CArchive::readValueText(FieldType type, const char*& text, int& length, RetError& code) {
  code = RET_OK;
  if (!canRead()) {
    code = RET_END_OF_DATA;
    return false;
  }
  readType(type, code);
  if (code != RET_OK) {
    return false;
  }
  length = 0;
  readFieldLen(length, code);
  if (code != RET_OK) {
    return false;
  }
  if (length < 0) {
    code = RET_BAD_FORMAT;
    return false;
  }
  return take(length, text, code);
}

void CArchive::readBoolean(bool& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(FIELD_BOOLEAN, text, length, code)) {
    value = parseLong(text, static_cast<std::size_t>(length), 10) != 0;
    readCheckSeparator(code);
  }
}

void CArchive::readShort(short& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(FIELD_SHORT, text, length, code)) {
    // The low 16 bits of the 32-bit reading.
    value = static_cast<short>(
        static_cast<std::uint16_t>(parseLong(text, static_cast<std::size_t>(length), 10)));
    readCheckSeparator(code);
  }
}

void CArchive::readUShort(unsigned short& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(FIELD_USHORT, text, length, code)) {
    value = static_cast<unsigned short>(parseLong(text, static_cast<std::size_t>(length), 10));
    readCheckSeparator(code);
  }
}

void CArchive::readInteger(int& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(FIELD_INTEGER, text, length, code)) {
    value = parseLong(text, static_cast<std::size_t>(length), 10);
    readCheckSeparator(code);
  }
}

void CArchive::readLong(std::int32_t& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(FIELD_LONG, text, length, code)) {
    value = parseLong(text, static_cast<std::size_t>(length), 10);
    readCheckSeparator(code);
  }
}

void CArchive::readULong(std::uint32_t& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(FIELD_ULONG, text, length, code)) {
    value = parseULong(text, static_cast<std::size_t>(length));
    readCheckSeparator(code);
  }
}

void CArchive::readULongLong(unsigned long long& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(FIELD_ULONGLONG, text, length, code)) {
    value = CStringHelper::toULongLong(
        CStringHelper::fromANSI(std::string(text, static_cast<std::size_t>(length))), 10);
    readCheckSeparator(code);
  }
}

void CArchive::readString(std::string& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  const bool read = readValueText(FIELD_STRING, text, length, code);
  if (read) {
    value.assign(text, static_cast<std::size_t>(length));
    readCheckSeparator(code);
  } else if (code == RET_END_OF_LINE && length >= 0) {
    // The type and length were read; the value ran past the record.
    value.clear();
  }
}

void CArchive::readDate(CDateTime& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (!readValueText(FIELD_DATE, text, length, code)) {
    return;
  }
  if (length == 0) {
    value.forceGMT(false);
    value.setJD(0);
    value.setms(0);
  } else {
    const CDateTime parsed(std::string(text, static_cast<std::size_t>(length)));
    value.forceGMT(parsed.isGMTTime());
    value.setJD(parsed.getJD());
    value.setms(parsed.getms());
  }
  readCheckSeparator(code);
}

void CArchive::readData(unsigned char** data, unsigned int& size, RetError& code) {
  code = RET_OK;
  if (!canRead()) {
    code = RET_END_OF_DATA;
    return;
  }
  size = 0;
  const char* text = nullptr;
  int length = 0;
  if (!readValueText(FIELD_DATA, text, length, code)) {
    return;
  }
  if (length > 0) {
    auto* bytes = new unsigned char[static_cast<std::size_t>(length)];
    std::memcpy(bytes, text, static_cast<std::size_t>(length));
    if (data != nullptr) {
      *data = bytes;
    } else {
      delete[] bytes;
    }
    size = static_cast<unsigned int>(length);
  }
  readCheckSeparator(code);
}

bool CArchive::peekPlainField(FieldType type, const char*& value, std::size_t& length) const {
  if (!canRead() || _nFieldCount <= 0 || _nLinePos < 0) {
    return false;
  }
  const auto at = static_cast<std::size_t>(_nLinePos);
  if (at + 5 > _nLineSize) {
    return false;
  }
  const char* p = lineData() + at;
  const int high = hexDigit(p[1]);
  const int low = hex2(p + 2);
  if (hexDigit(p[0]) != type || high >= 16 || low < 0) {
    return false;
  }
  length = static_cast<std::size_t>(high * 256 + low);
  if (at + 5 + length > _nLineSize || p[4 + length] != '0') {
    return false;
  }
  value = p + 4;
  return true;
}

void CArchive::skipField(std::size_t length) {
  _nLinePos += static_cast<std::int32_t>(length + 5);
  --_nFieldCount;
}

bool CArchive::readPlainShort(short& value) {
  const char* text = nullptr;
  std::size_t length = 0;
  if (!peekPlainField(FIELD_SHORT, text, length) || length == 0 || length > 7) {
    return false;
  }
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const int d = hexDigit(text[i]);
    if (d >= 10) {
      return false;
    }
    number = number * 10 + static_cast<std::uint32_t>(d);
  }
  value = static_cast<short>(static_cast<std::uint16_t>(number));
  skipField(length);
  return true;
}

bool CArchive::readPlainString(std::string& value) {
  const char* text = nullptr;
  std::size_t length = 0;
  if (!peekPlainField(FIELD_STRING, text, length)) {
    return false;
  }
  value.assign(text, length);
  skipField(length);
  return true;
}

bool CArchive::readPlainData(unsigned char*& data, unsigned int& size) {
  const char* text = nullptr;
  std::size_t length = 0;
  if (!peekPlainField(FIELD_DATA, text, length)) {
    return false;
  }
  size = 0;
  if (length != 0) {
    data = new unsigned char[length];
    std::memcpy(data, text, length);
    size = static_cast<unsigned int>(length);
  }
  skipField(length);
  return true;
}

bool CArchive::readPlainPair(FieldType valueType, const char*& name, std::size_t& nameLength,
                             const char*& value, std::size_t& valueLength) {
  if (!peekPlainField(FIELD_STRING, name, nameLength)) {
    return false;
  }
  skipField(nameLength);
  if (!peekPlainField(valueType, value, valueLength)) {
    _nLinePos -= static_cast<std::int32_t>(nameLength + 5);
    ++_nFieldCount;
    return false;
  }
  skipField(valueLength);
  return true;
}

unsigned int CArchive::readValue(unsigned char* bytes, unsigned int count) {
  if (!canRead() || bytes == nullptr) {
    return 0;
  }
  unsigned int copied = 0;
  while (copied < count) {
    if (_nReadPos < _buffer.size()) {
      const std::uint32_t take =
          std::min<std::uint32_t>(count - copied, _buffer.size() - _nReadPos);
      std::memcpy(bytes + copied, _buffer.data() + _nReadPos, take);
      _nReadPos += take;
      copied += take;
      continue;
    }
    unsigned char block[BLOCK_SIZE];
    std::uint32_t delivered =
        _pFileDescriptor->getFileSystem()->readFile(_pFileDescriptor.get(), block, BLOCK_SIZE);
    delivered = std::min(delivered, BLOCK_SIZE);
    _buffer.clear();
    _nReadPos = 0;
    if (delivered == 0) {
      if (DISPLAY_ERROR_LOGS) {
        ConsoleLogger::LogMessage(LOG_ERROR, "CArchive::readValue ERROR _nRead <= zero!!!");
      }
      break;
    }
    _buffer.append(block, delivered);
  }
  return copied;
}

}  // namespace qel
