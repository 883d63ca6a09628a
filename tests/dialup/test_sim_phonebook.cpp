// The simulated phonebook file: how entries and their parameters are read and written.
#include <gtest/gtest.h>

#include "dialup/sim_phonebook_service.h"
#include "support/temp_dir.h"

using namespace quodra::dialup;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {
TRasDialParams Entry(const std::string& name) {
  TRasDialParams p;
  p.EntryName = name;
  return p;
}
}  // namespace

TEST(SimPhonebook, ReadsEntriesWithTheSettingsFileRules) {
  TTempDir dir;
  const std::string path = dir.File("book.ini");
  WriteFile(path,
            "; a comment\n"
            "# another\n"
            "[ Office ]\n"
            "  PhoneNumber =  \"555 0100\"  \n"
            "username=alice\r\n"
            "Password=\r\n"
            "[office]\n"
            "UserName=shadowed\n"
            "[Home]\n");
  TSimPhonebookService book(path);
  std::vector<std::string> names;
  ASSERT_EQ(book.EnumEntries("", names, 65), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"Office", "Home"}));

  TRasDialParams p;
  p.EntryName = "OFFICE";
  bool hasPassword = false;
  ASSERT_EQ(book.GetEntryDialParams("", p, hasPassword), 0);
  EXPECT_EQ(p.PhoneNumber, "555 0100");
  EXPECT_EQ(p.UserName, "alice");
  EXPECT_TRUE(hasPassword);  // stored, and empty
  EXPECT_EQ(p.Password, "");

  p = {};
  p.EntryName = "Home";
  ASSERT_EQ(book.GetEntryDialParams("", p, hasPassword), 0);
  EXPECT_FALSE(hasPassword);

  p.EntryName = "Nowhere";
  EXPECT_EQ(book.GetEntryDialParams("", p, hasPassword), kRasErrorCannotFindEntry);
  TRasHandle h = 0;
  EXPECT_EQ(book.Dial("", p, 0, nullptr, h), kRasErrorCannotFindEntry);
  EXPECT_EQ(h, 0u);
}

TEST(SimPhonebook, MissingPhonebookIsAnErrorNumberForEveryOperation) {
  TTempDir dir;
  TSimPhonebookService book(dir.File("none.ini"));
  std::vector<std::string> names;
  TRasDialParams p = Entry("Office");
  bool hasPassword = false;
  TRasHandle h = 0;
  EXPECT_EQ(book.EnumEntries("", names, 65), kRasErrorCannotOpenPhonebook);
  EXPECT_EQ(book.GetEntryDialParams("", p, hasPassword), kRasErrorCannotOpenPhonebook);
  EXPECT_EQ(book.SetEntryDialParams("", p, false), kRasErrorCannotOpenPhonebook);
  EXPECT_EQ(book.Dial("", p, 0, nullptr, h), kRasErrorCannotOpenPhonebook);
  EXPECT_EQ(book.EditEntry("", "Office"), kRasErrorCannotOpenPhonebook);
  EXPECT_FALSE(quodra::test::FileExists(dir.File("none.ini")));
}

TEST(SimPhonebook, StoringParametersKeepsTheRestOfTheFile) {
  TTempDir dir;
  const std::string path = dir.File("book.ini");
  WriteFile(path, "; keep me\r\n[A]\r\nPhoneNumber=1\r\nPassword=old\r\nStates=0,2\r\n[B]\r\nPhoneNumber=2\r\n");
  TSimPhonebookService book(path);
  TRasDialParams p = Entry("a");
  p.PhoneNumber = "ignored";
  p.UserName = "user=x";
  p.Password = "new pass";
  p.Domain = "D";
  ASSERT_EQ(book.SetEntryDialParams("", p, false), 0);
  TRasDialParams back = Entry("A");
  bool hasPassword = false;
  ASSERT_EQ(book.GetEntryDialParams("", back, hasPassword), 0);
  EXPECT_EQ(back.PhoneNumber, "1");  // the number is the entry's, not a dial parameter
  EXPECT_EQ(back.UserName, "user=x");
  EXPECT_EQ(back.Password, "new pass");
  EXPECT_EQ(back.Domain, "D");
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find("; keep me"), std::string::npos);
  EXPECT_NE(text.find("States=0,2"), std::string::npos);

  // Removing the password takes the key away, so the entry has none stored.
  ASSERT_EQ(book.SetEntryDialParams("", p, true), 0);
  ASSERT_EQ(book.GetEntryDialParams("", back, hasPassword), 0);
  EXPECT_FALSE(hasPassword);
  TRasDialParams other = Entry("B");
  ASSERT_EQ(book.GetEntryDialParams("", other, hasPassword), 0);
  EXPECT_EQ(other.PhoneNumber, "2");
}

TEST(SimPhonebook, NewEntriesGetFreeNamesAndAMissingFileIsCreated) {
  TTempDir dir;
  const std::string path = dir.File("new.ini");
  TSimPhonebookService book(path);
  ASSERT_EQ(book.CreateEntry(""), 0);
  ASSERT_EQ(book.CreateEntry(""), 0);
  std::vector<std::string> names;
  ASSERT_EQ(book.EnumEntries("", names, 65), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"New Entry", "New Entry 2"}));
  EXPECT_EQ(book.EditEntry("", "new entry 2"), 0);
  EXPECT_EQ(book.EditEntry("", "New Entry 3"), kRasErrorCannotFindEntry);
}

TEST(SimPhonebook, ScriptValuesThatMakeNoSenseFallBackToDefaults) {
  TTempDir dir;
  const std::string path = dir.File("book.ini");
  WriteFile(path, "[X]\nStates=0, junk, 8192, 8193, -4, 5\nStepMs=abc\nError=1e3\nDropAfter=-1\n");
  TSimPhonebookService book(path);
  TRasHandle h = 0;
  // Error "1e3" is not a number: the dial connects; the end states in the list are dropped.
  ASSERT_EQ(book.Dial("", Entry("X"), 0, nullptr, h), 0);
  int state = 0;
  ASSERT_EQ(book.GetConnectStatus(h, state), 0);
  EXPECT_EQ(state, kRasConnected);
  EXPECT_EQ(book.HangUp(h), 0);
  EXPECT_EQ(book.HangUp(h), kRasErrorInvalidHandle);
  EXPECT_EQ(book.GetConnectStatus(h, state), kRasErrorInvalidHandle);
}
