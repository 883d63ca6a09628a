// The walk of the source list over a directory listing, without a server: the client is
// not logged in, so each Retrieve is refused and only the walk's own decisions show.
#include <gtest/gtest.h>

#include "app/ftp_job.h"
#include "app_test_window.h"

using namespace quodra::test;

namespace {

void SetListing(TAppWindows& w, const QStringList& names) {
  w.Main->ui->lbxCurrentDir->clear();
  w.Main->ui->lbxCurrentDir->addItem("<Start>");
  w.Main->ui->lbxCurrentDir->addItems(names);
  w.Main->ui->lbxCurrentDir->addItem("<End>");
}

void StartWalk(TAppWindows& w, const std::string& sources, const std::string& dest) {
  w.Opt->ui->FTPChkBox1->setChecked(true);
  w.Opt->ui->SourceFileName1->setText(QString::fromStdString(sources));
  w.Opt->ui->DestFileName1->setText(QString::fromStdString(dest));
  w.Main->FileNumber = 1;
  w.Main->FtpJob->GetNextFile();
}

}  // namespace

TEST(FtpJobWalk, MasksSkipTheMarkersAndTakeMatchesOutOfTheList) {
  TAppWindows w;
  SetListing(w, {"a.csv", "notes.txt", "B.CSV"});
  StartWalk(w, "*.CSV", "/tmp/in/");
  EXPECT_EQ(w.Opt->ui->SourceFileName1->text(), "*.CSV;");  // a single mask becomes a list
  EXPECT_TRUE(w.Logged("Source File:a.csv to Dest File:/tmp/in/a.csv"));
  EXPECT_FALSE(w.Logged("Get File Number: 0"));  // a mask as the first item logs no number
  EXPECT_EQ(w.Main->ui->lbxCurrentDir->count(), 4);   // a.csv taken out
  w.Main->FtpJob->GetNextFile();
  EXPECT_TRUE(w.Logged("Source File:B.CSV to Dest File:/tmp/in/B.CSV"));
  w.Main->FtpJob->GetNextFile();
  EXPECT_TRUE(w.Logged("Source File:*.CSV mask finished!"));
  EXPECT_EQ(w.Main->FileNumber, TMainFrm::kNoMoreFiles);

  TAppWindows all;
  SetListing(all, {"x.TMP", "y.dat"});
  StartWalk(all, "!*.TMP", "/tmp/in/");
  EXPECT_TRUE(all.Logged("Source File:y.dat to Dest File:/tmp/in/y.dat"));
  all.Main->FtpJob->GetNextFile();
  EXPECT_TRUE(all.Logged("Source File:!*.TMP mask finished!"));
  for (const auto& line : all.LogLines()) EXPECT_EQ(line.find("<Start>"), std::string::npos) << line;
}

TEST(FtpJobWalk, MissingPlainNamesAreReportedAndSkipped) {
  TAppWindows w;
  SetListing(w, {"second.txt"});
  StartWalk(w, "first.txt;second.txt", "/tmp/in/");
  EXPECT_TRUE(w.Logged("Source File:first.txt does not exist!"));
  EXPECT_TRUE(w.Logged("Get File Number: 2"));
  EXPECT_TRUE(w.Logged("Source File:second.txt to Dest File:/tmp/in/second.txt"));
  EXPECT_TRUE(w.Main->RunHasFailed());

  TAppWindows second;
  SetListing(second, {"a.dat"});
  StartWalk(second, "x.txt;*.dat", "/tmp/in/");
  EXPECT_TRUE(second.Logged("Get File Number: 1"));  // a mask as the second item
}

TEST(FtpJobWalk, AnEntryAtPositionZeroEndsTheWalkInsteadOfLooping) {
  TAppWindows w;
  // After a mask took the marker's successor out, a plain name can sit at position 0.
  w.Main->ui->lbxCurrentDir->clear();
  w.Main->ui->lbxCurrentDir->addItems({"only.txt", "<End>"});
  StartWalk(w, "only.txt;", "/tmp/in/");
  EXPECT_TRUE(w.Logged("Source File:only.txt to Dest File:/tmp/in/only.txt"));
}

TEST(FtpJobWalk, UnsafeRemoteNamesAreNeverWrittenOutsideTheFolder) {
  TAppWindows w;
  SetListing(w, {"../evil", "/etc/passwd", "good.txt"});
  StartWalk(w, "*", "/tmp/in/");
  EXPECT_TRUE(w.Logged("Source File:../evil is not a safe local name!"));
  EXPECT_TRUE(w.Logged("Source File:/etc/passwd is not a safe local name!"));
  EXPECT_TRUE(w.Logged("Source File:good.txt to Dest File:/tmp/in/good.txt"));
  EXPECT_FALSE(w.Logged("Source File:../evil to Dest File:/tmp/in/../evil"));

  TAppWindows plain;
  SetListing(plain, {});
  StartWalk(plain, "../../etc/cron.d/job", "/tmp/in/");
  EXPECT_TRUE(plain.Logged("Source File:../../etc/cron.d/job is not a safe local name!"));
  TAppWindows sub;
  StartWalk(sub, "reports/today.csv", "/tmp/in/");  // a sub-folder the profile names is fine
  EXPECT_TRUE(sub.Logged("Source File:reports/today.csv to Dest File:/tmp/in/reports/today.csv"));
}

TEST(FtpJobWalk, DestinationFileOrNone) {
  TAppWindows w;
  StartWalk(w, "one.txt", "/tmp/all.txt");
  EXPECT_TRUE(w.Logged("Get File"));
  EXPECT_TRUE(w.Logged("Source File:one.txt to Dest File:/tmp/all.txt"));
  EXPECT_TRUE(w.Logged("Retrieve and Append"));
  TAppWindows none;
  none.Opt->ui->Overwrite1->setChecked(true);
  StartWalk(none, "pub/one.txt", "");
  EXPECT_TRUE(none.Logged("Source File:pub/one.txt to Dest File:pub/one.txt"));
  EXPECT_TRUE(none.Logged("Retrieve and Overwrite"));
  EXPECT_EQ(none.Main->ui->LTFileName1->text(), "pub/");
}
