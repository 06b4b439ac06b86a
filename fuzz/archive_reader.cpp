// The archive record reader over arbitrary file content.
//
// Input layout: the last byte n says how many bytes before it are the call
// program; everything in front of the program is the file.  Each program
// byte picks one reader call (some take the next program byte as their
// argument).  When the program ends, the rest of the file is read record by
// record.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"
#include "qel/io/File.h"

namespace {

using qel::CArchive;
using qel_fuzz::ScratchDir;

class ProbeArchive : public CArchive {
 public:
  using CArchive::CArchive;
  using CArchive::readValue;
};

bool isKnownCode(CArchive::RetError code) {
  return code >= CArchive::RET_OK && code <= CArchive::RET_END_OF_DATA;
}

struct Program {
  const std::uint8_t* ops;
  std::size_t count;
  std::size_t pos = 0;
  bool done() const { return pos >= count; }
  std::uint8_t next() { return done() ? 0 : ops[pos++]; }
};

class Reader {
 public:
  Reader(ProbeArchive& ar, std::size_t fileSize) : _ar(ar), _fileSize(fileSize) {}

  void step(std::uint8_t op, Program& program) {
    CArchive::RetError code = CArchive::RET_OK;
    switch (op % 24) {
      case 0:
      case 1:
      case 2:
        startLine();
        return;
      case 3: {
        bool value = false;
        _ar.readBoolean(value, code);
        break;
      }
      case 4: {
        short value = 0;
        _ar.readShort(value, code);
        break;
      }
      case 5: {
        unsigned short value = 0;
        _ar.readUShort(value, code);
        break;
      }
      case 6: {
        int value = 0;
        _ar.readInteger(value, code);
        break;
      }
      case 7: {
        std::int32_t value = 0;
        _ar.readLong(value, code);
        break;
      }
      case 8: {
        std::uint32_t value = 0;
        _ar.readULong(value, code);
        break;
      }
      case 9: {
        unsigned long long value = 0;
        _ar.readULongLong(value, code);
        break;
      }
      case 10:
      case 11:
        readString(code);
        break;
      case 12:
        readDate(code);
        break;
      case 13:
      case 14:
        readData(code);
        break;
      case 15: {
        const int count = static_cast<int>(program.next()) - 8;
        const std::string text = _ar.read(count, code);
        QEL_FUZZ_CHECK(code != CArchive::RET_OK || text.size() == static_cast<std::size_t>(count));
        QEL_FUZZ_CHECK(code == CArchive::RET_OK || text.empty());
        break;
      }
      case 16:
        _ar.readType(static_cast<CArchive::FieldType>(program.next() & 0xF), code);
        break;
      case 17: {
        int length = -1;
        _ar.readFieldLen(length, code);
        QEL_FUZZ_CHECK(code != CArchive::RET_OK || (length >= -0xFFF && length <= 0xFFF));
        break;
      }
      case 18:
        _ar.readCheckSeparator(code);
        break;
      case 19: {
        const int need = (static_cast<int>(program.next()) - 1) * 97;
        _ar.checkLengthAndLoadNext(need, code);
        break;
      }
      case 20: {
        unsigned char bytes[300];
        const unsigned int count = program.next() + 44u;
        const unsigned int copied = _ar.readValue(bytes, count);
        QEL_FUZZ_CHECK(copied <= count);
        _rawRead += copied;
        QEL_FUZZ_CHECK(_rawRead <= _fileSize);
        break;
      }
      case 21: {
        qel::CDateTime date;
        _ar >> date;
        break;
      }
      case 22:
        _ar.close();
        QEL_FUZZ_CHECK(_ar.isClosed());
        _ar.readStartLine(code);
        QEL_FUZZ_CHECK(code == CArchive::RET_END_OF_DATA);
        break;
      default: {
        CArchive::RetError ignored = CArchive::RET_OK;
        _ar.readCheckSeparator(ignored);
        _ar.readFieldLen(_lastLength, code);
        break;
      }
    }
    QEL_FUZZ_CHECK(isKnownCode(code));
  }

  bool startLine() {
    CArchive::RetError code = CArchive::RET_OK;
    _ar.readStartLine(code);
    QEL_FUZZ_CHECK(isKnownCode(code));
    if (code == CArchive::RET_OK) {
      QEL_FUZZ_CHECK(_ar.getRecordNumber() != 0);
      QEL_FUZZ_CHECK(_ar.getRecordOffset() < _fileSize);
    }
    return code == CArchive::RET_OK;
  }

  void readString(CArchive::RetError& code) {
    std::string value = "untouched";
    _ar.readString(value, code);
    QEL_FUZZ_CHECK(code != CArchive::RET_OK ||
                   value.size() <= static_cast<std::size_t>(CArchive::MAX_VALUE_LENGTH));
  }

  void readDate(CArchive::RetError& code) {
    qel::CDateTime value;
    try {
      _ar.readDate(value, code);
    } catch (const qel::InvalidDateException&) {
      return;
    }
    if (code == CArchive::RET_OK && value.isValid()) {
      unsigned short year = 0, month = 0, day = 0, dayOfWeek = 0;
      value.getDate(year, month, day, dayOfWeek);
      QEL_FUZZ_CHECK(qel::CDateTime::IsValidDate(year, month, day));
    }
  }

  void readData(CArchive::RetError& code) {
    unsigned char* data = nullptr;
    unsigned int size = 12345;
    _ar.readData(&data, size, code);
    if (code == CArchive::RET_OK) {
      QEL_FUZZ_CHECK(size <= static_cast<unsigned int>(CArchive::MAX_VALUE_LENGTH));
      QEL_FUZZ_CHECK((size == 0) == (data == nullptr));
    }
    delete[] data;
  }

  // What a component loader does with a record: kind, name, then a text or
  // a byte value.
  void componentRecord() {
    CArchive::RetError code = CArchive::RET_OK;
    short kind = 0;
    _ar.readShort(kind, code);
    if (code != CArchive::RET_OK) {
      return;
    }
    readString(code);
    if (code != CArchive::RET_OK) {
      return;
    }
    if (kind == 4) {
      readData(code);
    } else {
      readString(code);
    }
  }

 private:
  ProbeArchive& _ar;
  std::size_t _fileSize;
  std::size_t _rawRead = 0;
  int _lastLength = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t fileSize = size;
  Program program{nullptr, 0};
  if (size != 0) {
    const std::size_t wanted = data[size - 1];
    program.count = wanted < size - 1 ? wanted : size - 1;
    fileSize = size - 1 - program.count;
    program.ops = data + fileSize;
  }

  static const std::string path = ScratchDir::instance().file("archive.qel");
  ScratchDir::instance().write(path, data, fileSize);
  qel::CFile file(ScratchDir::wide(path));
  ProbeArchive ar(file, CArchive::LOAD);
  QEL_FUZZ_CHECK(ar.isLoaded() && ar.isLoading() && !ar.isStoring());

  Reader reader(ar, fileSize);
  while (!program.done()) {
    reader.step(program.next(), program);
  }
  // The rest of the file, record by record; every record consumes at least
  // its length field, so this ends.
  std::size_t records = 0;
  while (reader.startLine()) {
    reader.componentRecord();
    ++records;
    QEL_FUZZ_CHECK(records <= fileSize);
  }
  ar.close();
  return 0;
}
