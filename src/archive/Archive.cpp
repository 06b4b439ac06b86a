#include "qel/archive/Archive.h"

#include <charconv>
#include <exception>
#include <utility>

#include "archive/ArchiveState.h"
#include "qel/core/Exception.h"
#include "qel/platform/ConsoleLogger.h"

namespace qel {

// ---- opening and closing ----------------------------------------------------

CArchive::CArchive(CFile& file, Mode mode) : _pState(new State(mode)) {
  const std::wstring path = file.getPath();
  if (path.empty()) {
    throw IOException(L"File name is empty");
  }
  SmartPtr<CFileSystem> fileSystem = CFileSystem::getFileSystem();
  const int flags = fileSystem->getFileAttributeFlags(path);
  if ((flags & CFileSystem::FA_DIRECTORY) != 0) {
    throw IOException(path + L" is a directory");
  }
  // A file that is there has its directory.
  const std::wstring parent = file.getParent();
  if ((flags & CFileSystem::FA_EXISTS) == 0 &&
      (fileSystem->getFileAttributeFlags(parent) & CFileSystem::FA_EXISTS) == 0) {
    fileSystem->createDirectory(parent);
  }
  State& s = *_pState;
  if (mode == LOAD) {
    // Records are read from the start to the end of the file.
    s.pFile = fileSystem->openFile(path, CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING,
                                   CFileSystem::OF_SEQUENTIAL_READ);
  } else {
    // The file is complete only when the archive closes it, so its blocks
    // need to be on the disk only then: all of them before close returns.
    s.pFile = fileSystem->openFile(path, CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_ALWAYS,
                                   CFileSystem::OF_DURABLE_AT_CLOSE);
  }
  if (!s.pFile) {
    return;
  }
  if (mode == LOAD) {
    s.reader.open(s.pFile.get());
    s.bLoaded = true;
  } else {
    s.writer.setTarget(s.pFile.get());
  }
}

CArchive::CArchive(CFileReplacement& target) : _pState(new State(STORE)) {
  State& s = *_pState;
  s.bOwnsFile = false;
  s.pFile = target.getDescriptor();
  if (!s.pFile) {
    throw IOException(target.getTarget().getPath() + L": the replacement is closed");
  }
  s.writer.setTarget(s.pFile.get());
}

CArchive::~CArchive() {
  if (_pState->bClosed) {
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
  State& s = *_pState;
  if (s.bClosed) {
    return;
  }
  s.bClosed = true;
  s.writer.dropRecord();
  s.writer.markClosed();
  s.reader.close();
  SmartPtr<CFileDescriptor> descriptor(std::move(s.pFile));
  if (!descriptor) {
    s.writer.discardPending();
    return;
  }
  try {
    if (s.eMode == STORE && s.writer.hasPending() && !s.writer.hasFailed()) {
      s.writer.flush(descriptor.get());
    }
  } catch (...) {
    s.writer.discardPending();
    try {
      if (s.bOwnsFile) {
        descriptor->close();
      }
    } catch (...) {
      // The write failure is the one the caller needs to see.
    }
    throw;
  }
  s.writer.discardPending();
  if (s.bOwnsFile) {
    descriptor->close();
  }
}

bool CArchive::isLoading() const {
  return (_pState->eMode & LOAD) != 0;
}

bool CArchive::isStoring() const {
  return (_pState->eMode & STORE) != 0;
}

bool CArchive::isLoaded() const {
  return _pState->bLoaded;
}

bool CArchive::isClosed() const {
  return _pState->bClosed;
}

void CArchive::setStrict(bool strict) {
  _pState->writer.setStrict(strict);
}

bool CArchive::isStrict() const {
  return _pState->writer.isStrict();
}

// ---- writing ----------------------------------------------------------------

void CArchive::writeBoolean(bool value, RetError& code) {
  code = RET_OK;
  // The value is one character whatever the value; false is the width
  // filling of an empty text.
  _pState->writer.writeField(FIELD_BOOLEAN, value ? "1" : "0", 1);
}

void CArchive::writeShort(short value, RetError& code) {
  code = RET_OK;
  _pState->writer.writeNumber(value, FIELD_SHORT);
}

void CArchive::writeUShort(unsigned short value, RetError& code) {
  code = RET_OK;
  _pState->writer.writeNumber(value, FIELD_USHORT);
}

void CArchive::writeInteger(int value, RetError& code) {
  code = RET_OK;
  _pState->writer.writeNumber(value, FIELD_INTEGER);
}

void CArchive::writeLong(std::int32_t value, RetError& code) {
  code = RET_OK;
  _pState->writer.writeNumber(value, FIELD_LONG);
}

void CArchive::writeULong(std::uint32_t value, RetError& code) {
  code = RET_OK;
  _pState->writer.writeNumber(value, FIELD_ULONG);
}

void CArchive::writeULongLong(unsigned long long value, RetError& code) {
  code = RET_OK;
  char text[30];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  _pState->writer.writeField(FIELD_ULONGLONG, text, static_cast<std::size_t>(result.ptr - text));
}

void CArchive::writeString(std::string value, RetError& code) {
  code = RET_OK;
  _pState->writer.writeText(value.data(), value.size());
}

void CArchive::writeDate(CDateTime value, RetError& code) {
  code = RET_OK;
  const std::string text = value.isValid() ? value.toByteString(true) : std::string();
  _pState->writer.writeField(FIELD_DATE, text.data(), text.size());
}

void CArchive::writeData(unsigned char* data, unsigned int size, RetError& code) {
  code = RET_OK;
  _pState->writer.writeData(data, size);
}

void CArchive::writeEndLine(RetError& code) {
  code = RET_OK;
  _pState->writer.endRecord();
}

void CArchive::write(const char* text, int width, RetError& /*code*/) {
  _pState->writer.writePadded(text, width);
}

void CArchive::writeSeparator(RetError& /*code*/) {
  _pState->writer.writePadded("0", 1);
}

void CArchive::writeType(FieldType type, RetError& /*code*/) {
  _pState->writer.writeType(type);
}

void CArchive::writeFieldLen(int length, RetError& /*code*/) {
  _pState->writer.writeFieldLen(length);
}

void CArchive::appendValue(const unsigned char* bytes, unsigned int count) {
  _pState->writer.append(bytes, count);
}

void CArchive::appendValue(unsigned char byte) {
  appendValue(&byte, 1);
}

// ---- reading ----------------------------------------------------------------

void CArchive::checkLengthAndLoadNext(int need, RetError& code) {
  _pState->reader.checkLengthAndLoadNext(need, code);
}

void CArchive::readStartLine(RetError& code) {
  _pState->reader.startRecord(code);
}

std::string CArchive::read(int count, RetError& code) {
  return _pState->reader.read(count, code);
}

void CArchive::readCheckSeparator(RetError& code) {
  _pState->reader.readCheckSeparator(code);
}

void CArchive::readType(FieldType expected, RetError& code) {
  _pState->reader.readType(expected, code);
}

void CArchive::readFieldLen(int& length, RetError& code) {
  _pState->reader.readFieldLen(length, code);
}

void CArchive::readBoolean(bool& value, RetError& code) {
  _pState->reader.readBoolean(value, code);
}

void CArchive::readShort(short& value, RetError& code) {
  std::int32_t number = 0;
  if (_pState->reader.readLong(FIELD_SHORT, number, code)) {
    // The low 16 bits of the 32-bit reading.
    value = static_cast<short>(static_cast<std::uint16_t>(number));
  }
}

void CArchive::readUShort(unsigned short& value, RetError& code) {
  std::int32_t number = 0;
  if (_pState->reader.readLong(FIELD_USHORT, number, code)) {
    value = static_cast<unsigned short>(number);
  }
}

void CArchive::readInteger(int& value, RetError& code) {
  std::int32_t number = 0;
  if (_pState->reader.readLong(FIELD_INTEGER, number, code)) {
    value = number;
  }
}

void CArchive::readLong(std::int32_t& value, RetError& code) {
  _pState->reader.readLong(FIELD_LONG, value, code);
}

void CArchive::readULong(std::uint32_t& value, RetError& code) {
  _pState->reader.readULong(value, code);
}

void CArchive::readULongLong(unsigned long long& value, RetError& code) {
  _pState->reader.readULongLong(value, code);
}

void CArchive::readString(std::string& value, RetError& code) {
  _pState->reader.readString(value, code);
}

void CArchive::readDate(CDateTime& value, RetError& code) {
  _pState->reader.readDate(value, code);
}

void CArchive::readData(unsigned char** data, unsigned int& size, RetError& code) {
  _pState->reader.readData(data, size, code);
}

unsigned int CArchive::readValue(unsigned char* bytes, unsigned int count) {
  return _pState->reader.readRaw(bytes, count);
}

std::size_t CArchive::getInputCapacity() const {
  return _pState->reader.inputCapacity();
}

std::uint32_t CArchive::getRecordNumber() const {
  return _pState->reader.recordNumber();
}

std::uint64_t CArchive::getRecordOffset() const {
  return _pState->reader.recordOffset();
}

std::int32_t CArchive::getRecordLength() const {
  return _pState->reader.recordLength();
}

std::int32_t CArchive::getFieldCount() const {
  return isStoring() ? _pState->writer.fieldCount() : _pState->reader.fieldCount();
}

}  // namespace qel
