#include "dialogs/varn_opt_frm.h"

#include <QComboBox>
#include <QEvent>
#include <QIntValidator>
#include <QLineEdit>
#include <QRadioButton>
#include <QShowEvent>
#include <QSpinBox>
#include <limits>

#include "dialogs/about_box.h"
#include "dialogs/jpeg_picture.h"
#include "dialup/qp_ras_dialer.h"
#include "host/text_util.h"
#include "ui_varn_opt_frm.h"

TVarnOptFrm::TVarnOptFrm(QWidget* parent) : QDialog(parent), ui(new Ui::TVarnOptFrm) {
  ui->setupUi(this);
  // A profile's values are shown and saved whole, a source list of thousands of names too.
  for (QLineEdit* edit : findChildren<QLineEdit*>()) edit->setMaxLength(std::numeric_limits<int>::max());
  ui->InfoImage1->setPixmap(LoadJpegPicture(quodra::dialogs::kInfoPicture));
  // Where the FTP-only passive box sits: the two never show together.
  auto addTftpField = [this](const char* name, const char* hint, int x, int width, int top) {
    auto* edit = new QLineEdit(ui->GroupBox2);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(x, 46, width, 22);
    edit->setPlaceholderText(QString::fromLatin1(hint));
    edit->setToolTip(QString::fromLatin1(hint) + QStringLiteral(" (blank: not set)"));
    edit->setValidator(new QIntValidator(0, top, edit));
    return edit;
  };
  BlockSize1 = addTftpField("BlockSize1", "Block size", 170, 70, 65464);
  WindowSize1 = addTftpField("WindowSize1", "Window", 244, 58, 64);

  // Under the time-out and mode groups: how the FTP connection is secured.
  Security1 = new QComboBox(ui->ServerTabSheet1);
  Security1->setObjectName(QStringLiteral("Security1"));
  Security1->addItems({QStringLiteral("Plain FTP"), QStringLiteral("Explicit TLS"), QStringLiteral("Implicit TLS")});
  Security1->setGeometry(8, 168, 104, 22);
  Security1->setToolTip(QStringLiteral("Explicit: AUTH TLS on the FTP port; implicit: TLS from the start (port 990)"));
  Fingerprint1 = new QLineEdit(ui->ServerTabSheet1);
  Fingerprint1->setObjectName(QStringLiteral("Fingerprint1"));
  Fingerprint1->setGeometry(116, 168, 205, 22);
  Fingerprint1->setPlaceholderText(QStringLiteral("SHA-256 fingerprint (blank: CA check)"));
  Fingerprint1->setToolTip(QStringLiteral("The server certificate's SHA-256 fingerprint, hex with or without colons"));
  connect(Security1, &QComboBox::currentIndexChanged, this, [this](int index) {
    Fingerprint1->setEnabled(index != 0);
    // The implicit port is a different one: follow the choice while the port is a default.
    const std::string port = quodra::host::Trim(ui->Port1->text().toStdString());
    if (index == 2 && (port.empty() || port == "ftp" || port == "21")) ui->Port1->setText(QStringLiteral("990"));
    if (index != 2 && port == "990") ui->Port1->setText(QStringLiteral("ftp"));
  });
  Fingerprint1->setEnabled(false);

  // Retries of transient failures, at the end of the security row (the fingerprint field
  // scrolls): the dialog keeps its size. The numbers carry their own words.
  {
    Fingerprint1->resize(76, Fingerprint1->height());
    RetryRow1 = new QWidget(ui->ServerTabSheet1);
    RetryRow1->setGeometry(196, 168, 125, 22);
    Retries1 = new QSpinBox(RetryRow1);
    Retries1->setObjectName(QStringLiteral("Retries1"));
    Retries1->setGeometry(0, 0, 70, 22);
    Retries1->setRange(0, 99);
    Retries1->setPrefix(QStringLiteral("Retries "));
    Retries1->setToolTip(QStringLiteral("Attempts after the first when the server is busy or the connection is lost"));
    RetryDelay1 = new QSpinBox(RetryRow1);
    RetryDelay1->setObjectName(QStringLiteral("RetryDelay1"));
    RetryDelay1->setGeometry(74, 0, 51, 22);
    RetryDelay1->setRange(0, 300);
    RetryDelay1->setValue(10);
    RetryDelay1->setSuffix(QStringLiteral(" s"));
    RetryDelay1->setToolTip(QStringLiteral("Seconds before the first retry; doubled for each further one, at most 300"));
  }

  // SFTP: a fourth transfer mode under the other three (the group grows by a row), and its
  // two keys on the Login page.
  {
    constexpr int kRow = 24;
    ui->GroupBox1->resize(ui->GroupBox1->width(), ui->GroupBox1->height() + kRow);
    SftpChkBox1 = new QRadioButton(QStringLiteral("SFTP (SSH File Transfer)"), ui->GroupBox1);
    SftpChkBox1->setObjectName(QStringLiteral("SftpChkBox1"));
    SftpChkBox1->setGeometry(14, 96, 280, 20);
    SftpRows1 = new QWidget(ui->LoginTabSheet1);
    SftpRows1->setGeometry(0, 88, 330, 64);
    auto* keyLabel = new QLabel(QStringLiteral("Key file"), SftpRows1);
    keyLabel->setGeometry(16, 8, 80, 16);
    PrivateKeyFile1 = new QLineEdit(SftpRows1);
    PrivateKeyFile1->setObjectName(QStringLiteral("PrivateKeyFile1"));
    PrivateKeyFile1->setGeometry(100, 4, 210, 22);
    PrivateKeyFile1->setPlaceholderText(QStringLiteral("blank: password or ssh-agent"));
    PrivateKeyFile1->setToolTip(QStringLiteral("An OpenSSH private key; the password is its passphrase"));
    keyLabel->setBuddy(PrivateKeyFile1);
    auto* hostKeyLabel = new QLabel(QStringLiteral("Host key"), SftpRows1);
    hostKeyLabel->setGeometry(16, 42, 80, 16);
    HostKeyFingerprint1 = new QLineEdit(SftpRows1);
    HostKeyFingerprint1->setObjectName(QStringLiteral("HostKeyFingerprint1"));
    HostKeyFingerprint1->setGeometry(100, 38, 210, 22);
    HostKeyFingerprint1->setPlaceholderText(QStringLiteral("SHA256:... (blank: known_hosts)"));
    HostKeyFingerprint1->setToolTip(QStringLiteral("The server's host key as ssh-keygen -lf prints it"));
    hostKeyLabel->setBuddy(HostKeyFingerprint1);
    connect(SftpChkBox1, &QRadioButton::toggled, this, [this](bool on) {
      if (on) UpdateTransferModeControls();
    });
  }

  connect(ui->Button1, &QPushButton::clicked, this, [this] { done(kModalOk); });
  connect(ui->Button2, &QPushButton::clicked, this, [this] { done(kModalCancel); });

  // Toggled, not clicked: the profile loader sets these buttons from code and the pages must
  // follow then as well. Only the newly checked button reacts, so one switch runs one update.
  connect(ui->FTPChkBox1, &QRadioButton::toggled, this, [this](bool on) {
    if (on) FTPChkBox1Click();
  });
  connect(ui->FileCopyChkBox1, &QRadioButton::toggled, this, [this](bool on) {
    if (on) FileCopyChkBox1Click();
  });
  connect(ui->TrivialFTPChkBox1, &QRadioButton::toggled, this, [this](bool on) {
    if (on) FileCopyChkBox1Click();
  });
  connect(ui->UseDialupCheckBox1, &QCheckBox::toggled, this, [this] { UseDialupCheckBox1Click(); });

  // A user's choice only: the entry list refresh selects its item from code and sets the
  // dialer itself.
  connect(ui->EntrySelect, &QComboBox::activated, this, [this] { EntrySelectChange(); });
  connect(ui->NewEntry1, &QToolButton::clicked, this, [this] { NewEntry1Click(); });
  connect(ui->DialProperties1, &QPushButton::clicked, this, [this] { DialProperties1Click(); });
  connect(ui->About1, &QPushButton::clicked, this, [this] { About1Click(); });

  FormCreate();
  CreateDialer();
}

