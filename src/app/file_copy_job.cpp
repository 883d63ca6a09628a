#include "file_copy_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "app/append_file.h"
#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "host/byte_text.h"
#include "host/event_wait.h"
#include "host/local_output_file.h"
#include "host/text_util.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"

namespace {

constexpr int kRenameAttempts = 16;
constexpr int kCopyAttempts = 11;

std::string Text(const QString& s) { return quodra::host::BytesOf(s); }

// Renames without ever replacing a file that exists under the new name.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  return ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

TFileCopyJob::TFileCopyJob(TMainFrm& frm) : QObject(&frm), Frm(frm) {}

std::string TFileCopyJob::HandOverName(const std::string& path) {
  size_t nameStart = path.find_last_of("/\\:");
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return path + ".TFR";
  return path.substr(0, dot) + ".TFR";
}

void TFileCopyJob::Run() {
  auto& opt = *Frm.VarnOptFrm->ui;
  Frm.ui->Abort1->setVisible(true);
  Frm.AbortRequested = false;
  Frm.Log("Login");
  TMainFrm::Pause(3);

  std::string folder = Text(opt.DefaultFolder1->text());
  if (!quodra::host::Trim(folder).empty()) {
    Frm.Log("Change Directory to " + folder);
    if (::chdir(folder.c_str()) != 0) {
      Frm.MarkRunFailed();
      throw std::runtime_error(std::strerror(errno));
    }
  }

  std::string sourcePath = Text(opt.SourceFileName1->text());
  bool inOrder = true;
  bool deleteSource = opt.DeleteRemote1->isChecked();

  if (!Frm.AbortRequested && deleteSource) inOrder = HandOver(sourcePath);
  if (!Frm.AbortRequested && inOrder) inOrder = Copy(sourcePath, deleteSource);
  if (!Frm.AbortRequested && inOrder && deleteSource) RemoveSource(sourcePath);
  CopiedSource.Close();

  if (Frm.AbortRequested) {
    Frm.Log("Aborted by User");
    Frm.MarkRunFailed();
  }
  Frm.AbortRequested = false;
  Frm.ui->Abort1->setVisible(false);
  Frm.Log("Done");
}

bool TFileCopyJob::HandOver(std::string& sourcePath) {
  std::string handOver = HandOverName(sourcePath);
  // A hand-over file left by an unfinished run is taken up as it is.
  bool ready = Exists(handOver);
  for (int attempt = 1; !ready && attempt <= kRenameAttempts; ++attempt) {
    quodra::host::ProcessPendingEvents();
    TMainFrm::Pause(1);
    Frm.Log("Rename File for Transfer Attempt:" + std::to_string(attempt));
    ready = RenameNoReplace(sourcePath, handOver);
  }
  if (!ready) {
    Frm.Log("Error: Could not rename file " + sourcePath + " to " + handOver);
    Frm.MarkRunFailed();
    return false;
  }
  sourcePath = handOver;
  return true;
}

std::string TFileCopyJob::DeliveryKeyOf(const std::string& sourcePath) {
  struct stat st {};
  if (::stat(sourcePath.c_str(), &st) != 0) return {};
  char* real = ::realpath(sourcePath.c_str(), nullptr);
  const std::string where = real ? real : sourcePath;
  ::free(real);
  return "copy " + std::to_string(where.size()) + ":" + where + " " + std::to_string(st.st_dev) + " " +
         std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

bool TFileCopyJob::Copy(const std::string& sourcePath, bool deleteSource) {
  auto& opt = *Frm.VarnOptFrm->ui;
  std::string dest = Text(opt.DestFileName1->text());
  // Overwrite starts a new file, which takes the old one's place only once it is whole.
  bool replace = opt.Overwrite1->isChecked();
  Dest = dest;
  DeliveryKey = !replace && deleteSource ? DeliveryKeyOf(sourcePath) : "";
  uint16_t code = kAppendOk;
  for (int attempt = 1;; ++attempt) {
    Frm.Log("Copy the file " + sourcePath + " to " + dest + " Attempt:" + std::to_string(attempt));
    code = AppendFile(Frm, sourcePath, dest, CopiedSource, replace, DeliveryKey);
    if (code != kAppendOk) TMainFrm::Pause(3);
    if (!(code == kAppendCannotOpen && attempt < kCopyAttempts && !Frm.AbortRequested)) break;
  }
  if (Frm.AbortRequested || code != kAppendOk) {
    Frm.Log("File copy of " + sourcePath + " failed! Error:" + std::to_string(code));
    Frm.MarkRunFailed();
    return false;
  }
  Frm.Log("File " + sourcePath + " copied.");
  return true;
}

void TFileCopyJob::RemoveSource(const std::string& sourcePath) {
  // Deleted only while it is the file that was copied, as it was copied.
  bool asCopied = CopiedSource.IsAt(sourcePath) && CopiedSource.Unchanged();
  if (!asCopied) Frm.Log("Source " + sourcePath + " changed after the copy; it is kept");
  if (asCopied && ::unlink(sourcePath.c_str()) == 0) {
    if (!DeliveryKey.empty()) quodra::host::TLocalOutputFile::EndDelivery(Dest, DeliveryKey);
    Frm.Log("Source file " + sourcePath + " deleted.");
  } else {
    Frm.Log("File delete of " + sourcePath + " failed!");
    Frm.MarkRunFailed();
  }
  CopiedSource.Close();
}
