// Mode S in profile files and in the properties dialog: the letter, the two SFTP keys (written
// only when set), and the controls the mode shows.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <filesystem>

#include "app/profile_file.h"
#include "dialogs/varn_opt_frm.h"
#include "support/temp_dir.h"
#include "ui_varn_opt_frm.h"

using namespace quodra::app;
using namespace quodra::test;

TEST(SftpProfile, ModeAndKeysReadWrittenAndLeftOut) {
  TTempDir dir;
  struct TRow {
    const char* Sentence;
    std::string File;
    TTransferMode Mode;
    std::string Port, KeyFile, Fingerprint;
  };
  for (const auto& row : std::vector<TRow>{
           {"S with both keys", "[Options]\r\nFileTransferMode=S\r\nPrivateKeyFile=/home/me/.ssh/id_ed25519\r\n"
                                "HostKeyFingerprint= SHA256:abc \r\nPort=\r\n",
            tmSftp, "ftp", "/home/me/.ssh/id_ed25519", "SHA256:abc"},
           {"a lower-case s, a port of its own", "[Options]\r\nFileTransferMode=s\r\nPort=2222\r\n", tmSftp, "2222", "", ""},
           {"the other letters keep their meaning", "[Options]\r\nFileTransferMode=P\r\n", tmTrivialFtp, "", "", ""},
           {"and F stays FTP", "[Options]\r\nFileTransferMode=F\r\n", tmFtp, "ftp", "", ""},
       }) {
    SCOPED_TRACE(row.Sentence);
    WriteFile(dir.File("p.FTP"), row.File);
    TProfile p = ReadProfile(dir.File("p.FTP"));
    EXPECT_EQ(p.TransferMode, row.Mode);
    EXPECT_EQ(p.Port, row.Port);
    EXPECT_EQ(p.PrivateKeyFile, row.KeyFile);
    EXPECT_EQ(p.HostKeyFingerprint, row.Fingerprint);
    // Written back and read again it is the same profile; unset keys are not added.
    std::filesystem::remove(dir.File("q.FTP"));
    ASSERT_TRUE(WriteProfile(dir.File("q.FTP"), p));
    EXPECT_EQ(ReadProfile(dir.File("q.FTP")), p);
    const std::string written = ReadFile(dir.File("q.FTP"));
    EXPECT_EQ(written.find("PrivateKeyFile") != std::string::npos, !row.KeyFile.empty()) << written;
    EXPECT_EQ(written.find("HostKeyFingerprint") != std::string::npos, !row.Fingerprint.empty()) << written;
    if (row.Mode == tmSftp) { EXPECT_NE(written.find("FileTransferMode=S\r\n"), std::string::npos) << written; }
  }
}

TEST(SftpProfile, DialogShowsWhatTheModeUses) {
  TVarnOptFrm d;
  d.show();
  struct TRow { const char* Sentence; QRadioButton* Button; bool Login, Passive, SftpRows, Folder; };
  for (const auto& row : std::vector<TRow>{
           {"SFTP: login with key and host key, no passive box", d.SftpChkBox1, true, false, true, true},
           {"FTP: no SFTP fields", d.ui->FTPChkBox1, true, true, false, true},
           {"file copy: no login", d.ui->FileCopyChkBox1, false, false, false, false},
       }) {
    SCOPED_TRACE(row.Sentence);
    row.Button->setChecked(true);
    QTabWidget* pages = d.ui->PageControl1;
    EXPECT_EQ(pages->isTabVisible(pages->indexOf(d.ui->LoginTabSheet1)), row.Login);
    EXPECT_EQ(!d.ui->PassiveBox1->isHidden(), row.Passive);
    EXPECT_EQ(!d.SftpRows1->isHidden(), row.SftpRows);
    EXPECT_EQ(!d.ui->DefaultFolder1->isHidden(), row.Folder);
  }
  // One mode at a time: the new button joins the others' group.
  d.SftpChkBox1->setChecked(true);
  EXPECT_FALSE(d.ui->FTPChkBox1->isChecked() || d.ui->FileCopyChkBox1->isChecked() || d.ui->TrivialFTPChkBox1->isChecked());
}