TVarnOptFrm::~TVarnOptFrm() { delete ui; }

void TVarnOptFrm::FormCreate() {
  ui->PageControl1->setCurrentWidget(ui->GeneralTabSheet1);
  SavedEntryName.clear();
  DialOutcome = 0;
}

void TVarnOptFrm::SetAboutBox(TAboutBox* aboutBox) { AboutBox_ = aboutBox; }

void TVarnOptFrm::FormActivate() { UpdateTransferModeControls(); }

void TVarnOptFrm::FTPChkBox1Click() { UpdateTransferModeControls(); }

void TVarnOptFrm::FileCopyChkBox1Click() { UpdateTransferModeControls(); }

void TVarnOptFrm::UpdateTransferModeControls() {
  const bool ftp = ui->FTPChkBox1->isChecked();
  const bool tftp = ui->TrivialFTPChkBox1->isChecked();
  const bool sftp = SftpChkBox1->isChecked();
  QTabWidget* pages = ui->PageControl1;

  pages->setTabVisible(pages->indexOf(ui->LoginTabSheet1), ftp || sftp);
  ui->PassiveBox1->setVisible(ftp);
  pages->setTabVisible(pages->indexOf(ui->ServerTabSheet1), ftp || tftp || sftp);
  SftpRows1->setVisible(sftp);

  if (tftp) {
    const std::string port = quodra::host::Trim(ui->Port1->text().toStdString());
    if (port.empty() || port == "ftp") ui->Port1->setText(QStringLiteral("69"));
  }

  ui->DefaultFolder1->setVisible(ftp || sftp);
  ui->DefaultFolder1Lbl->setVisible(ftp || sftp);
  ui->DeleteRemote1->setVisible(!tftp);
  BlockSize1->setVisible(tftp);
  WindowSize1->setVisible(tftp);
  Security1->setVisible(ftp);
  Fingerprint1->setVisible(ftp);
  RetryRow1->setVisible(ftp || sftp);
}

