#include "tftp_job.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "app/append_file.h"
#include "app/digits_to_int.h"
#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "host/byte_text.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/local_output_file.h"
#include "host/stop_signals.h"
#include "host/text_util.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"
#include "tftp/dg_exception.h"
#include "tftp/tftp_packet.h"

using namespace quodra::tftp;
using quodra::host::Trim;

namespace {

constexpr int kDefaultTftpPort = 69;

// A local file that could not be made, closed or put in place.
class ELocalFileError : public std::runtime_error {
 public:
  explicit ELocalFileError(int error) : std::runtime_error(std::strerror(error)), Errno(error) {}
  int Errno;
};

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Why a download failed, for the log: the system's text where the system gave one.
std::string ReasonOf(const std::exception& e) {
  if (const auto* w = dynamic_cast<const EWriteError*>(&e); w && w->Errno) return std::strerror(w->Errno);
  if (const auto* f = dynamic_cast<const ELocalFileError*>(&e)) return std::strerror(f->Errno);
  std::string text = e.what();
  for (auto& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A descriptor or path kept only for the run: closed and removed on every path out.
struct TTempFile {
  int Fd = -1;
  std::string Path;
  ~TTempFile() {
    if (Fd >= 0) ::close(Fd);
    if (!Path.empty()) ::unlink(Path.c_str());
  }
};


}  // namespace

TTftpJob::TTftpJob(TMainFrm& frm) : QObject(&frm), TFTP1(new TDgTrivialFTP(this)), Frm(frm) {
  TFTP1->Port = 69;
  TFTP1->ReceiveTimeout = 4000;
  TFTP1->RequestedBlockSize = 512;
  // The job ends (file synced and in place, window closed) while a lost last ACK can still
  // be answered.
  TFTP1->LingerApart = true;
  TFTP1->OnStatus = [this](TDgComponent* s, TDgStatus st, const std::string& t) { TFTP1Status(s, st, t); };
  TFTP1->OnWork = [this](TDgComponent* s, TWorkMode m, int64_t c) { TFTP1Work(s, m, c); };
  TFTP1->OnWorkBegin = [this](TDgComponent* s, TWorkMode m, int64_t c) { TFTP1WorkBegin(s, m, c); };
}

void TTftpJob::Run() {
  const auto& opt = *Frm.VarnOptFrm->ui;
  try {
    Frm.AbortRequested = false;

    // An FTP session that is still open has been stopped by TMainFrm::RunTftp before it
    // called Run: the window holds the FTP engine.
    if (TFTP1->Active()) {
      Frm.Log("Reset active connection!");
      TFTP1->SetActive(false);
      TMainFrm::Pause(3);
    }

    // A stop signal ends a wait for the server at once (the event loop does not run there).
    TFTP1->WakeFd = quodra::host::TStopSignals::StopRequestedFd();
    TFTP1->WakeFlag = quodra::host::TStopSignals::StopRequestedFlag();
    TFTP1->Host = quodra::host::BytesOf(Frm.ui->ServerName1->text());
    TFTP1->ReceiveTimeout = opt.TransferTimeOutSpinEdit1->value();  // taken as milliseconds

    const std::string portText = quodra::host::BytesOf(opt.Port1->text());
    TFTP1->Port = Trim(portText).empty() ? kDefaultTftpPort : quodra::app::DigitsToInt(portText);
    Frm.Log("Port: [" + std::to_string(TFTP1->Port) + "]");

    const bool binary = opt.Binary1->isChecked();
    Frm.Log("Binary Mode: " + TMainFrm::BoolToText(binary));
    TFTP1->TransferMode = binary ? tfOctet : tfNetAscii;

    ApplyTransferOptions();
    Frm.Log("Begin Transfer ");
    Download(quodra::host::BytesOf(opt.SourceFileName1->text()), quodra::host::BytesOf(opt.DestFileName1->text()));
  } catch (const std::exception& e) {
    // A TFTP error reply, a time-out, a host that does not resolve, a local file that
    // cannot be written, an abort, a stop signal: the job ends here.
    if (const int signo = quodra::host::TStopSignals::FirstSignal(); signo != 0)
      Frm.NoteStopBySignal(quodra::host::TStopSignals::Name(signo));
    else
      Frm.Log(Frm.AbortRequested ? std::string("Aborted by User") : "Connect Failed: " + ReasonOf(e));
    Frm.MarkRunFailed();
  } catch (...) {
    Frm.Log("Connect Failed");
    Frm.MarkRunFailed();
  }

  Frm.Log("Close Connection!");
  TFTP1->SetActive(false);

  if (opt.AutoDisconnect1->isChecked() || Frm.HasArguments()) Frm.CloseWindow();
}

void TTftpJob::Download(const std::string& source, const std::string& dest) {
  const auto& opt = *Frm.VarnOptFrm->ui;
  if (Trim(source).empty()) {
    Frm.Log("Error: Enter a valid source file name!");
    Frm.MarkRunFailed();
  } else if (Trim(dest).empty()) {
    Frm.Log("Error: Enter a valid destination file name!");
    Frm.MarkRunFailed();
  } else if (opt.Overwrite1->isChecked() || !Exists(dest)) {
    Replace(source, dest);
  } else {
    Append(source, dest);
  }
}

void TTftpJob::Replace(const std::string& source, const std::string& dest) {
  // The old copy stays until the new one is whole: the bytes go to a temporary file beside
  // it, renamed over it at the end.
  quodra::host::TLocalOutputFile out;
  if (int err = out.Open(dest, quodra::host::TLocalOutputFile::TMode::Replace))
    throw ELocalFileError(err);
  TDgFdStream stream(out.Fd());
  TFTP1->Get(source, stream);
  if (int err = out.Commit()) throw ELocalFileError(err);
}

void TTftpJob::Append(const std::string& source, const std::string& dest) {
  // The download lands in a file of this run's own, appended only once it arrived whole.
  TTempFile temp;
  temp.Fd = quodra::host::CreateUniqueFile(FolderOf(dest), kTempFileStem, temp.Path);
  if (temp.Fd < 0) {
    temp.Path.clear();
    throw ELocalFileError(-temp.Fd);
  }
  TDgFdStream stream(temp.Fd);
  TFTP1->Get(source, stream);
  const int fd = temp.Fd;
  temp.Fd = -1;
  if (::close(fd) != 0 && errno != EINTR) throw ELocalFileError(errno);
  if (AppendFile(Frm, temp.Path, dest) != kAppendOk) {
    const std::string name = temp.Path.substr(temp.Path.rfind('/') + 1);
    Frm.Log("Error: Unable to append the temporary TFTP file " + name + " to " + dest);
    Frm.MarkRunFailed();
  }
}

void TTftpJob::ApplyTransferOptions() {
  const auto& opt = *Frm.VarnOptFrm->ui;
  const std::string block = Trim(Frm.VarnOptFrm->BlockSize1->text().toStdString());
  const std::string window = Trim(Frm.VarnOptFrm->WindowSize1->text().toStdString());
  Total.clear();
  TFTP1->RequestedBlockSize = 512;
  TFTP1->RequestedWindowSize = 1;
  TFTP1->RequestTransferSize = false;
  if (block.empty() && window.empty()) return;  // the request of a plain profile stays as it was
  if (!block.empty())
    TFTP1->RequestedBlockSize = std::clamp(quodra::app::DigitsToInt(block), kTftpMinBlockSize, kTftpMaxBlockSize);
  if (!window.empty()) TFTP1->RequestedWindowSize = std::clamp(quodra::app::DigitsToInt(window), 1, kTftpMaxWindowSize);
  // A netascii file changes size on the way; only an octet size can be checked.
  TFTP1->RequestTransferSize = opt.Binary1->isChecked();
}

void TTftpJob::TFTP1Status(TDgComponent*, TDgStatus, const std::string& text) { Frm.Log("TFTP: " + text); }

void TTftpJob::TFTP1Work(TDgComponent*, TWorkMode, int64_t count) {
  if (Total.empty() && TFTP1->TransferSize >= 0) {
    Total = " of " + std::to_string(TFTP1->TransferSize);
    Frm.Log("Size: " + std::to_string(TFTP1->TransferSize) + " bytes");
  }
  Frm.SetByteCounter(std::to_string(count) + Total + " bytes");
  // The window and Abort are served at a person's pace, not once per datagram: a pass of the
  // event loop per 512-byte block would cost more than the block itself.
  const int64_t now = quodra::host::NowMs();
  if (now - LastEventPass >= kEventPassMs) {
    LastEventPass = now;
    quodra::host::ProcessPendingEvents();
  }
  // Abort (or Close) may have come before the transfer had its socket: it stops here.
  if (Frm.AbortRequested) TFTP1->SetActive(false);
}

void TTftpJob::TFTP1WorkBegin(TDgComponent*, TWorkMode, int64_t) {
  LastEventPass = quodra::host::NowMs();
  quodra::host::ProcessPendingEvents();
}
