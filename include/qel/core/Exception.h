#ifndef QEL_CORE_EXCEPTION_H_
#define QEL_CORE_EXCEPTION_H_

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "qel/core/Export.h"

namespace qel {

// Root of every exception that leaves the library.  toString() is deliberately
// not virtual here: through a CException, RuntimeException or IOException
// reference it always composes "type: message", whatever the dynamic class.
// OSException and PluginException introduce a virtual toString of their own.
class QEL_API CException : public std::exception {
 public:
  CException();
  explicit CException(const std::wstring& message);
  CException(const CException& other);
  CException& operator=(const CException& other);
  ~CException() override;

  virtual std::wstring getExceptionType() const;

  // The message given at construction, empty for the default constructor.
  std::wstring getMessage() const;

  // The type name alone when the message is empty, else type, ": ", message.
  std::wstring toString() const;

  // The UTF-8 form of toString() as composed by CException.  Made on the
  // first call and kept; safe to call from several threads at once.
  const char* what() const noexcept override;

 private:
  std::wstring _sMessage;
  mutable std::atomic<std::string*> _pWhat{nullptr};
};

class QEL_API RuntimeException : public CException {
 public:
  RuntimeException();
  explicit RuntimeException(const std::wstring& message);
  RuntimeException(const RuntimeException&) = default;
  RuntimeException& operator=(const RuntimeException&) = default;
  ~RuntimeException() override;
  std::wstring getExceptionType() const override;
};

// Carries the operating-system error number of the failed call.
class QEL_API OSException : public RuntimeException {
 public:
  OSException(std::int32_t errorCode, const std::wstring& message);
  OSException(const OSException& other);
  OSException& operator=(const OSException& other);
  ~OSException() override;

  std::wstring getExceptionType() const override;
  // "OSException with Error Code(N)"; the message is not part of it.
  virtual std::wstring toString() const;
  std::int32_t getErrorCode() const;

 private:
  std::int32_t _nErrorCode;
};

class QEL_API IllegalStateException : public RuntimeException {
 public:
  IllegalStateException();
  explicit IllegalStateException(const std::wstring& message);
  IllegalStateException(const IllegalStateException&) = default;
  IllegalStateException& operator=(const IllegalStateException&) = default;
  ~IllegalStateException() override;
  std::wstring getExceptionType() const override;
};

class QEL_API IOException : public CException {
 public:
  IOException();
  explicit IOException(const std::wstring& message);
  IOException(const IOException&) = default;
  IOException& operator=(const IOException&) = default;
  ~IOException() override;
  std::wstring getExceptionType() const override;
};

class QEL_API FileNotFoundException : public IOException {
 public:
  explicit FileNotFoundException(const std::wstring& message);
  FileNotFoundException(const FileNotFoundException&) = default;
  FileNotFoundException& operator=(const FileNotFoundException&) = default;
  ~FileNotFoundException() override;
  std::wstring getExceptionType() const override;
};

class QEL_API InvalidDateException : public CException {
 public:
  InvalidDateException();
  explicit InvalidDateException(const std::wstring& message);
  InvalidDateException(const InvalidDateException&) = default;
  InvalidDateException& operator=(const InvalidDateException&) = default;
  ~InvalidDateException() override;
  std::wstring getExceptionType() const override;
};

}  // namespace qel

// Offered to the applications, which throw them from their own code; the
// library never throws these two.
class QEL_API PIMException : public qel::RuntimeException {
 public:
  explicit PIMException(const std::wstring& message);
  PIMException(const PIMException&) = default;
  PIMException& operator=(const PIMException&) = default;
  ~PIMException() override;
  std::wstring getExceptionType() const override;
};

class QEL_API PluginException : public qel::RuntimeException {
 public:
  // The applications define the meaning of the codes; the library only keeps
  // the value it is given.
  enum ErrorCode : std::int32_t {};

  PluginException(ErrorCode code, const std::wstring& message);
  PluginException(const PluginException& other);
  PluginException& operator=(const PluginException& other);
  ~PluginException() override;

  std::wstring getExceptionType() const override;
  // "PluginException with Error Code N"; the message is not part of it.
  virtual std::wstring toString() const;
  ErrorCode getErrorCode() const;

 private:
  ErrorCode _eErrorCode;
};

#endif  // QEL_CORE_EXCEPTION_H_
