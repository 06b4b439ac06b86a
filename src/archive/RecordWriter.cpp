#include "archive/RecordWriter.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "archive/RecordFormat.h"
#include "qel/core/Exception.h"

namespace qel {

using record::kBlockSize;

void RecordWriter::dropRecord() {
  _sLine.clear();
  _nFieldCount = 0;
}

void RecordWriter::countField() {
  if (_nFieldCount >= CArchive::MAX_FIELD_COUNT) {
    dropRecord();
    throw IOException(L"A record cannot hold more than 255 fields");
  }
  ++_nFieldCount;
}

void RecordWriter::beginField(FieldType type, std::size_t valueLength) {
  if (valueLength > static_cast<std::size_t>(CArchive::MAX_VALUE_LENGTH)) {
    dropRecord();
    throw IOException(L"The value of " + std::to_wstring(valueLength) +
                      L" bytes exceeds the limit of 4095 bytes of a field");
  }
  countField();
  char head[4];
  record::formatFieldHead(head, type, valueLength);
  _sLine.append(head, sizeof(head));
}

void RecordWriter::writeField(FieldType type, const char* value, std::size_t length) {
  beginField(type, length);
  _sLine.append(value, length);
  _sLine += '0';
}

void RecordWriter::writeNumber(long long value, FieldType type) {
  char text[30];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  writeField(type, text, static_cast<std::size_t>(result.ptr - text));
}

void RecordWriter::writeText(const char* text, std::size_t length) {
  if (length == 0 || std::memchr(text, '\n', length) == nullptr) {
    writeField(CArchive::FIELD_STRING, text, length);
    return;
  }
  if (_bStrict) {
    dropRecord();
    throw IOException(L"A line feed cannot be stored in a text field");
  }
  std::string value(text, length);
  value.erase(std::remove(value.begin(), value.end(), '\n'), value.end());
  writeField(CArchive::FIELD_STRING, value.data(), value.size());
}

void RecordWriter::writeData(const unsigned char* data, unsigned int size) {
  if (data == nullptr && size != 0) {
    dropRecord();
    throw IOException(L"No bytes given for a data field of " + std::to_wstring(size) + L" bytes");
  }
  writeField(CArchive::FIELD_DATA, reinterpret_cast<const char*>(data), size);
}

void RecordWriter::writePadded(const char* text, int width) {
  const std::size_t length = text == nullptr ? 0 : std::strlen(text);
  if (width > 0 && static_cast<std::size_t>(width) > length) {
    _sLine.append(static_cast<std::size_t>(width) - length, '0');
  }
  _sLine.append(text == nullptr ? "" : text, length);
}

void RecordWriter::writeType(FieldType type) {
  if (type < 0 || type > 0xF) {
    dropRecord();
    throw IOException(L"The field type " + std::to_wstring(static_cast<int>(type)) +
                      L" does not fit one hexadecimal digit");
  }
  countField();
  _sLine += record::kHexDigits[type];
}

void RecordWriter::writeFieldLen(int length) {
  if (length < 0 || length > CArchive::MAX_VALUE_LENGTH) {
    dropRecord();
    throw IOException(L"The value length " + std::to_wstring(length) +
                      L" exceeds the limit of 4095 bytes of a field");
  }
  char text[8];
  _sLine.append(text, static_cast<std::size_t>(
                          record::formatHex(text, static_cast<std::uint32_t>(length), 3)));
}

void RecordWriter::endRecord() {
  if (_pFile == nullptr) {
    dropRecord();
    throw IOException(_bClosed ? L"The archive is closed" : L"The archive is not open for storing");
  }
  _sLine += '0';
  // The length counts the field count, the fields and the closing separator.
  const std::size_t length = _sLine.size() + 2;
  if (length > static_cast<std::size_t>(CArchive::MAX_RECORD_LENGTH)) {
    dropRecord();
    throw IOException(L"The record of " + std::to_wstring(length) +
                      L" characters exceeds the limit of 65535 characters");
  }
  char head[6];
  record::formatHex(head, static_cast<std::uint32_t>(length), 4);
  record::formatHex(head + 4, static_cast<std::uint32_t>(_nFieldCount), 2);
  _sLine += '\n';
  try {
    append(reinterpret_cast<const unsigned char*>(head), 6);
    append(reinterpret_cast<const unsigned char*>(_sLine.data()),
           static_cast<unsigned int>(_sLine.size()));
  } catch (...) {
    dropRecord();
    throw;
  }
  dropRecord();
}

void RecordWriter::append(const unsigned char* bytes, unsigned int count) {
  while (count != 0) {
    if (_nBlock == kBlockSize) {
      flushTarget();
    }
    const std::uint32_t take = std::min<std::uint32_t>(kBlockSize - _nBlock, count);
    std::memcpy(_aBlock + _nBlock, bytes, take);
    _nBlock += take;
    bytes += take;
    count -= take;
  }
}

void RecordWriter::flushTarget() {
  if (_pFile == nullptr) {
    throw IOException(L"The archive is closed");
  }
  flush(_pFile);
}

void RecordWriter::flush(CFileDescriptor* file) {
  if (_bFailed) {
    throw IOException(L"An earlier write to the archive failed");
  }
  const std::uint32_t size = _nBlock;
  SmartPtr<CFileSystem> fileSystem = file->getFileSystem();
  // A write may take fewer bytes than it was given (a signal, or a disk
  // that has just filled up); the rest goes in further writes, and a disk
  // that is really full then reports its error.  Only a write that takes
  // nothing at all ends the block.
  std::uint32_t written = 0;
  while (written < size) {
    std::uint32_t count = 0;
    try {
      count = fileSystem->writeFile(file, _aBlock + written, size - written);
    } catch (...) {
      _bFailed = true;
      throw;
    }
    if (count == 0 || count > size - written) {
      _bFailed = true;
      throw IOException(L"Only " + std::to_wstring(written) + L" of " + std::to_wstring(size) +
                        L" bytes reached the archive file");
    }
    written += count;
  }
  _nBlock = 0;
}

}  // namespace qel
