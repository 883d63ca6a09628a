// Profile files as text: decoding hand-written files, writing them back, names and paths.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "app/digits_to_int.h"
#include "app/profile_file.h"
#include "app/profile_paths.h"
#include "support/temp_dir.h"

using namespace quodra::app;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {

std::string Crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  return text;
}

}  // namespace

TEST(DigitsToInt, KeepsDigitsAndMinusSignsOfTheFirstTwentyCharacters) {
  EXPECT_EQ(DigitsToInt("1,500"), 1500);
  EXPECT_EQ(DigitsToInt(" 300 ticks"), 300);
  EXPECT_EQ(DigitsToInt("-42"), -42);
  EXPECT_EQ(DigitsToInt("abc"), 0);
  EXPECT_EQ(DigitsToInt(""), 0);
  EXPECT_EQ(DigitsToInt("-"), 0);
  EXPECT_EQ(DigitsToInt("5-3"), 0);   // a minus sign inside the digits
  EXPECT_EQ(DigitsToInt("--1"), 0);
  EXPECT_EQ(DigitsToInt(std::string(19, 'x') + "12"), 1);  // the 2 is the 21st character
  EXPECT_EQ(DigitsToInt("99999999999"), 0);                 // does not fit
  EXPECT_EQ(DigitsToInt("2147483647"), 2147483647);
}

TEST(ProfilePaths, NamesBecomeFilesInTheProfileFolder) {
  EXPECT_EQ(ResolveProfilePath("daily", "/p/"), "/p/daily.FTP");
  EXPECT_EQ(ResolveProfilePath("my.profile", "/p/"), "/p/my.FTP");
  EXPECT_EQ(ResolveProfilePath("daily.FTP", "/p/"), "/p/daily.FTP");
  EXPECT_EQ(ResolveProfilePath("", "/p/"), "/p/.FTP");
  // A folder part keeps its own folder; "\" counts as a separator and becomes "/".
  EXPECT_EQ(ResolveProfilePath("/srv/jobs.v2/night", "/p/"), "/srv/jobs.v2/night.FTP");
  EXPECT_EQ(ResolveProfilePath("sub\\night.old", "/p/"), "sub/night.FTP");
  EXPECT_EQ(ResolveProfilePath("C:night", "/p/"), "C:night.FTP");
  EXPECT_EQ(ProfileNameOf("/p/my.FTP"), "my");
  EXPECT_EQ(ProfileNameOf("/p/.FTP"), "");
  EXPECT_EQ(FolderOf("/p/my.FTP"), "/p/");
  EXPECT_EQ(FolderOf("my.FTP"), "");
}

TEST(ProfilePaths, ListsProfileFilesInFileSystemOrderWithHiddenOnesButNoFolders) {
  TTempDir dir;
  for (const char* name : {"b.FTP", "a.FTP", ".hidden.FTP", ".FTP", "notes.txt", "lower.ftp", "two.dots.FTP"})
    WriteFile(dir.File(name), "[Options]\r\n");
  ASSERT_EQ(::mkdir(dir.File("folder.FTP").c_str(), 0700), 0);

  std::vector<std::string> expected;  // the order readdir gives
  DIR* d = ::opendir(dir.Path().c_str());
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n.size() >= 4 && n.compare(n.size() - 4, 4, ".FTP") == 0 && n != "folder.FTP")
      expected.push_back(n.substr(0, n.size() - 4));
  }
  ::closedir(d);

  auto names = ListProfileNames(dir.Path() + "*.FTP");
  EXPECT_EQ(names, expected);
  EXPECT_NE(std::find(names.begin(), names.end(), ".hidden"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), ""), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "two.dots"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "folder"), names.end());
  EXPECT_TRUE(ListProfileNames(dir.File("missing/*.FTP")).empty());
}

