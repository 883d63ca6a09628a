#include "dg_exception.h"

namespace quodra::tftp {

void RaiseTftpError(int code, const std::string& message) {
  switch (code) {
    case 1: throw EDgTFTPFileNotFound(message);
    case 2: throw EDgTFTPAccessViolation(message);
    case 3: throw EDgTFTPAllocationExceeded(message);
    case 4: throw EDgTFTPIllegalOperation(message);
    case 5: throw EDgTFTPUnknownTransferID(message);
    case 6: throw EDgTFTPFileAlreadyExists(message);
    case 7: throw EDgTFTPNoSuchUser(message);
    case 8: throw EDgTFTPOptionNegotiationFailed(message);
    default: throw EDgTFTPException(message);
  }
}

int TftpErrorCodeOf(const std::exception& e) {
  if (dynamic_cast<const EDgTFTPFileNotFound*>(&e)) return 1;
  if (dynamic_cast<const EDgTFTPAccessViolation*>(&e)) return 2;
  if (dynamic_cast<const EDgTFTPAllocationExceeded*>(&e)) return 3;
  if (dynamic_cast<const EDgTFTPIllegalOperation*>(&e)) return 4;
  if (dynamic_cast<const EDgTFTPUnknownTransferID*>(&e)) return 5;
  if (dynamic_cast<const EDgTFTPFileAlreadyExists*>(&e)) return 6;
  if (dynamic_cast<const EDgTFTPNoSuchUser*>(&e)) return 7;
  if (dynamic_cast<const EDgTFTPOptionNegotiationFailed*>(&e)) return 8;
  return 0;
}

}  // namespace quodra::tftp