std::string TVarnOptFrm::SecurityKey() const {
  switch (Security1->currentIndex()) {
    case 1: return "E";
    case 2: return "I";
    default: return SecurityKeyBlank ? std::string() : std::string("N");
  }
}

void TVarnOptFrm::SetSecurityKey(const std::string& key) {
  SecurityKeyBlank = key.empty();
  const QSignalBlocker quiet(Security1);  // a loaded profile keeps its own port
  Security1->setCurrentIndex(key == "E" ? 1 : key == "I" ? 2 : 0);
  Fingerprint1->setEnabled(Security1->currentIndex() != 0);
}

void TVarnOptFrm::UseDialupCheckBox1Click() {
  const bool use = ui->UseDialupCheckBox1->isChecked();
  ui->DialParametersGrp1->setVisible(use);
  if (!use) ui->StatusBar1->clearMessage();
}

void TVarnOptFrm::About1Click() {
  if (AboutBox_) AboutBox_->exec();
}

void TVarnOptFrm::SetStatusText(const std::string& text) {
  ui->StatusBar1->showMessage(QString::fromStdString(text));
}

std::string TVarnOptFrm::StatusText() const {
  return ui->StatusBar1->currentMessage().toStdString();
}

void TVarnOptFrm::SetHangupOnDestroy(bool hangup) {
  if (QpRasDialer) QpRasDialer->SetHangupOnDestroy(hangup);
}

void TVarnOptFrm::reject() { done(kModalCancel); }

void TVarnOptFrm::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  // Activation is not reliable on every platform (offscreen, some window managers), so
  // showing counts as activating too; the update can safely run twice.
  if (!e->spontaneous()) FormActivate();
}

void TVarnOptFrm::changeEvent(QEvent* e) {
  QDialog::changeEvent(e);
  if (e->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}