TEST(ProfileFile, DecodesHandWrittenValues) {
  TTempDir dir;
  auto read = [&](const std::vector<std::string>& lines) {
    WriteFile(dir.File("p.FTP"), Crlf(lines));
    return ReadProfile(dir.File("p.FTP"));
  };
  // The section header alone, and a missing file, give the defaults: FTP, binary, port
  // "ftp", time-outs 1000 and 300, remote files deleted, nothing else set.
  TProfile defaults = read({"[Options]"});
  EXPECT_EQ(defaults, TProfile());
  EXPECT_EQ(ReadProfile(dir.File("missing.FTP")), TProfile());
  EXPECT_EQ(defaults.TransferMode, tmFtp);
  EXPECT_EQ(defaults.Port, "ftp");
  EXPECT_EQ(defaults.TimeOut, 1000);
  EXPECT_EQ(defaults.ConnectTimeOut, 300);
  EXPECT_TRUE(defaults.DeleteRemote);
  EXPECT_FALSE(defaults.Ascii || defaults.Overwrite || defaults.AutoDisconnect || defaults.Passive || defaults.UseDialup);

  TProfile p = read({"[options]", "timeout=1,500", "CONNECTTIMEOUT=", "FileTransferMode=c", "Mode=a",
                     "UseDialup=YES", "Overwrite=yes please", "AutoDisconnect=N", "Passive=y",
                     "DeleteRemote=no", "Port=  ", "ServerName = ftp.local ", "Password=\"  pw  \"",
                     "PhonebookEntry=Office "});
  EXPECT_EQ(p.TimeOut, 1500);
  EXPECT_EQ(p.ConnectTimeOut, 300);
  EXPECT_EQ(p.TransferMode, tmFileCopy);
  EXPECT_TRUE(p.Ascii);
  EXPECT_FALSE(p.UseDialup);  // only "Y" itself switches dial-up on
  EXPECT_TRUE(p.Overwrite);
  EXPECT_FALSE(p.AutoDisconnect);
  EXPECT_TRUE(p.Passive);
  EXPECT_FALSE(p.DeleteRemote);
  EXPECT_EQ(p.Port, "ftp");
  EXPECT_EQ(p.ServerName, "ftp.local");
  EXPECT_EQ(p.Password, "  pw  ");
  EXPECT_EQ(p.PhonebookEntry, "Office");

  EXPECT_EQ(read({"[Options]", "Timeout=letters"}).TimeOut, 0);  // the dialog then holds 1000
  EXPECT_TRUE(read({"[Options]", "UseDialup=y"}).UseDialup);
  EXPECT_EQ(read({"[Options]", "FileTransferMode=P"}).TransferMode, tmTrivialFtp);
  EXPECT_EQ(read({"[Options]", "FileTransferMode=x"}).TransferMode, tmTrivialFtp);
  EXPECT_EQ(read({"[Options]", "FileTransferMode=f"}).TransferMode, tmFtp);
  // A trivial-FTP profile without a port keeps it blank (its job then uses 69); "ftp" stays.
  EXPECT_EQ(read({"[Options]", "FileTransferMode=P", "Port="}).Port, "");
  EXPECT_EQ(read({"[Options]", "FileTransferMode=P", "Port=ftp"}).Port, "ftp");
  EXPECT_EQ(read({"[Options]", "FileTransferMode="}).TransferMode, tmFtp);
  EXPECT_FALSE(read({"[Options]", "Mode=B"}).Ascii);
  // Lines ending in a bare line feed, and keys outside "Options", are read as the platform does.
  WriteFile(dir.File("lf.FTP"), "[Other]\nLogin=wrong\n[Options]\nLogin=right\n");
  EXPECT_EQ(ReadProfile(dir.File("lf.FTP")).Login, "right");
}

TEST(ProfileFile, NewFileHoldsTheKeysInTheirOrder) {
  TTempDir dir;
  TProfile p;
  p.ServerName = "127.0.0.1";
  p.Password = "pw";
  p.Login = "me";
  p.Port = "2121";
  p.DestinationFile = "/data/in/";
  p.DefaultFolder = "/out";
  p.Overwrite = true;
  p.TransferMode = tmTrivialFtp;
  p.DeleteRemote = false;
  p.TimeOut = 1500;
  p.ConnectTimeOut = 0;
  p.SourceFile = "a.txt;*.csv;";
  p.Ascii = true;
  p.UseDialup = true;
  p.PhonebookEntry = "Office";
  p.DialUserName = "du";
  p.DialPassword = "dp";
  p.DialDomain = "dd";
  ASSERT_TRUE(WriteProfile(dir.File("n.FTP"), p));
  EXPECT_EQ(ReadFile(dir.File("n.FTP")),
            Crlf({"[Options]", "ServerName=127.0.0.1", "Password=pw", "Login=me", "Port=2121",
                  "DestinationFile=/data/in/", "DefaultFolder=/out", "Overwrite=Y", "AutoDisconnect=N",
                  "FileTransferMode=P", "DeleteRemote=N", "TimeOut=1500", "ConnectTimeOut=0",
                  "SourceFile=a.txt;*.csv;", "Passive=N", "Mode=A", "UseDialup=Y", "DialUserName=du",
                  "DialPassword=dp", "DialDomain=dd", "PhonebookEntry=Office "}));
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("n.FTP").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);  // it holds passwords
  EXPECT_EQ(ReadProfile(dir.File("n.FTP")), p);
}

TEST(ProfileFile, ValuesTheReaderWouldAlterStillReadBackUnchanged) {
  TTempDir dir;
  TProfile p;
  p.Password = "  secret ";       // blanks at both ends
  p.Login = "\"quoted\"";          // quotes of its own
  p.ServerName = "'host'";
  p.SourceFile = "a b;c";          // inner blanks need nothing
  p.DialPassword = "\tx";
  p.PhonebookEntry = "Dial Office";
  ASSERT_TRUE(WriteProfile(dir.File("q.FTP"), p));
  EXPECT_EQ(ReadProfile(dir.File("q.FTP")), p);
  EXPECT_NE(ReadFile(dir.File("q.FTP")).find("SourceFile=a b;c\r\n"), std::string::npos);
}

