// The dial-up page of the properties dialog: the dialer and its status display, the
// phonebook entry list, the dial credentials, and the handlers of the dialer's events.
#include <QComboBox>
#include <QLineEdit>
#include <QObject>
#include <exception>
#include <vector>

#include "dialogs/varn_opt_frm.h"
#include "dialup/qp_ras_dialer.h"
#include "dialup/qp_ras_status.h"
#include "port/qp_port_component.h"
#include "ui_varn_opt_frm.h"

namespace {

// Owns the dialer and its display on behalf of the dialog, which frees it (and them) as
// one of its children.
class TDialupComponents : public QObject {
 public:
  explicit TDialupComponents(QObject* parent) : QObject(parent) { setObjectName("DialupComponents"); }
  quodra::port::TQpBaseComponent Root;
};

QString QText(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

void TVarnOptFrm::CreateDialer() {
  auto* components = new TDialupComponents(this);
  QpRasDialer = new TQpRasDialer(&components->Root);
  QpRasDialer->SetName("QpRasDialer");
  QpRasDialer->SetDialMode(dmAsync);
  QpRasDialer->SetDialOptions({});
  QpRasDialer->SetCompressionMode(cmDefault);
  QpRasDialer->SetSpeakerMode(smDefault);
  QpRasDialer->SetHangupOnDestroy(false);
  // Placed beside the dialer, the display links itself to it.
  QpRasStatus = new TQpRasStatus(&components->Root);
  QpRasStatus->SetName("QpRasStatus");
  QpRasStatus->SetPosition(poScreenCenter);
  QpRasStatus->SetCtl3D(true);
  QpRasDialer->SetStatusDisplay(QpRasStatus);

  QpRasDialer->OnConnected = [this](TQpCustomRasDialer*) { QpRasDialerConnected(); };
  QpRasDialer->OnDialError = [this](TQpCustomRasDialer*, int error) { QpRasDialerDialError(error); };
  QpRasDialer->OnDisconnected = [this](TQpCustomRasDialer*) { QpRasDialerDisconnected(); };
}

void TVarnOptFrm::RefreshEntryListClick() {
  std::vector<std::string> entries;
  ui->EntrySelect->clear();
  // Without a remote access service this raises; the caller decides what to make of it.
  int rc = QpRasDialer->ListEntries(&entries);
  if (rc != 0) {
    SetStatusText(QpRasDialer->GetErrorText(rc));
    return;
  }
  if (entries.empty()) return;
  int selected = -1;
  for (size_t i = 0; i < entries.size(); ++i) {
    ui->EntrySelect->addItem(QText(entries[i]));
    if (selected < 0 && entries[i] == SavedEntryName) selected = static_cast<int>(i);
  }
  ui->EntrySelect->setCurrentIndex(selected < 0 ? 0 : selected);
  QpRasDialer->SetEntryName(ui->EntrySelect->currentText().toStdString());
  SetStatusText(QpRasDialer->EntryName());
  ShowDialCredentials();
}

void TVarnOptFrm::EntrySelectChange() {
  QpRasDialer->SetEntryName(ui->EntrySelect->currentText().toStdString());
  ShowDialCredentials();
  SetStatusText(QpRasDialer->EntryName());
}

void TVarnOptFrm::NewEntry1Click() {
  int rc = QpRasDialer->CreatePhonebookEntry();
  if (rc != 0)
    SetStatusText(QpRasDialer->GetErrorText(rc));
  else
    RefreshEntryListClick();
}

void TVarnOptFrm::DialProperties1Click() {
  QpRasDialer->SetUserName(ui->UserNameEdit->text().toStdString());
  QpRasDialer->SetPassword(ui->PasswordEdit->text().toStdString());
  QpRasDialer->SetDomain(ui->DomainEdit->text().toStdString());
  int rc = QpRasDialer->EditPhonebookEntry();
  if (rc != 0)
    SetStatusText(QpRasDialer->GetErrorText(rc));
  else
    ShowDialCredentials();
}

void TVarnOptFrm::ShowDialCredentials() {
  ui->UserNameEdit->setText(QText(QpRasDialer->UserName()));
  ui->DomainEdit->setText(QText(QpRasDialer->Domain()));
  ui->PasswordEdit->setText(QText(QpRasDialer->Password()));
}

void TVarnOptFrm::QpRasDialerConnected() { DialOutcome = 1; }

void TVarnOptFrm::QpRasDialerDialError(int error) {
  DialError = error;
  DialOutcome = 99;
  QpRasDialer->Hangup();
  DialOutcome = 2;
}

void TVarnOptFrm::QpRasDialerDisconnected() { DialOutcome = 2; }

void TVarnOptFrm::SetDialCredentials(const std::string& user, const std::string& password,
                                     const std::string& domain) {
  QpRasDialer->SetUserName(user);
  QpRasDialer->SetPassword(password);
  QpRasDialer->SetDomain(domain);
  ShowDialCredentials();
}

void TVarnOptFrm::StoreDialCredentials() {
  const std::string user = ui->UserNameEdit->text().toStdString();
  const std::string domain = ui->DomainEdit->text().toStdString();
  const std::string password = ui->PasswordEdit->text().toStdString();
  // Only the entry the dialog shows is written.
  const std::string entry = QpRasDialer->EntryName();
  if (entry.empty() || entry != ui->EntrySelect->currentText().toStdString()) return;
  // What the entry holds now (read into the dialer, which takes the edits after it). The
  // phonebook may be a system's connection store: it is not rewritten with what it holds.
  bool differs = false;
  try {
    if (QpRasDialer->GetDialParameters() != 0) return;
    differs = QpRasDialer->UserName() != user || QpRasDialer->Domain() != domain ||
              QpRasDialer->Password() != password;
  } catch (const std::exception&) {
    return;  // no remote access service
  }
  QpRasDialer->SetUserName(user);
  QpRasDialer->SetDomain(domain);
  QpRasDialer->SetPassword(password);
  if (differs) QpRasDialer->SetDialParameters();
}
