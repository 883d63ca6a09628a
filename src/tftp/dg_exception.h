#pragma once
// The exceptions of the UDP layer and the TFTP client. Each carries a fixed text; the
// socket error adds the socket error number, the TFTP family maps to the TFTP error codes.
#include <stdexcept>
#include <string>

namespace quodra::tftp {

class EDgException : public std::runtime_error {
 public:
  explicit EDgException(const std::string& message) : std::runtime_error(message) {}
};

// Failures that are part of normal operation and need no report of their own.
class EDgSilentException : public EDgException {
 public:
  using EDgException::EDgException;
};
class EDgConnClosedGracefully : public EDgSilentException {
 public:
  EDgConnClosedGracefully() : EDgSilentException("Connection Closed Gracefully.") {}
};

class EDgInvalidServiceName : public EDgException {
 public:
  using EDgException::EDgException;
};
class EDgInvalidSocket : public EDgException {
 public:
  EDgInvalidSocket() : EDgException("Cannot allocate socket.") {}
};

class EDgSocketError : public EDgException {
 public:
  EDgSocketError(int lastError, const std::string& message) : EDgException(message), LastError(lastError) {}
  int LastError;
};

// Raised when the platform's socket library cannot be loaded or called.
class EDgWS2StubError : public EDgException {
 public:
  EDgWS2StubError(int win32Error, const std::string& errorText, const std::string& title)
      : EDgException(title + ": " + errorText), Win32Error(win32Error), Text(errorText), Title(title) {}
  int Win32Error;
  std::string Text;
  std::string Title;
};

class EDgStackError : public EDgException {
 public:
  using EDgException::EDgException;
};
class EDgStackInitializationFailed : public EDgStackError {
 public:
  EDgStackInitializationFailed() : EDgStackError("Winsock Initialization Error.") {}
};
class EDgStackSetSizeExceeded : public EDgStackError {
 public:
  EDgStackSetSizeExceeded() : EDgStackError("Set Size Exceeded.") {}
};
class EDgInvalidIPAddress : public EDgStackError {
 public:
  explicit EDgInvalidIPAddress(const std::string& text) : EDgStackError(text + " is not a valid IP address.") {}
};

class EDgSocketHandleError : public EDgException {
 public:
  using EDgException::EDgException;
};
class EDgPackageSizeTooBig : public EDgSocketHandleError {
 public:
  EDgPackageSizeTooBig() : EDgSocketHandleError("Package Size Too Big.") {}
};
class EDgNotAllBytesSent : public EDgSocketHandleError {
 public:
  EDgNotAllBytesSent() : EDgSocketHandleError("Not all bytes sent.") {}
};

// TFTP errors; the class of each one corresponds to a TFTP error code (see TftpErrorCodeOf).
class EDgTFTPException : public EDgException {
 public:
  using EDgException::EDgException;
};
#define QUODRA_DG_TFTP_ERROR(Name)                      \
  class Name : public EDgTFTPException {                \
   public:                                              \
    using EDgTFTPException::EDgTFTPException;           \
  };
QUODRA_DG_TFTP_ERROR(EDgTFTPFileNotFound)             // 1
QUODRA_DG_TFTP_ERROR(EDgTFTPAccessViolation)          // 2
QUODRA_DG_TFTP_ERROR(EDgTFTPAllocationExceeded)       // 3
QUODRA_DG_TFTP_ERROR(EDgTFTPIllegalOperation)         // 4
QUODRA_DG_TFTP_ERROR(EDgTFTPUnknownTransferID)        // 5
QUODRA_DG_TFTP_ERROR(EDgTFTPFileAlreadyExists)        // 6
QUODRA_DG_TFTP_ERROR(EDgTFTPNoSuchUser)               // 7
QUODRA_DG_TFTP_ERROR(EDgTFTPOptionNegotiationFailed)  // 8
#undef QUODRA_DG_TFTP_ERROR

// Raises the exception class of a TFTP error code (0 and codes above 8: EDgTFTPException).
[[noreturn]] void RaiseTftpError(int code, const std::string& message);
// The TFTP error code that stands for an exception (0 for every class without one).
int TftpErrorCodeOf(const std::exception& e);

// A text that should hold a decimal integer does not.
class EConvertError : public std::runtime_error {
 public:
  explicit EConvertError(const std::string& text) : std::runtime_error("'" + text + "' is not a valid integer value") {}
};

}  // namespace quodra::tftp
