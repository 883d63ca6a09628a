// The current profile lives in the controls of the main window and the properties dialog:
// loading writes a profile file's values into them, saving reads them back into the file.
#include <sys/stat.h>

#include <QComboBox>
#include <QSpinBox>

#include "app/main_frm.h"
#include "app/profile_file.h"
#include "app/profile_paths.h"
#include "dialogs/varn_opt_frm.h"
#include "host/byte_text.h"
#include "host/text_util.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"

using namespace quodra::app;

namespace {

QString Q(const std::string& s) { return quodra::host::TextOf(s); }
std::string S(const QString& s) { return quodra::host::BytesOf(s); }

// Names given in the box or the dialog belong to the folder of the current profile: one
// opened by path keeps its own folder.
std::string CurrentFolder(const std::string& profilePath) {
  std::string folder = FolderOf(profilePath);
  return folder.empty() ? ProfileFolder() : folder;
}

bool ProfileFileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

void TMainFrm::OpenProfile() {
  ProfilePath = ResolveProfilePath(ProfilePath, ProfileFolder());
  FillProfileList(FolderOf(ProfilePath) + "*" + kProfileExtension, ProfileNameOf(ProfilePath));
  if (!ProfileFileExists(ProfilePath)) {
    ui->ConnectBtn1->setEnabled(false);
    ui->PropertiesBtn1->setText(QStringLiteral("Create Profile"));
  } else {
    LoadProfile();
  }
}

void TMainFrm::FillProfileList(const std::string& mask, const std::string& name) {
  QComboBox* box = ui->Profilenamebox1;
  box->clear();
  box->clearEditText();
  for (const auto& n : ListProfileNames(mask)) box->addItem(Q(n));
  // Adding to an empty box selects its first item; only the named profile may be selected.
  box->setCurrentIndex(-1);
  box->clearEditText();
  if (name.empty()) return;
  for (int i = 0; i < box->count(); ++i) {
    if (quodra::host::EqualsNoCase(S(box->itemText(i)), name)) {
      box->setCurrentIndex(i);
      return;
    }
  }
}

void TMainFrm::LoadProfile() {
  auto& d = *VarnOptFrm->ui;
  const TProfile p = ReadProfile(ProfilePath);
  const std::string name = ProfileNameOf(ProfilePath);

  ui->PropertiesBtn1->setText(QStringLiteral("Properties"));
  FillProfileList(FolderOf(ProfilePath) + "*" + kProfileExtension, name);
  ui->Login1->setText(Q(p.Login));
  ui->ServerName1->setText(Q(p.ServerName));
  ui->Password1->setText(Q(p.Password));
  ui->Profilenamebox1->setEditText(Q(name));
  d.ProfileName1->setText(Q(name));

  d.Login1->setText(Q(p.Login));
  d.ServerName1->setText(Q(p.ServerName));
  d.Password1->setText(Q(p.Password));
  d.Port1->setText(Q(p.Port));
  // The spin boxes hold the values within their limits (a stored 500 comes back as 1000).
  d.TransferTimeOutSpinEdit1->setValue(p.TimeOut);
  d.ConnectTimeOutSpinEdit1->setValue(p.ConnectTimeOut);
  d.Overwrite1->setChecked(p.Overwrite);
  d.PassiveBox1->setChecked(p.Passive);
  d.AutoDisconnect1->setChecked(p.AutoDisconnect);
  d.DeleteRemote1->setChecked(p.DeleteRemote);
  switch (p.TransferMode) {
    case tmFtp: d.FTPChkBox1->setChecked(true); break;
    case tmFileCopy: d.FileCopyChkBox1->setChecked(true); break;
    case tmTrivialFtp: d.TrivialFTPChkBox1->setChecked(true); break;
    case tmSftp: VarnOptFrm->SftpChkBox1->setChecked(true); break;
  }
  if (p.Ascii)
    d.Ascii1->setChecked(true);
  else
    d.Binary1->setChecked(true);
  d.SourceFileName1->setText(Q(p.SourceFile));
  d.DestFileName1->setText(Q(p.DestinationFile));
  d.DefaultFolder1->setText(Q(p.DefaultFolder));
  d.UseDialupCheckBox1->setChecked(p.UseDialup);
  VarnOptFrm->BlockSize1->setText(Q(p.BlockSize));
  VarnOptFrm->WindowSize1->setText(Q(p.WindowSize));
  VarnOptFrm->SetSecurityKey(p.Security);
  VarnOptFrm->Fingerprint1->setText(Q(p.CertificateFingerprint));
  VarnOptFrm->Retries1->setValue(p.Retries);
  VarnOptFrm->RetryDelay1->setValue(p.RetryDelay);
  VarnOptFrm->PrivateKeyFile1->setText(Q(p.PrivateKeyFile));
  VarnOptFrm->HostKeyFingerprint1->setText(Q(p.HostKeyFingerprint));

  VarnOptFrm->SavedEntryName = p.PhonebookEntry;
  d.EntrySelect->setCurrentText(Q(p.PhonebookEntry));
  VarnOptFrm->SetDialCredentials(p.DialUserName, p.DialPassword, p.DialDomain);

  setWindowTitle(Q(S(ui->Profilenamebox1->currentText()) + " " + CaptionSuffix));
}

bool TMainFrm::SaveProfile(bool storeDialCredentials) {
  auto& d = *VarnOptFrm->ui;
  // The profile keeps its file while its name stays; a new name is a file beside it.
  const std::string name = S(d.ProfileName1->text());
  if (ProfilePath.empty() || name != ProfileNameOf(ProfilePath))
    ProfilePath = ResolveProfilePath(name, CurrentFolder(ProfilePath));
  ui->Profilenamebox1->setEditText(Q(ProfileNameOf(ProfilePath)));

  TProfile p;
  p.ServerName = S(d.ServerName1->text());
  p.Password = S(d.Password1->text());
  p.Login = S(d.Login1->text());
  p.Port = S(d.Port1->text());
  p.DestinationFile = S(d.DestFileName1->text());
  p.DefaultFolder = S(d.DefaultFolder1->text());
  p.Overwrite = d.Overwrite1->isChecked();
  p.AutoDisconnect = d.AutoDisconnect1->isChecked();
  p.TransferMode = d.TrivialFTPChkBox1->isChecked()    ? tmTrivialFtp
                   : d.FileCopyChkBox1->isChecked()    ? tmFileCopy
                   : VarnOptFrm->SftpChkBox1->isChecked() ? tmSftp
                                                        : tmFtp;
  p.DeleteRemote = d.DeleteRemote1->isChecked();
  p.TimeOut = d.TransferTimeOutSpinEdit1->value();
  p.ConnectTimeOut = d.ConnectTimeOutSpinEdit1->value();
  p.SourceFile = S(d.SourceFileName1->text());
  p.Passive = d.PassiveBox1->isChecked();
  p.Ascii = d.Ascii1->isChecked();
  p.UseDialup = d.UseDialupCheckBox1->isChecked();
  p.BlockSize = S(VarnOptFrm->BlockSize1->text().trimmed());
  p.WindowSize = S(VarnOptFrm->WindowSize1->text().trimmed());
  p.Security = VarnOptFrm->SecurityKey();
  p.CertificateFingerprint = S(VarnOptFrm->Fingerprint1->text().trimmed());
  p.Retries = VarnOptFrm->Retries1->value();
  p.RetryDelay = VarnOptFrm->RetryDelay1->value();
  p.PrivateKeyFile = S(VarnOptFrm->PrivateKeyFile1->text());
  p.HostKeyFingerprint = S(VarnOptFrm->HostKeyFingerprint1->text().trimmed());
  p.DialUserName = S(d.UserNameEdit->text());
  p.DialPassword = S(d.PasswordEdit->text());
  p.DialDomain = S(d.DomainEdit->text());
  // The entry box lists only the entries the service knows; while it has not been filled
  // (or the service cannot be reached) it is empty, and the profile keeps its entry.
  std::string entry = S(d.EntrySelect->currentText());
  if (entry.empty()) entry = VarnOptFrm->SavedEntryName;
  p.PhonebookEntry = entry;

  if (!WriteProfile(ProfilePath, p)) {
    ShowError("Unable to write to " + ProfilePath);
    return false;
  }
  if (storeDialCredentials) VarnOptFrm->StoreDialCredentials();
  VarnOptFrm->SavedEntryName = entry;
  return true;
}

void TMainFrm::Profilenamebox1Exit() {
  // The running job reads the controls: they keep its profile until it ends.
  if (JobActive) return;
  // A name chosen here is always one of the current profile's folder, whatever folder it names.
  ProfilePath = ResolveProfilePath(CurrentFolder(ProfilePath) + S(ui->Profilenamebox1->currentText()), "");
  LoadProfile();
}

quodra::jobs::TJobProfile TMainFrm::JobProfileFromControls() const {
  const auto& opt = *VarnOptFrm->ui;
  quodra::jobs::TJobProfile p;
  p.ServerName = S(ui->ServerName1->text());
  p.Login = S(ui->Login1->text());
  p.Password = S(ui->Password1->text());
  p.Port = S(opt.Port1->text());
  p.DefaultFolder = S(opt.DefaultFolder1->text());
  p.Passive = opt.PassiveBox1->isChecked();
  p.Binary = opt.Binary1->isChecked();
  p.Security = VarnOptFrm->SecurityKey();
  p.Fingerprint = S(VarnOptFrm->Fingerprint1->text());
  p.TransferTimeOut = opt.TransferTimeOutSpinEdit1->value();
  p.ConnectTimeOut = opt.ConnectTimeOutSpinEdit1->value();
  p.SourceFile = S(opt.SourceFileName1->text());
  p.DestinationFile = S(opt.DestFileName1->text());
  p.Overwrite = opt.Overwrite1->isChecked();
  p.DeleteRemote = opt.DeleteRemote1->isChecked();
  p.AutoDisconnect = opt.AutoDisconnect1->isChecked();
  p.Retries = VarnOptFrm->Retries1->value();
  p.RetryDelay = VarnOptFrm->RetryDelay1->value();
  return p;
}
