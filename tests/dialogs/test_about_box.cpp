// The about box: its item list at each showing, version texts, and the icon's news file.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QTimer>
#include <algorithm>

#include "dialogs/about_box.h"
#include "support/temp_dir.h"
#include "ui_about_box.h"

using quodra::dialogs::TVersionBlock;
using Names = std::vector<std::string>;

namespace {

// Shows the box as the properties dialog does (modally) and closes it again, so that the
// item list is built exactly as a user sees it.
int ShowModally(TAboutBox& box) {
  QTimer::singleShot(0, &box, [&box] { box.ui->OKButton->click(); });
  return box.exec();
}

std::string MemoText(const TAboutBox& box) { return box.ui->memVerStr->toPlainText().toStdString(); }

TVersionBlock SmallBlock() {
  TVersionBlock b;
  b.FileVersion = {1, 2, 3, 40};
  b.ProductVersion = {1, 2, 0, 0};
  b.FileType = 2;
  b.FileDescription = "Test description";
  b.LegalCopyright = "Test copyright";
  b.CompanyName = "Test company";
  return b;
}

}  // namespace

TEST(AboutBox, DesignSizeCaptionAndOkResult) {
  TAboutBox box;
  EXPECT_EQ(box.windowTitle(), "About");
  EXPECT_EQ(box.size(), QSize(488, 346));
  EXPECT_EQ(box.font().pixelSize(), 13);
  EXPECT_EQ(ShowModally(box), 1);
  EXPECT_FALSE(box.ui->Image1->pixmap().isNull());
  EXPECT_FALSE(box.ui->IconImage->pixmap().isNull());
}

TEST(AboutBox, ItemsOfTheProgramInOrderAndTheSameAtEveryShowing) {
  TAboutBox box;
  ShowModally(box);
  const Names first = box.ItemNames();
  const Names expected = {"Product Version",  "Operating System", "File Type",
                          "Total RAM",        "Networked",        "Computer Name",
                          "User Name",        "Company Name",     "Internal Name",
                          "Original Filename", "Product Name",    "Disk Free",
                          "Executable Date",  "Executable Size",  "Platform"};
  EXPECT_EQ(first, expected);
  ASSERT_EQ(box.ui->lbVerItems->count(), int(expected.size()));
  for (int i = 0; i < box.ui->lbVerItems->count(); ++i)
    EXPECT_EQ(box.ui->lbVerItems->item(i)->text().toStdString(), expected[size_t(i)]);

  ShowModally(box);
  EXPECT_EQ(box.ItemNames(), first);
  EXPECT_EQ(box.Items().size(), first.size());

  EXPECT_EQ(box.ItemValue("Product Version"), "2.0.0.0 Professional");
  EXPECT_EQ(box.ItemValue("File Type"), "Application");
  EXPECT_EQ(box.ui->lbVersion->text(), "2.0 Professional");
  const std::string ram = box.ItemValue("Total RAM");
  EXPECT_GT(std::stoll(ram), 1);
  EXPECT_EQ(ram.substr(ram.size() - 7), " MB RAM");
  EXPECT_TRUE(box.ItemValue("Networked") == "Yes" || box.ItemValue("Networked") == "No");
  EXPECT_EQ(box.ItemValue("Platform").rfind("Linux ", 0), 0u) << box.ItemValue("Platform");
  const std::string diskFree = box.ItemValue("Disk Free");
  EXPECT_EQ(diskFree.substr(diskFree.size() - 6), " bytes");
  EXPECT_EQ(box.ItemValue("Executable Size"),
            std::to_string(QFileInfo(QString::fromStdString(box.ProgramFilePath)).size()) + " bytes");

  // After a showing the second item is selected and its value shown.
  EXPECT_EQ(box.ui->lbVerItems->currentRow(), 1);
  EXPECT_EQ(MemoText(box), box.ItemValue("Operating System"));
  box.ui->lbVerItems->setCurrentRow(2);
  EXPECT_EQ(MemoText(box), "Application");
}

TEST(AboutBox, OptionalVersionStringsAppearOnlyWhenPresent) {
  TAboutBox box;
  box.VersionBlock = SmallBlock();
  ShowModally(box);
  Names names = box.ItemNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "Comments"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Special Build"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Product Name"), 0);
  EXPECT_EQ(box.ItemValue("Company Name"), "Test company");
  EXPECT_EQ(box.ItemValue("File Type"), "Dynamic-Link Library");
  EXPECT_EQ(box.ItemValue("Product Version"), "1.2.0.0 Professional");
  EXPECT_EQ(box.ui->lbVersion->text(), "1.2.3.40 Professional");
  EXPECT_EQ(box.ui->lbDescription->text(), "Test description");
  EXPECT_EQ(box.ui->lbCopyright->text(), "Test copyright");

  TVersionBlock withAll = SmallBlock();
  withAll.Comments = "Built for tests";
  withAll.SpecialBuild = "";  // present though empty
  box.VersionBlock = withAll;
  ShowModally(box);
  names = box.ItemNames();
  const auto at = [&](const char* n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
  ASSERT_LT(at("Comments"), long(names.size()));
  EXPECT_EQ(at("Comments"), at("User Name") + 1);
  EXPECT_EQ(at("Special Build"), at("Company Name") + 1);
  EXPECT_EQ(at("Disk Free"), at("Special Build") + 1);
  EXPECT_EQ(box.ItemValue("Comments"), "Built for tests");
}

TEST(AboutBox, WithoutVersionBlockOrProgramFileOnlySystemFactsRemain) {
  quodra::test::TTempDir dir;
  TAboutBox box;
  const QString designVersion = box.ui->lbVersion->text();
  box.VersionBlock.reset();
  box.ProgramFilePath = dir.File("quodra-ftp");  // beside nothing: date and size unreadable
  ShowModally(box);
  EXPECT_EQ(box.ItemNames(), (Names{"Disk Free", "Platform"}));
  EXPECT_EQ(box.ui->lbVersion->text(), designVersion);
  EXPECT_EQ(box.ui->lbVerItems->currentRow(), 1);
  EXPECT_EQ(MemoText(box), box.ItemValue("Platform"));

  quodra::test::WriteFile(dir.File("quodra-ftp"), "12345");
  ShowModally(box);
  EXPECT_EQ(box.ItemNames(), (Names{"Disk Free", "Executable Date", "Executable Size", "Platform"}));
  EXPECT_EQ(box.ItemValue("Executable Size"), "5 bytes");
  EXPECT_FALSE(box.ItemValue("Executable Date").empty());
}

TEST(AboutBox, IconClickShowsNewsFileOnlyWhenThere) {
  quodra::test::TTempDir dir;
  TAboutBox box;
  box.ProgramFilePath = dir.File("quodra-ftp");
  ShowModally(box);
  const std::string before = MemoText(box);
  ASSERT_FALSE(before.empty());

  box.IconImageClick();
  EXPECT_EQ(MemoText(box), before);

  quodra::test::WriteFile(dir.File("new.txt"), "Version 2.0\nFirst line\nSecond line\n");
  box.IconImageClick();
  EXPECT_EQ(MemoText(box), "Version 2.0\nFirst line\nSecond line\n");
}
