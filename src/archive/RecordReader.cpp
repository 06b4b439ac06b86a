#include "archive/RecordReader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "archive/RecordFormat.h"
#include "qel/core/StringHelper.h"
#include "qel/platform/ConsoleLogger.h"

namespace qel {

using record::hex2;
using record::hex4;
using record::hexDigit;
using record::kBlockSize;

namespace {

// strtol on a 32-bit long: out-of-range values saturate.
std::int32_t parseLong(const char* s, std::size_t n, int base) {
  // The framing and most values are nothing but a few digits.
  if (n != 0 && n <= 7) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (; i < n; ++i) {
      const int d = chars::digitValue(s[i]);
      if (d >= base) {
        break;
      }
      value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    }
    if (i == n) {
      return static_cast<std::int32_t>(value);
    }
  }
  const chars::CNumber p = chars::readCNumber(s, n, base);
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
  const chars::CNumber p = chars::readCNumber(s, n, 10);
  if (p.bOverflow || p.nMagnitude > 0xFFFFFFFFULL) {
    return 0xFFFFFFFFU;
  }
  const auto magnitude = static_cast<std::uint32_t>(p.nMagnitude);
  return p.bNegative ? static_cast<std::uint32_t>(0U - magnitude) : magnitude;
}

}  // namespace

void RecordReader::open(CFileDescriptor* file) {
  _pFile = file;
  // The first block serves both the record reader and the raw reader.
  std::uint32_t count = file->getFileSystem()->readFile(file, _raw.data(), kBlockSize);
  count = std::min(count, kBlockSize);
  reserveInput(kBlockSize);
  if (count != 0) {
    std::memcpy(_pInput.get(), _raw.data(), count);
  }
  _nInputSize = count;
  _raw.clear();
  _raw.append(reinterpret_cast<const unsigned char*>(_pInput.get()), count);
}

void RecordReader::close() {
  _pFile = nullptr;
  _pInput.reset();
  _nInputCapacity = 0;
  _nInputSize = 0;
  _nInputPos = 0;
  _nLineStart = 0;
  _nLineSize = 0;
  _nLinePos = 0;
  _nFieldCount = 0;
  _raw.clear();
}

void RecordReader::reserveInput(std::uint32_t size) {
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

bool RecordReader::loadBlock() {
  if (_pFile == nullptr) {
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
  reserveInput(_nInputSize + kBlockSize);
  std::uint32_t count = _pFile->getFileSystem()->readFile(
      _pFile, reinterpret_cast<unsigned char*>(_pInput.get() + _nInputSize), kBlockSize);
  count = std::min(count, kBlockSize);
  _nInputSize += count;
  return count != 0;
}

void RecordReader::checkLengthAndLoadNext(int need, RetError& code) {
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
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
    code = CArchive::RET_END_OF_DATA;
  }
}

std::int32_t RecordReader::fieldCountOf(std::uint32_t count) const {
  return parseLong(lineData(), std::min<std::size_t>(2, count), 16);
}

void RecordReader::startSplitRecord(RetError& code) {
  checkLengthAndLoadNext(4, code);
  if (code != CArchive::RET_OK) {
    return;
  }
  // The length field: up to 4 characters, ending early before a line feed.
  const char* head = _pInput.get() + _nInputPos;
  std::size_t headLength = 0;
  while (headLength < 4 && head[headLength] != '\n') {
    ++headLength;
  }
  if (headLength == 0) {
    code = CArchive::RET_BAD_FORMAT;
    return;
  }
  const std::int32_t length = parseLong(head, headLength, 16);
  _nInputPos += static_cast<std::uint32_t>(headLength);
  _nLineLen = length;
  if (length < 0) {
    code = CArchive::RET_BAD_FORMAT;
    return;
  }
  checkLengthAndLoadNext(length, code);
  if (code != CArchive::RET_OK) {
    return;
  }
  // The record is exactly as long as its length field says, and a line feed
  // follows it; line feeds inside belong to the values.
  const auto count = static_cast<std::uint32_t>(length);
  if (available() == count || _pInput[_nInputPos + count] != '\n') {
    code = CArchive::RET_BAD_FORMAT;
    return;
  }
  _nLineStart = _nInputPos;
  _nLineSize = count;
  _nInputPos += count + 1;
  _nFieldCount = parseLong(lineData(), std::min<std::size_t>(2, count), 16);
  _nLinePos = 2;
}

bool RecordReader::take(int count, const char*& text, RetError& code) {
  if (count < 0 || static_cast<long long>(_nLineSize) < static_cast<long long>(_nLinePos) + count) {
    code = CArchive::RET_END_OF_LINE;
    return false;
  }
  text = lineData() + _nLinePos;
  _nLinePos += count;
  return true;
}

std::string RecordReader::read(int count, RetError& code) {
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
    return std::string();
  }
  const char* text = nullptr;
  if (!take(count, text, code)) {
    return std::string();
  }
  return std::string(text, static_cast<std::size_t>(count));
}

