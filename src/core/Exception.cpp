#include "qel/core/Exception.h"

#include <memory>

#include "qel/core/StringHelper.h"

namespace qel {

namespace {
// The separator between the type name and the message.
const wchar_t kTypeSeparator[] = L": ";
}  // namespace

CException::CException() = default;
CException::CException(const std::wstring& message) : _sMessage(message) {}
// The UTF-8 text is not shared: a copy makes its own on demand.
CException::CException(const CException& other)
    : std::exception(other), _sMessage(other._sMessage) {}

CException& CException::operator=(const CException& other) {
  if (this != &other) {
    _sMessage = other._sMessage;
    delete _pWhat.exchange(nullptr);
  }
  return *this;
}

CException::~CException() {
  delete _pWhat.load();
}

std::wstring CException::getExceptionType() const {
  return L"CException";
}

std::wstring CException::getMessage() const {
  return _sMessage;
}

std::wstring CException::toString() const {
  if (_sMessage.empty()) {
    return getExceptionType();
  }
  return getExceptionType() + kTypeSeparator + _sMessage;
}

const char* CException::what() const noexcept {
  const std::string* text = _pWhat.load(std::memory_order_acquire);
  if (text != nullptr) {
    return text->c_str();
  }
  try {
    auto fresh = std::make_unique<std::string>(CWin32Helper::toUTF8(CException::toString()));
    std::string* expected = nullptr;
    // Two threads may race to make the text; the first one's is kept.
    if (_pWhat.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
      return fresh.release()->c_str();
    }
    return expected->c_str();
  } catch (...) {
    return "CException";
  }
}

RuntimeException::RuntimeException() = default;
RuntimeException::RuntimeException(const std::wstring& message) : CException(message) {}
RuntimeException::~RuntimeException() = default;
std::wstring RuntimeException::getExceptionType() const {
  return L"RuntimeException";
}

OSException::OSException(std::int32_t errorCode, const std::wstring& message)
    : RuntimeException(message), _nErrorCode(errorCode) {}
OSException::OSException(const OSException& other) = default;

OSException& OSException::operator=(const OSException& other) {
  RuntimeException::operator=(other);
  _nErrorCode = other._nErrorCode;
  return *this;
}

OSException::~OSException() = default;
std::wstring OSException::getExceptionType() const {
  return L"OSException";
}

std::wstring OSException::toString() const {
  return CStringHelper::format("OSException with Error Code(%d)", static_cast<int>(_nErrorCode));
}

std::int32_t OSException::getErrorCode() const {
  return _nErrorCode;
}

IllegalStateException::IllegalStateException() = default;
IllegalStateException::IllegalStateException(const std::wstring& message)
    : RuntimeException(message) {}
IllegalStateException::~IllegalStateException() = default;
std::wstring IllegalStateException::getExceptionType() const {
  return L"IllegalStateException";
}

IOException::IOException() = default;
IOException::IOException(const std::wstring& message) : CException(message) {}
IOException::~IOException() = default;
std::wstring IOException::getExceptionType() const {
  return L"IOException";
}

FileNotFoundException::FileNotFoundException(const std::wstring& message) : IOException(message) {}
FileNotFoundException::~FileNotFoundException() = default;
std::wstring FileNotFoundException::getExceptionType() const {
  return L"FileNotFoundException";
}

InvalidDateException::InvalidDateException() = default;
InvalidDateException::InvalidDateException(const std::wstring& message) : CException(message) {}
InvalidDateException::~InvalidDateException() = default;
std::wstring InvalidDateException::getExceptionType() const {
  return L"InvalidDateException";
}

}  // namespace qel

PIMException::PIMException(const std::wstring& message) : RuntimeException(message) {}
PIMException::~PIMException() = default;
std::wstring PIMException::getExceptionType() const {
  return L"PIMException";
}

PluginException::PluginException(ErrorCode code, const std::wstring& message)
    : RuntimeException(message), _eErrorCode(code) {}
PluginException::PluginException(const PluginException& other) = default;

PluginException& PluginException::operator=(const PluginException& other) {
  RuntimeException::operator=(other);
  _eErrorCode = other._eErrorCode;
  return *this;
}

PluginException::~PluginException() = default;
std::wstring PluginException::getExceptionType() const {
  return L"PluginException";
}

std::wstring PluginException::toString() const {
  return qel::CStringHelper::format("PluginException with Error Code %d",
                                    static_cast<int>(_eErrorCode));
}

PluginException::ErrorCode PluginException::getErrorCode() const {
  return _eErrorCode;
}
