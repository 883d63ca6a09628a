#pragma once
// The trivial-FTP transfer mode: downloads the profile's one source file from the TFTP
// server into the destination, replacing it only once the file arrived whole, or appending
// to an existing destination through a temporary file of its own beside the destination.
#include <QObject>
#include <cstdint>
#include <string>

#include "tftp/dg_trivial_ftp.h"

class TMainFrm;

class TTftpJob : public QObject {
  Q_OBJECT
 public:
  explicit TTftpJob(TMainFrm& frm);

  // Runs the whole job; returns when the download is over (RunTftp).
  void Run();

  // The TFTP client of the window (Port 69, ReceiveTimeout 4000, RequestedBlockSize 512).
  quodra::tftp::TDgTrivialFTP* TFTP1;

  // The download of an append-mode run lands in a new file of this stem in the destination's
  // folder (see CreateUniqueFile), removed again whatever happens.
  static constexpr const char* kTempFileStem = "temp.tftp";

 private:
  void Download(const std::string& source, const std::string& dest);
  void Replace(const std::string& source, const std::string& dest);
  void Append(const std::string& source, const std::string& dest);
  // The profile's BlockSize and WindowSize; blank keeps the lock-step 512-byte request.
  void ApplyTransferOptions();
  void TFTP1Status(quodra::tftp::TDgComponent* sender, quodra::tftp::TDgStatus status, const std::string& text);
  void TFTP1Work(quodra::tftp::TDgComponent* sender, quodra::tftp::TWorkMode mode, int64_t count);
  void TFTP1WorkBegin(quodra::tftp::TDgComponent* sender, quodra::tftp::TWorkMode mode, int64_t countMax);

  TMainFrm& Frm;
  std::string Total;  // " of N" once the server announced the size
  static constexpr int64_t kEventPassMs = 20;  // the event loop runs at most this often
  int64_t LastEventPass = 0;
};
