#pragma once
// A UDP component with a default destination (Host, Port) and a default receive time-out.
#include <string>

#include "dg_udp_base.h"

namespace quodra::tftp {

class TDgUDPClient : public TDgUDPBase {
 public:
  explicit TDgUDPClient(QObject* owner = nullptr) : TDgUDPBase(owner) {}

  std::string Host;
  int Port = 0;

  void Send(const std::string& bytes) { SendBuffer(Host, Port, bytes); }
};

}  // namespace quodra::tftp
