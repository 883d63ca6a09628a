#include "dialogs/about_box.h"

#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QLocale>
#include <QMouseEvent>
#include <QShowEvent>
#include <QStyle>

#include "dialogs/jpeg_picture.h"
#include "host/program_folder.h"
#include "host/system_info.h"
#include "ui_about_box.h"

using namespace quodra::dialogs;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

void SetPixelFont(QWidget* w, int pixels) {
  QFont f = w->font();
  f.setPixelSize(pixels);
  w->setFont(f);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Short date and long time of the user's locale, without a time-zone name.
std::string DateTimeText(int64_t secs) {
  const QDateTime when = QDateTime::fromSecsSinceEpoch(secs);
  const QLocale locale;
  QString timeFormat = locale.timeFormat(QLocale::LongFormat);
  timeFormat.remove(QLatin1Char('t'));
  return (locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
          locale.toString(when.time(), timeFormat.trimmed()))
      .toStdString();
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent), ui(new Ui::TAboutBox) {
  ui->setupUi(this);
  SetPixelFont(this, 13);
  SetPixelFont(ui->lbCopyright, 11);
  SetPixelFont(ui->Comments, 11);
  ui->OKButton->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
  ui->Image1->setPixmap(LoadJpegPicture(kMakerLogoPicture));
  ui->IconImage->installEventFilter(this);

  connect(ui->OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
  connect(ui->lbVerItems, &QListWidget::currentRowChanged, this, [this] { lbVerItemsClick(); });
  FormCreate();
}

TAboutBox::~TAboutBox() { delete ui; }

void TAboutBox::FormCreate() {
  ProgramFilePath = quodra::host::ProgramPath();
  VersionBlock = ProgramVersionBlock();
  Items_.clear();
}

std::string TAboutBox::ItemValue(const std::string& name) const {
  const std::string prefix = name + "=";
  for (const std::string& item : Items_)
    if (item.compare(0, prefix.size(), prefix) == 0) return item.substr(prefix.size());
  return {};
}

std::vector<std::string> TAboutBox::ItemNames() const {
  std::vector<std::string> names;
  for (const std::string& item : Items_) names.push_back(item.substr(0, item.find('=')));
  return names;
}

void TAboutBox::AddItem(const std::string& name, const std::string& value) {
  Items_.push_back(name + "=" + value);
  ui->lbVerItems->addItem(Q(name));
}

void TAboutBox::SelectItem(int row) {
  if (row < 0 || row >= ui->lbVerItems->count()) return;
  ui->lbVerItems->setCurrentRow(row);
  lbVerItemsClick();
}

void TAboutBox::FormShow() {
  using namespace quodra::host;
  ui->lbVerItems->clear();
  Items_.clear();

  // The program's icon: the application's own when it has one, else our emblem.
  QIcon icon = QGuiApplication::windowIcon();
  QPixmap iconPixmap = icon.isNull() ? LoadJpegPicture(kEmblemPicture) : icon.pixmap(48, 48);
  ui->IconImage->setPixmap(iconPixmap);

  if (VersionBlock) {
    const TVersionBlock& b = *VersionBlock;
    ui->lbVersion->setText(Q(FileVersionText(b.FileVersion)));
    AddItem("Product Version", ProductVersionText(b.ProductVersion));
    AddItem("Operating System", OperatingSystemName());
    AddItem("File Type", FileTypeText(b.FileType));
    AddItem("Total RAM", std::to_string(TotalRamBytes() / (1024 * 1024) + 1) + " MB RAM");
    AddItem("Networked", NetworkPresent() ? "Yes" : "No");
    AddItem("Computer Name", ComputerName());
    AddItem("User Name", UserName());
    const std::pair<const char*, const std::optional<std::string>*> strings[] = {
        {"Comments", &b.Comments},           {"Company Name", &b.CompanyName},
        {"Internal Name", &b.InternalName},  {"Legal Trademarks", &b.LegalTrademarks},
        {"Original Filename", &b.OriginalFilename}, {"Private Build", &b.PrivateBuild},
        {"Product Name", &b.ProductName},    {"Special Build", &b.SpecialBuild}};
    for (const auto& [name, value] : strings)
      if (value->has_value()) AddItem(name, **value);
    if (b.FileDescription) ui->lbDescription->setText(Q(*b.FileDescription));
    if (b.LegalCopyright) ui->lbCopyright->setText(Q(*b.LegalCopyright));
  }
  SelectItem(0);

  // Free space of the current folder. The original figure for an unreadable drive was a
  // negative count; saying so plainly is more use to the reader.
  const std::optional<uint64_t> free = DiskFreeBytes(".");
  AddItem("Disk Free", free ? std::to_string(*free) + " bytes" : std::string("Unknown"));
  if (const std::optional<TFileFacts> facts = FileFacts(ProgramFilePath)) {
    AddItem("Executable Date", DateTimeText(facts->ModifiedSecs));
    AddItem("Executable Size", std::to_string(facts->Size) + " bytes");
  }
  const std::string kernel = KernelMajorMinor();
  AddItem("Platform", kernel.empty() ? std::string("??") : "Linux " + kernel);
  SelectItem(1);
}

void TAboutBox::lbVerItemsClick() {
  if (Items_.empty()) return;
  QListWidgetItem* item = ui->lbVerItems->currentItem();
  if (!item) return;
  ui->memVerStr->setPlainText(Q(ItemValue(item->text().toStdString())));
}

void TAboutBox::IconImageClick() {
  QFile file(Q(quodra::host::DocumentFolder(FolderOf(ProgramFilePath)) + "new.txt"));
  if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) return;
  ui->memVerStr->clear();
  ui->memVerStr->setPlainText(QString::fromLocal8Bit(file.readAll()));
}

void TAboutBox::OKButtonClick() { done(kModalOk); }

void TAboutBox::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (!e->spontaneous()) FormShow();
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* e) {
  if (watched == ui->IconImage && e->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
    IconImageClick();
    return true;
  }
  return QDialog::eventFilter(watched, e);
}
