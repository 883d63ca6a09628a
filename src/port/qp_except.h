#pragma once
// Exceptions of the port library and the rule that turns a negative result code into one.
//
//   std::runtime_error
//     EQpException            ErrorCode() = the code it was raised for (0 when none)
//       EGeneral  EOpenComm  ESerialIO  EModem  ETrigger  EPacket  EProtocol  EINI  EFax
//       ETapi  ERas           one family per code group, each with a leaf class per code
//     EQpSocketException      socket layer and socket port (socket error numbers, 9001-9007)
//     EQpStringResourceError  the message-table reader
//     EInOutError             operating-system file errors (-2 ... -162)
//       EOutOfMemory          -8
#include <stdexcept>
#include <string>

#include "port/qp_error_codes.h"

namespace quodra::port {

class EQpException : public std::runtime_error {
 public:
  // Message = QpLoadStr(code).
  explicit EQpException(int code);
  EQpException(const std::string& message, int code);
  int ErrorCode() const { return Code; }

 private:
  int Code = 0;
};

// Families, one per code group.
#define QP_EXCEPTION_FAMILY(Name)                                           \
  class Name : public EQpException {                                        \
   public:                                                                  \
    explicit Name(int code) : EQpException(code) {}                        \
    Name(const std::string& message, int code) : EQpException(message, code) {} \
  };
QP_EXCEPTION_FAMILY(EGeneral)   // 1001-1009
QP_EXCEPTION_FAMILY(EOpenComm)  // 2001-2012
QP_EXCEPTION_FAMILY(ESerialIO)  // 3001-3010
QP_EXCEPTION_FAMILY(EModem)     // 4001-4008
QP_EXCEPTION_FAMILY(ETrigger)   // 5001-5003
QP_EXCEPTION_FAMILY(EPacket)    // 5501-5506
QP_EXCEPTION_FAMILY(EProtocol)  // 6001-6016
QP_EXCEPTION_FAMILY(EINI)       // 7001-7014
QP_EXCEPTION_FAMILY(EFax)       // 8001-8092
QP_EXCEPTION_FAMILY(ETapi)      // 13801-13945
QP_EXCEPTION_FAMILY(ERas)       // 13980
#undef QP_EXCEPTION_FAMILY

// A leaf: one class per code, under its family. Constructed without arguments it carries
// its own (negative) code and the table text of it.
template <class Family, int Code>
class TQpCodeException : public Family {
 public:
  static constexpr int kCode = Code;
  TQpCodeException() : Family(Code) {}
  explicit TQpCodeException(int code) : Family(code) {}
  TQpCodeException(const std::string& message, int code) : Family(message, code) {}
};

// General.
using EBadArgument = TQpCodeException<EGeneral, ecBadArgument>;
using EGotQuitMsg = TQpCodeException<EGeneral, ecGotQuitMsg>;
using EBufferTooBig = TQpCodeException<EGeneral, ecBufferTooBig>;
using EPortNotAssigned = TQpCodeException<EGeneral, ecPortNotAssigned>;
using EInternal = TQpCodeException<EGeneral, ecInternal>;
using EModemNotAssigned = TQpCodeException<EGeneral, ecModemNotAssigned>;
using EPhonebookNotAssigned = TQpCodeException<EGeneral, ecPhonebookNotAssigned>;
using ECannotUseWithWinSock = TQpCodeException<EGeneral, ecCannotUseWithWinSock>;
// Opening a port.
using EBadId = TQpCodeException<EOpenComm, ecBadId>;
using EBaudRate = TQpCodeException<EOpenComm, ecBaudRate>;
using EByteSize = TQpCodeException<EOpenComm, ecByteSize>;
using EDefault = TQpCodeException<EOpenComm, ecDefault>;
using EHardware = TQpCodeException<EOpenComm, ecHardware>;
using EMemory = TQpCodeException<EOpenComm, ecMemory>;
using ECommNotOpen = TQpCodeException<EOpenComm, ecCommNotOpen>;
using EAlreadyOpen = TQpCodeException<EOpenComm, ecAlreadyOpen>;
using ENoHandles = TQpCodeException<EOpenComm, ecNoHandles>;
using ENoTimers = TQpCodeException<EOpenComm, ecNoTimers>;
using ENoPortSelected = TQpCodeException<EOpenComm, ecNoPortSelected>;
using ENotOpenedByTapi = TQpCodeException<EOpenComm, ecNotOpenedByTapi>;
// Device input and output.
using ENullApi = TQpCodeException<ESerialIO, ecNullApi>;
using ERegisterHandlerFailed = TQpCodeException<ESerialIO, ecRegisterHandlerFailed>;
using EPutBlockFail = TQpCodeException<ESerialIO, ecPutBlockFail>;
using EGetBlockFail = TQpCodeException<ESerialIO, ecGetBlockFail>;
using EOutputBufferTooSmall = TQpCodeException<ESerialIO, ecOutputBufferTooSmall>;
using EBufferIsEmpty = TQpCodeException<ESerialIO, ecBufferIsEmpty>;
using ETracingNotEnabled = TQpCodeException<ESerialIO, ecTracingNotEnabled>;
using ELoggingNotEnabled = TQpCodeException<ESerialIO, ecLoggingNotEnabled>;
using EBaseAddressNotSet = TQpCodeException<ESerialIO, ecBaseAddressNotSet>;
// Modem.
using EModemNotStarted = TQpCodeException<EModem, ecModemNotStarted>;
using EModemBusy = TQpCodeException<EModem, ecModemBusy>;
using EModemNotDialing = TQpCodeException<EModem, ecModemNotDialing>;
using EModemNotResponding = TQpCodeException<EModem, ecModemNotResponding>;
using EModemRejectedCommand = TQpCodeException<EModem, ecModemRejectedCommand>;
using EModemStatusMismatch = TQpCodeException<EModem, ecModemStatusMismatch>;
using EModemNoDialtone = TQpCodeException<EModem, ecModemNoDialtone>;
using EModemNoCarrier = TQpCodeException<EModem, ecModemNoCarrier>;
// Triggers.
using ENoMoreTriggers = TQpCodeException<ETrigger, ecNoMoreTriggers>;
using ETriggerTooLong = TQpCodeException<ETrigger, ecTriggerTooLong>;
using EBadTriggerHandle = TQpCodeException<ETrigger, ecBadTriggerHandle>;
// Data packets.
using EStartStringEmpty = TQpCodeException<EPacket, ecStartStringEmpty>;
using EPacketTooSmall = TQpCodeException<EPacket, ecPacketTooSmall>;
using ENoEndCharCount = TQpCodeException<EPacket, ecNoEndCharCount>;
using EEmptyEndString = TQpCodeException<EPacket, ecEmptyEndString>;
using EZeroSizePacket = TQpCodeException<EPacket, ecZeroSizePacket>;
using EPacketTooLong = TQpCodeException<EPacket, ecPacketTooLong>;
// Dial-up.
using ERasLoadFail = TQpCodeException<ERas, ecRasLoadFail>;
// Settings-database, fax and telephony codes have leaves of the same form,
// TQpCodeException<EINI, -7001> and so on; CheckException raises them.

class EQpSocketException : public std::runtime_error {
 public:
  // Message = QpLoadStr(code); the code is kept as given (a positive socket error number).
  explicit EQpSocketException(int code);
  EQpSocketException(const std::string& message, int code);
  // The socket layer is unusable: text 9004 with %s replaced by the text of `startupError`.
  static EQpSocketException NotInitialised(int startupError);
  int ErrorCode() const { return Code; }

 private:
  int Code = 0;
};

class EQpStringResourceError : public std::runtime_error {
 public:
  explicit EQpStringResourceError(const std::string& message) : std::runtime_error(message) {}
};

// Operating-system file errors raised for codes -2 ... -162.
class EInOutError : public std::runtime_error {
 public:
  EInOutError(const std::string& message, int code) : std::runtime_error(message), Code(code) {}
  int ErrorCode() const { return Code; }

 private:
  int Code = 0;
};

class EOutOfMemory : public EInOutError {
 public:
  using EInOutError::EInOutError;
};

// Raises the exception of `code` when it is below 0, otherwise answers it. `loading` stands for
// a port that is being read from its stored form: no exception is raised then.
int CheckException(const void* port, int code, bool loading = false);
inline int CheckException(int code) { return CheckException(nullptr, code); }

// Throws the exception class of a negative code unconditionally (the work of CheckException).
[[noreturn]] void RaiseForCode(int code);

}  // namespace quodra::port