TEST(ProfileFile, FailedWritesReportFalseAndLeaveTheFileAlone) {
  TTempDir dir;
  EXPECT_FALSE(WriteProfile(dir.File("missing/x.FTP"), TProfile()));
  if (::geteuid() != 0) {  // the super-user may write anything
    std::string path = dir.File("ro.FTP");
    WriteFile(path, "[Options]\r\nLogin=keep\r\n");
    ::chmod(path.c_str(), 0400);
    TProfile p;
    p.Login = "changed";
    EXPECT_FALSE(WriteProfile(path, p));
    EXPECT_EQ(ReadFile(path), "[Options]\r\nLogin=keep\r\n");
  }
}

// Saving through a symbolic link replaces the file it points to (beside that file, in one
// step) and keeps the link; a link to a file not there yet creates it owner-only.
TEST(ProfileFile, SavingThroughASymbolicLinkWritesItsTarget) {
  struct TCase {
    const char* Name;
    const char* Link;  // what the link holds (relative to the link's folder, or absolute)
    bool TargetExists;
  } cases[] = {
      {"relative link to a profile", "../real/job.FTP", true},
      {"absolute link to a profile", nullptr, true},
      {"link to a profile not there yet", "../real/job.FTP", false},
      {"link to a link", "second.FTP", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir dir;
    ::mkdir(dir.File("profiles").c_str(), 0700);
    ::mkdir(dir.File("real").c_str(), 0700);
    const std::string target = dir.File("real/job.FTP");
    if (c.TargetExists) {
      WriteFile(target, "[Options]\r\nLogin=old\r\n[Other]\r\nKept=1\r\n");
      ::chmod(target.c_str(), 0640);
    }
    const std::string link = dir.File("profiles/job.FTP");
    if (std::string(c.Name) == "link to a link") {
      ASSERT_EQ(::symlink(target.c_str(), dir.File("profiles/second.FTP").c_str()), 0);
      ASSERT_EQ(::symlink(c.Link, link.c_str()), 0);
    } else {
      ASSERT_EQ(::symlink(c.Link ? c.Link : target.c_str(), link.c_str()), 0);
    }
    EXPECT_EQ(LinkTarget(link), c.Link && std::string(c.Link) == "../real/job.FTP" ? dir.File("profiles/../real/job.FTP")
                                                                                     : target);

    TProfile p;
    p.Login = "new";
    ASSERT_TRUE(WriteProfile(link, p));
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.TargetExists ? 0640u : 0600u);
    EXPECT_EQ(ReadProfile(link).Login, "new");
    EXPECT_EQ(ReadProfile(target).Login, "new");
    if (c.TargetExists) {
      EXPECT_NE(ReadFile(target).find("Kept=1"), std::string::npos);
    }
    // Nothing is left beside the target or the link.
    for (const char* folder : {"real", "profiles"}) {
      int files = 0;
      if (DIR* d = ::opendir(dir.File(folder).c_str())) {
        while (dirent* e = ::readdir(d)) files += e->d_name[0] != '.';
        ::closedir(d);
      }
      EXPECT_EQ(files, std::string(folder) == "real" ? 1 : (std::string(c.Name) == "link to a link" ? 2 : 1)) << folder;
    }
  }
  // A path that is no link is its own target.
  EXPECT_EQ(LinkTarget("/no/such/file.FTP"), "/no/such/file.FTP");
}

// The TLS keys: read with a forgiving hand, written after every other key, and never added to
// a profile that did not have them (such a profile keeps connecting as it did).
TEST(ProfileFile, SecurityKeysComeLastAndOnlyWhenSet) {
  TTempDir dir;
  std::string path = dir.File("s.FTP");
  WriteFile(path, Crlf({"[Options]", "Security= e ", "CertificateFingerprint = AB:cd:01 "}));
  TProfile p = ReadProfile(path);
  EXPECT_EQ(p.Security, "E");
  EXPECT_EQ(p.CertificateFingerprint, "AB:cd:01");
  EXPECT_EQ(ReadProfile(dir.File("none.FTP")).Security, "");

  TProfile plain;
  plain.Login = "me";
  ASSERT_TRUE(WriteProfile(dir.File("plain.FTP"), plain));
  std::string text = ReadFile(dir.File("plain.FTP"));
  EXPECT_EQ(text.find("Security"), std::string::npos);
  EXPECT_EQ(text.find("CertificateFingerprint"), std::string::npos);

  TProfile tls = plain;
  tls.Security = "I";
  tls.CertificateFingerprint = "00:11:22";
  ASSERT_TRUE(WriteProfile(dir.File("tls.FTP"), tls));
  text = ReadFile(dir.File("tls.FTP"));
  EXPECT_NE(text.find("PhonebookEntry= \r\nSecurity=I\r\nCertificateFingerprint=00:11:22\r\n"), std::string::npos);
  EXPECT_EQ(ReadProfile(dir.File("tls.FTP")), tls);
  // Cleared again: the keys stay, blank, where they were.
  tls.Security.clear();
  tls.CertificateFingerprint.clear();
  ASSERT_TRUE(WriteProfile(dir.File("tls.FTP"), tls));
  EXPECT_NE(ReadFile(dir.File("tls.FTP")).find("Security=\r\nCertificateFingerprint=\r\n"), std::string::npos);
}
