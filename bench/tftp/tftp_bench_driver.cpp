// Usage: quodra_tftp_bench_driver HOST PORT REMOTE-FILE LOCAL-FILE BLOCKSIZE [WINDOWSIZE]
// Downloads one file as the TFTP transfer job does and exits 0 on success, 1 on failure.
// With WINDOWSIZE the request also asks for that window and the size, as a profile with
// WindowSize does.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "host/event_wait.h"
#include "tftp/dg_trivial_ftp.h"

using namespace quodra::tftp;

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: %s HOST PORT REMOTE-FILE LOCAL-FILE BLOCKSIZE [WINDOWSIZE]\n", argv[0]);
    return 2;
  }
  QCoreApplication app(argc, argv);
  TDgTrivialFTP tftp;
  tftp.Host = argv[1];
  tftp.Port = std::atoi(argv[2]);
  tftp.ReceiveTimeout = 4000;
  tftp.RequestedBlockSize = std::atoi(argv[5]);
  tftp.LingerApart = true;  // as the program: the final wait does not hold the download
  tftp.TransferMode = tfOctet;
  if (argc == 7) {
    tftp.RequestedWindowSize = std::atoi(argv[6]);
    tftp.RequestTransferSize = true;
  }
  std::string byteCounter;  // stands in for the window's byte counter
  tftp.OnWorkBegin = [](TDgComponent*, TWorkMode, int64_t) { quodra::host::ProcessPendingEvents(); };
  tftp.OnWork = [&](TDgComponent*, TWorkMode, int64_t count) {
    byteCounter = std::to_string(count) +
                  (tftp.TransferSize >= 0 ? " of " + std::to_string(tftp.TransferSize) : std::string()) + " bytes";
    quodra::host::ProcessPendingEvents();
  };
  try {
    tftp.Get(argv[3], argv[4]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "download failed: %s\n", e.what());
    return 1;
  }
  std::printf("%s\n", byteCounter.c_str());
  return 0;
}
