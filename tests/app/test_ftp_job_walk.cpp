// The walk of the source list over a directory listing, without a server: the client is
// not logged in, so each Retrieve is refused and only the walk's own decisions show.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/ftp_job.h"
#include "app_test_window.h"

using namespace quodra::test;

namespace {

void SetListing(TAppWindows& w, const QStringList& names) {
  w.Main->FtpJob->FillDirectoryList((names.join("\r\n") + "\r\n").toStdString());
}

std::vector<std::string> Shown(const TAppWindows& w) {
  std::vector<std::string> rows;
  for (int i = 0; i < w.Main->ui->lbxCurrentDir->count(); ++i)
    rows.push_back(w.Main->ui->lbxCurrentDir->item(i)->text().toStdString());
  return rows;
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

// The work list over a long listing: plain names are found by name, a mask takes its matches
// in listing order and resumes after the last one, taken entries leave the view (one by one
// or, after many takes, in one refill), and a new listing starts every search anew.
TEST(FtpJobWalk, TheWorkListTakesMatchesInOrderAndTheViewFollows) {
  TAppWindows w;
  QStringList names;
  for (int i = 0; i < 20000; ++i) names << QString("f%1.%2").arg(i).arg(i % 100 == 7 ? "csv" : "dat");
  SetListing(w, names);
  TFtpWorkList& list = w.Main->FtpJob->WorkList();
  EXPECT_EQ(w.Main->ui->lbxCurrentDir->count(), 20002);
  EXPECT_TRUE(list.Contains("F19999.DAT"));
  EXPECT_TRUE(list.Contains("<End>"));
  EXPECT_FALSE(list.Contains("f20000.dat"));

  // The walk: one match per call, in listing order, each gone from the view afterwards.
  StartWalk(w, "*.CSV", "/tmp/in/");
  w.Main->FtpJob->GetNextFile();
  EXPECT_TRUE(w.Logged("Source File:f7.csv to Dest File:/tmp/in/f7.csv"));
  EXPECT_TRUE(w.Logged("Source File:f107.csv to Dest File:/tmp/in/f107.csv"));
  EXPECT_EQ(w.Main->ui->lbxCurrentDir->count(), 20000);
  EXPECT_FALSE(list.Contains("f7.csv"));

  // Many takes before the view catches up: the view is filled anew, without the taken ones.
  std::vector<std::string> taken;
  for (std::string name; !(name = list.TakeMatch("F1*.CSV")).empty();) taken.push_back(name);
  ASSERT_EQ(taken.size(), 110u);  // f1x07 and f1xx07, less f107 taken above
  EXPECT_EQ(taken.front(), "f1007.csv");
  EXPECT_EQ(taken.back(), "f19907.csv");
  list.Flush();
  std::vector<std::string> rows = Shown(w);
  EXPECT_EQ(rows.size(), 20000u - 110u);
  EXPECT_EQ(rows.front(), "<Start>");
  EXPECT_EQ(rows.back(), "<End>");
  for (const std::string& name : taken) EXPECT_EQ(std::count(rows.begin(), rows.end(), name), 0) << name;
  EXPECT_EQ(list.TakeMatch("*.CSV"), "f207.csv");  // the first mask goes on where it stopped
  EXPECT_EQ(list.TakeMatch("<*"), "");            // the markers are never taken

  SetListing(w, {"f7.csv", "x.dat"});  // a new listing: every search from the top again
  EXPECT_EQ(list.TakeMatch("*.CSV"), "f7.csv");
  EXPECT_EQ(list.TakeMatch("*.CSV"), "");
  list.Flush();
  EXPECT_EQ(Shown(w), (std::vector<std::string>{"<Start>", "x.dat", "<End>"}));
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