void RecordReader::readCheckSeparator(RetError& code) {
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
    return;
  }
  const char* text = nullptr;
  if (take(1, text, code) && *text != '0') {
    code = CArchive::RET_BAD_FORMAT;
  }
}

void RecordReader::readType(FieldType expected, RetError& code) {
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
    return;
  }
  if (_nFieldCount == 0) {
    code = CArchive::RET_BAD_FORMAT;
    return;
  }
  const char* text = nullptr;
  if (!take(1, text, code)) {
    return;
  }
  if (parseLong(text, 1, 16) != expected) {
    code = CArchive::RET_WRONG_TYPE;
  }
  if (code == CArchive::RET_OK) {
    --_nFieldCount;
  }
}

void RecordReader::readFieldLen(int& length, RetError& code) {
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
    return;
  }
  const char* text = nullptr;
  if (take(3, text, code)) {
    length = parseLong(text, 3, 16);
  }
}

bool RecordReader::readValueText(FieldType type, const char*& text, int& length, RetError& code) {
  code = CArchive::RET_OK;
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
    return false;
  }
  readType(type, code);
  if (code != CArchive::RET_OK) {
    return false;
  }
  length = 0;
  readFieldLen(length, code);
  if (code != CArchive::RET_OK) {
    return false;
  }
  if (length < 0) {
    code = CArchive::RET_BAD_FORMAT;
    return false;
  }
  return take(length, text, code);
}

void RecordReader::readBoolean(bool& value, RetError& code) {
  std::int32_t number = 0;
  if (readLong(CArchive::FIELD_BOOLEAN, number, code)) {
    value = number != 0;
  }
}

bool RecordReader::readLong(FieldType type, std::int32_t& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (!readValueText(type, text, length, code)) {
    return false;
  }
  value = parseLong(text, static_cast<std::size_t>(length), 10);
  readCheckSeparator(code);
  return true;
}

void RecordReader::readULong(std::uint32_t& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(CArchive::FIELD_ULONG, text, length, code)) {
    value = parseULong(text, static_cast<std::size_t>(length));
    readCheckSeparator(code);
  }
}

void RecordReader::readULongLong(unsigned long long& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (readValueText(CArchive::FIELD_ULONGLONG, text, length, code)) {
    value = CStringHelper::toULongLong(
        CStringHelper::fromANSI(std::string(text, static_cast<std::size_t>(length))), 10);
    readCheckSeparator(code);
  }
}

void RecordReader::readString(std::string& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  const bool read = readValueText(CArchive::FIELD_STRING, text, length, code);
  if (read) {
    value.assign(text, static_cast<std::size_t>(length));
    readCheckSeparator(code);
  } else if (code == CArchive::RET_END_OF_LINE && length >= 0) {
    // The type and length were read; the value ran past the record.
    value.clear();
  }
}

void RecordReader::readDate(CDateTime& value, RetError& code) {
  const char* text = nullptr;
  int length = 0;
  if (!readValueText(CArchive::FIELD_DATE, text, length, code)) {
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

void RecordReader::readData(unsigned char** data, unsigned int& size, RetError& code) {
  code = CArchive::RET_OK;
  if (!canRead()) {
    code = CArchive::RET_END_OF_DATA;
    return;
  }
  size = 0;
  const char* text = nullptr;
  int length = 0;
  if (!readValueText(CArchive::FIELD_DATA, text, length, code)) {
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

unsigned int RecordReader::readRaw(unsigned char* bytes, unsigned int count) {
  if (!canRead() || bytes == nullptr) {
    return 0;
  }
  unsigned int copied = 0;
  while (copied < count) {
    if (_nRawPos < _raw.size()) {
      const std::uint32_t take = std::min<std::uint32_t>(count - copied, _raw.size() - _nRawPos);
      std::memcpy(bytes + copied, _raw.data() + _nRawPos, take);
      _nRawPos += take;
      copied += take;
      continue;
    }
    unsigned char block[kBlockSize];
    std::uint32_t delivered = _pFile->getFileSystem()->readFile(_pFile, block, kBlockSize);
    delivered = std::min(delivered, kBlockSize);
    _raw.clear();
    _nRawPos = 0;
    if (delivered == 0) {
      if (DISPLAY_ERROR_LOGS) {
        ConsoleLogger::LogMessage(LOG_ERROR, "CArchive::readValue ERROR _nRead <= zero!!!");
      }
      break;
    }
    _raw.append(block, delivered);
  }
  return copied;
}

}  // namespace qel
