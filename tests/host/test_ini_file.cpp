#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/ini_file.h"
#include "host/last_profile_store.h"
#include "support/temp_dir.h"

using namespace quodra::host;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

TEST(IniFile, ReadingRules) {
  TTempDir dir;
  std::string p = dir.File("a.FTP");
  WriteFile(p, "[options]\r\nTimeOut = 1,500 \r\nName=\"quoted value\"\r\nOdd='x\"\r\n"
               "Blank=\r\n[Other]\r\nTimeOut=9\r\n");
  EXPECT_EQ(ReadProfileValue(p, "Options", "Timeout"), "1,500");
  EXPECT_EQ(ReadProfileValue(p, "OPTIONS", "name"), "quoted value");
  EXPECT_EQ(ReadProfileValue(p, "Options", "Odd"), "'x\"");  // quotes must match
  EXPECT_EQ(ReadProfileValue(p, "Options", "Blank"), "");
  EXPECT_EQ(ReadProfileValue(p, "Options", "Missing"), "");
  EXPECT_EQ(ReadProfileValue(p, "Other", "TimeOut"), "9");
  EXPECT_EQ(ReadProfileValue(dir.File("none.FTP"), "Options", "TimeOut"), "");
}

TEST(IniFile, LongValuesAreReadWhole) {
  TTempDir dir;
  std::string p = dir.File("long.FTP");
  const std::string value = std::string(5000, 'x') + ";last.csv";
  WriteFile(p, "[Options]\r\nSourceFile=" + value + "\r\n");
  EXPECT_EQ(ReadProfileValue(p, "Options", "SourceFile"), value);
}

TEST(IniFile, WritingKeepsOrderUsesCrLfAndOwnerOnlyMode) {
  TTempDir dir;
  std::string p = dir.File("w.FTP");
  ASSERT_TRUE(WriteProfileValue(p, "Options", "ServerName", "host"));
  ASSERT_TRUE(WriteProfileValue(p, "Options", "Password", "secret"));
  ASSERT_TRUE(WriteProfileValue(p, "Options", "ServerName", "other"));  // keeps its place
  EXPECT_EQ(ReadFile(p), "[Options]\r\nServerName=other\r\nPassword=secret\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IniFile, ValuesCannotInjectLines) {
  TTempDir dir;
  std::string p = dir.File("i.FTP");
  ASSERT_TRUE(WriteProfileValue(p, "Options", "Login", "me\r\nPassword=stolen"));
  EXPECT_EQ(ReadProfileValue(p, "Options", "Password"), "");
}

TEST(IniFile, FailedWriteLeavesOldFileWhole) {
  TTempDir dir;
  std::string sub = dir.File("ro");
  ::mkdir(sub.c_str(), 0700);
  std::string p = sub + "/p.FTP";
  WriteFile(p, "[Options]\r\nLogin=me\r\n");
  ::chmod(sub.c_str(), 0500);
  bool wrote = WriteProfileValue(p, "Options", "Login", "you");
  ::chmod(sub.c_str(), 0700);
  if (::geteuid() != 0) {  // root writes anywhere
    EXPECT_FALSE(wrote);
    EXPECT_EQ(ReadProfileValue(p, "Options", "Login"), "me");
  }
  EXPECT_FALSE(WriteProfileValue(dir.File("missing/x.FTP"), "Options", "Login", "x"));
}

TEST(IniFile, SectionsKeysAndDeletion) {
  TTempDir dir;
  std::string p = dir.File("book.ini");
  WriteFile(p, "; a phonebook\r\n[Office]\r\nPhoneNumber = 555 0100 \r\nPassword=\"\"\r\n[Home]\r\nUserName=me\r\n");
  TIniFile ini(p);
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"Office", "Home"}));
  auto keys = ini.Keys("office");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0], (std::pair<std::string, std::string>{"PhoneNumber", "555 0100"}));
  EXPECT_TRUE(ini.HasKey("Office", "password"));  // present though empty
  EXPECT_FALSE(ini.HasKey("Home", "Password"));
  ini.DeleteKey("Office", "Password");
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(ReadFile(p), "; a phonebook\r\n[Office]\r\nPhoneNumber = 555 0100 \r\n[Home]\r\nUserName=me\r\n");
}

// The remembered last profile: a scheduler runs the same profile again and again, and the file
// is rewritten (and synced) only when the value changes.
TEST(LastProfileStore, RewritesOnlyAChangedValue) {
  TLastProfileStore store("quodra-test-last-" + std::to_string(::getpid()));
  const std::string file = store.FilePath();
  auto identity = [&file] {
    struct stat st {};
    ::stat(file.c_str(), &st);
    return std::to_string(st.st_ino) + "@" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  };
  store.Write("/srv/jobs/daily.FTP");
  EXPECT_EQ(store.Read(), "/srv/jobs/daily.FTP");
  const std::string written = identity();
  store.Write("/srv/jobs/daily.FTP");
  EXPECT_EQ(identity(), written);
  store.Write("/srv/jobs/other.FTP");
  EXPECT_EQ(store.Read(), "/srv/jobs/other.FTP");
  EXPECT_NE(identity(), written);
  // A path of any length comes back whole: a cut one would open another profile or none.
  const std::string deep = "/srv/" + std::string(300, 'd') + "/nightly.FTP";
  store.Write(deep);
  EXPECT_EQ(store.Read(), deep);
  ::unlink(file.c_str());
}
