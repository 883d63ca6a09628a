#pragma once
// The properties dialog. It keeps no profile of its own: the profile loader and saver write
// the profile's values straight into its controls and read them back, and the transfer jobs
// read the current settings from the same controls (ui->Port1, ui->Binary1, ...).
#include <QDialog>
#include <string>

namespace Ui {
class TVarnOptFrm;
}
class QComboBox;
class QLineEdit;
class QSpinBox;
class QRadioButton;
class TAboutBox;
class TQpRasDialer;
class TQpRasStatus;

class TVarnOptFrm : public QDialog {
  Q_OBJECT
 public:
  // Modal results: OK and Cancel (closing the window or Escape count as Cancel).
  static constexpr int kModalOk = 1;
  static constexpr int kModalCancel = 2;

  explicit TVarnOptFrm(QWidget* parent = nullptr);
  ~TVarnOptFrm() override;

  Ui::TVarnOptFrm* ui;  // the controls, by name
  // TFTP only, on the Server page: the profile's BlockSize and WindowSize (blank: not set).
  QLineEdit* BlockSize1 = nullptr;
  QLineEdit* WindowSize1 = nullptr;
  // FTP only, on the Server page: plain, explicit or implicit TLS, and the certificate
  // fingerprint to pin (blank: the certificate must verify against the system's CAs).
  QComboBox* Security1 = nullptr;
  QLineEdit* Fingerprint1 = nullptr;
  // The profile's Security key for the selection: "N", "E" or "I", but blank for plain FTP
  // when the loaded profile had no such key (it is then not added on saving).
  std::string SecurityKey() const;
  void SetSecurityKey(const std::string& key);

  // On the Server page: retries of transient failures and the pause before the first.
  QSpinBox* Retries1 = nullptr;
  QSpinBox* RetryDelay1 = nullptr;
  QWidget* RetryRow1 = nullptr;  // the two with their labels

  // SFTP: its button in the transfer-mode group, and on the Login page the private key file
  // (the password is then its passphrase) and the host-key fingerprint to pin.
  QRadioButton* SftpChkBox1 = nullptr;
  QLineEdit* PrivateKeyFile1 = nullptr;
  QLineEdit* HostKeyFingerprint1 = nullptr;
  QWidget* SftpRows1 = nullptr;  // the two with their labels

  // Outcome of the last dial: 0 waiting, 1 connected, 2 disconnected or failed,
  // 99 while a failed dial is being hung up.
  int DialOutcome = 0;
  // The service's error number of the last dial that failed after it was accepted (0: none).
  int DialError = 0;
  // Phonebook entry named by the profile; a refreshed entry list selects it.
  std::string SavedEntryName;

  // The dial-up component and its status display. CreateDialer makes them; they are
  // children of this dialog and go with it.
  TQpRasDialer* QpRasDialer = nullptr;
  TQpRasStatus* QpRasStatus = nullptr;

  // The about box opened by the "&About" button (created and owned by the program entry).
  void SetAboutBox(TAboutBox* aboutBox);
  TAboutBox* AboutBox() const { return AboutBox_; }

  // Shows and hides the pages and controls that belong to the selected transfer mode.
  void UpdateTransferModeControls();

  // The dial-up page's status bar (one line of text).
  void SetStatusText(const std::string& text);
  std::string StatusText() const;

  // --- handlers of this dialog ---
  void FormCreate();
  void FormActivate();
  void FTPChkBox1Click();
  void FileCopyChkBox1Click();
  void UseDialupCheckBox1Click();
  void About1Click();

  // --- dial-up handlers (varn_opt_frm_dialup.cpp) ---
  void CreateDialer();
  void RefreshEntryListClick();
  void EntrySelectChange();
  void NewEntry1Click();
  void DialProperties1Click();
  void ShowDialCredentials();
  void QpRasDialerConnected();
  void QpRasDialerDialError(int error = 0);
  void QpRasDialerDisconnected();
  // Profile loading: the stored dial parameters go into the dialer, then into the edits.
  void SetDialCredentials(const std::string& user, const std::string& password,
                          const std::string& domain);
  // Profile saving (OK or Save only): the edits go into the dialer, which stores them for
  // its entry when they differ from what the entry holds. Nothing is written without an
  // entry, or when the entry cannot be read.
  void StoreDialCredentials();
  // Whether the dialer drops a link it dialled when it goes (set by the session driver).
  void SetHangupOnDestroy(bool hangup);

 public slots:
  void reject() override;  // Cancel, Escape and the close box: modal result 2

 protected:
  void showEvent(QShowEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  TAboutBox* AboutBox_ = nullptr;
  bool SecurityKeyBlank = true;
};
