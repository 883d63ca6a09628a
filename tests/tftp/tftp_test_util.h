#pragma once
// A TFTP client with its events recorded, for the download tests.
#include <string>
#include <vector>

#include "tftp/dg_trivial_ftp.h"

namespace quodra::tftp::test {

struct TRecordedClient {
  explicit TRecordedClient(int port, int receiveTimeout = 3000) {
    Client.Host = "127.0.0.1";
    Client.Port = port;
    Client.ReceiveTimeout = receiveTimeout;
    Client.OnWorkBegin = [this](TDgComponent*, TWorkMode mode, int64_t max) {
      Events.push_back("begin " + std::to_string(mode) + " " + std::to_string(max));
    };
    Client.OnWork = [this](TDgComponent*, TWorkMode mode, int64_t count) { Counts.push_back(count); };
    Client.OnWorkEnd = [this](TDgComponent*, TWorkMode mode) { Events.push_back("end " + std::to_string(mode)); };
  }
  TDgTrivialFTP Client;
  std::vector<std::string> Events;
  std::vector<int64_t> Counts;
};

}  // namespace quodra::tftp::test
