#include "port/qp_except.h"

#include <utility>

#include "port/qp_str_mgr.h"

namespace quodra::port {
namespace {

// Raises the leaf of `code` when it lies in [First, Last] and has a leaf (every code of the
// range does); answers false otherwise.
template <class Family, int First, int... I>
bool RaiseLeafIn(int code, std::integer_sequence<int, I...>) {
  bool raised = false;
  (void)((code == -(First + I) ? (throw TQpCodeException<Family, -(First + I)>(), true) : false) || ...);
  return raised;
}

template <class Family, int First, int Last>
bool RaiseLeafRange(int code) {
  if (code > -First || code < -Last) return false;
  return RaiseLeafIn<Family, First>(code, std::make_integer_sequence<int, Last - First + 1>{});
}

}  // namespace

EQpException::EQpException(int code) : std::runtime_error(QpLoadStr(code)), Code(code) {}
EQpException::EQpException(const std::string& message, int code) : std::runtime_error(message), Code(code) {}

EQpSocketException::EQpSocketException(int code) : std::runtime_error(QpLoadStr(code)), Code(code) {}
EQpSocketException::EQpSocketException(const std::string& message, int code)
    : std::runtime_error(message), Code(code) {}

EQpSocketException EQpSocketException::NotInitialised(int startupError) {
  return EQpSocketException(FormatTableText(QpLoadStr(ecWinsockNotInit), QpLoadStr(startupError)),
                            ecWinsockNotInit);
}

void RaiseForCode(int code) {
  // Codes with a class of their own (-1001 and -3002 have none).
  RaiseLeafRange<EGeneral, 1002, 1009>(code);
  RaiseLeafRange<EOpenComm, 2001, 2012>(code);
  RaiseLeafRange<ESerialIO, 3001, 3001>(code);
  RaiseLeafRange<ESerialIO, 3003, 3010>(code);
  RaiseLeafRange<EModem, 4001, 4008>(code);
  RaiseLeafRange<ETrigger, 5001, 5003>(code);
  RaiseLeafRange<EPacket, 5501, 5506>(code);
  RaiseLeafRange<EINI, 7001, 7014>(code);
  RaiseLeafRange<EFax, 8001, 8005>(code);
  RaiseLeafRange<EFax, 8050, 8055>(code);
  RaiseLeafRange<EFax, 8060, 8075>(code);
  RaiseLeafRange<EFax, 8080, 8083>(code);
  RaiseLeafRange<EFax, 8085, 8085>(code);
  RaiseLeafRange<EFax, 8087, 8092>(code);
  RaiseLeafRange<ETapi, 13801, 13803>(code);
  RaiseLeafRange<ETapi, 13805, 13848>(code);
  RaiseLeafRange<ETapi, 13850, 13886>(code);
  RaiseLeafRange<ETapi, 13928, 13945>(code);
  RaiseLeafRange<ERas, 13980, 13980>(code);
  // Operating-system file errors.
  if (code <= -2 && code >= -162) {
    if (code == ecOutOfMemory) throw EOutOfMemory(QpLoadStr(code), code);
    throw EInOutError(QpLoadStr(code), code);
  }
  throw EQpException("Port exception", 0);
}

int CheckException(const void* /*port*/, int code, bool loading) {
  if (code < 0 && !loading) RaiseForCode(code);
  return code;
}

}  // namespace quodra::port
