// The dialer on a simulated phonebook: event order of dials that connect, fail midway, are
// refused, cancelled or dropped; entry parameters; the phonebook operations.
#include <QPushButton>
#include <cstdlib>

#include "dialer_fixture.h"
#include "dialup/ras_error_text.h"
#include "port/qp_except.h"

using namespace quodra::test;
using quodra::dialup::kRasConnected;

namespace {

const char kOffice[] =
    "[Office]\r\n"
    "PhoneNumber=555 0100\r\n"
    "UserName=alice\r\n"
    "Password=secret\r\n"
    "Domain=WORK\r\n"
    "States=0,2,5\r\n"
    "StepMs=1\r\n";

}  // namespace

TEST_F(TDialerTest, AsyncDialReportsStatesThenConnectsAndHangsUp) {
  UsePhonebook(kOffice);
  Dialer->SetEntryName("Office");
  ASSERT_EQ(Dialer->Dial(), 0);
  // The hang-up that precedes every dial has reported already.
  EXPECT_EQ(Events, std::vector<std::string>{"disconnected"});
  ASSERT_NE(Status->Display(), nullptr);
  EXPECT_EQ(Status->Display()->windowTitle().toStdString(), "Connecting to Office...");
  EXPECT_TRUE(Status->Display()->isVisible());

  ASSERT_TRUE(WaitFor("connected"));
  EXPECT_EQ(Events, (std::vector<std::string>{"disconnected", "status 0", "status 2", "status 5", "connected"}));
  EXPECT_EQ(Shown, (std::vector<std::string>{"OpenPort", "Dialing 555 0100", "Authenticate"}));
  EXPECT_EQ(Status->Display(), nullptr);
  EXPECT_EQ(Dialer->GetConnectState(), kRasConnected);
  EXPECT_EQ(Service->LastDialParams().UserName, "alice");
  EXPECT_EQ(Service->LastDialParams().Password, "secret");

  Events.clear();
  EXPECT_EQ(Dialer->Hangup(), 0);
  EXPECT_EQ(Events, std::vector<std::string>{"disconnected"});
  EXPECT_EQ(LiveConnections(), 0u);
  EXPECT_EQ(Dialer->GetConnectState(), 0);
}

TEST_F(TDialerTest, RefusedDialReportsDisconnectedBeforeReturningAndNoDialError) {
  UsePhonebook(std::string(kOffice) + "Refuse=676\r\n");
  Dialer->SetEntryName("Office");
  EXPECT_EQ(Dialer->Dial(), 676);
  // One hang-up before the dial and one after the refusal, both inside Dial.
  EXPECT_EQ(Events, (std::vector<std::string>{"disconnected", "disconnected"}));
  EXPECT_EQ(Status->Display(), nullptr);
  quodra::host::WaitMs(50);
  EXPECT_FALSE(Saw("error 676"));
  EXPECT_EQ(Dialer->GetErrorText(676), "The line is busy.");
}

TEST_F(TDialerTest, DialFailingMidwayShowsTheErrorThenHangsUp) {
  UsePhonebook(std::string(kOffice) + "Error=691\r\n");
  Dialer->SetEntryName("Office");
  ASSERT_EQ(Dialer->Dial(), 0);
  ASSERT_TRUE(WaitFor("error 691"));
  ASSERT_TRUE(WaitFor("disconnected"));  // the first one is the hang-up before the dial
  EXPECT_EQ(Events, (std::vector<std::string>{"disconnected", "status 0", "status 2", "status 5", "error 691",
                                              "disconnected"}));
  EXPECT_EQ(Shown.back(), quodra::dialup::RasErrorText(691));
  EXPECT_FALSE(Saw("connected"));
  EXPECT_EQ(Status->Display(), nullptr);
  EXPECT_EQ(LiveConnections(), 0u);
}

TEST_F(TDialerTest, WrongCredentialsFailAuthentication) {
  UsePhonebook(std::string(kOffice) + "AcceptPassword=other\r\n");
  Dialer->SetEntryName("Office");
  ASSERT_EQ(Dialer->Dial(), 0);
  ASSERT_TRUE(WaitFor("error 691"));
}

TEST_F(TDialerTest, CancelOnTheDisplayHangsUpAndNothingArrivesLater) {
  UsePhonebook("[Slow]\r\nPhoneNumber=1\r\nStates=0,1,2,3,4,5\r\nStepMs=40\r\n");
  Dialer->SetEntryName("Slow");
  ASSERT_EQ(Dialer->Dial(), 0);
  ASSERT_TRUE(WaitFor("status 0"));
  ASSERT_NE(Status->Display(), nullptr);
  Events.clear();
  Status->Display()->CancelBtn->click();
  ASSERT_TRUE(WaitFor("disconnected"));
  EXPECT_EQ(Status->Display(), nullptr);
  EXPECT_EQ(LiveConnections(), 0u);
  const size_t seen = Events.size();
  quodra::host::WaitMs(400);  // longer than the rest of the script
  EXPECT_EQ(Events.size(), seen);
  EXPECT_EQ(Events.back(), "disconnected");
}

TEST_F(TDialerTest, DroppedLineIsSeenByTheDisconnectWatch) {
  UsePhonebook(std::string(kOffice) + "DropAfter=0.1\r\n");
  Dialer->SetEntryName("Office");
  ASSERT_EQ(Dialer->Dial(), 0);
  ASSERT_TRUE(WaitFor("connected"));
  Events.clear();
  ASSERT_TRUE(WaitFor("disconnected"));
  EXPECT_EQ(LiveConnections(), 0u);
}

TEST_F(TDialerTest, SynchronousDialShowsNothingAndReportsNoProgress) {
  UsePhonebook(kOffice);
  Dialer->SetDialMode(dmSync);
  Dialer->SetEntryName("Office");
  ASSERT_EQ(Dialer->Dial(), 0);
  EXPECT_EQ(Status->Display(), nullptr);
  quodra::host::WaitMs(30);
  EXPECT_EQ(Events, std::vector<std::string>{"disconnected"});
  EXPECT_EQ(Dialer->GetConnectState(), kRasConnected);

  UsePhonebook(std::string(kOffice) + "Error=678\r\n");
  Dialer->SetDialMode(dmSync);
  Dialer->SetEntryName("Office");
  EXPECT_EQ(Dialer->Dial(), 678);
  EXPECT_EQ(LiveConnections(), 0u);
}

TEST_F(TDialerTest, HangupWithoutConnectionStillReportsDisconnected) {
  UsePhonebook(kOffice);
  EXPECT_EQ(Dialer->Hangup(), 0);
  EXPECT_EQ(Events, std::vector<std::string>{"disconnected"});
}

TEST_F(TDialerTest, HangupFindsALinkDialledByAnotherDialerByEntryName) {
  UsePhonebook(std::string(kOffice) + "[Home]\r\nStepMs=1\r\n");
  quodra::dialup::TRasHandle other = 0, home = 0;
  ASSERT_EQ(Service->Dial("", Entry("Home"), 0, nullptr, home), 0);
  ASSERT_EQ(Service->Dial("", Entry("Office"), 0, nullptr, other), 0);
  Dialer->SetEntryName("Office");
  Dialer->Hangup();
  int state = 0;
  EXPECT_EQ(Service->GetConnectStatus(other, state), quodra::dialup::kRasErrorInvalidHandle);
  EXPECT_EQ(Service->GetConnectStatus(home, state), 0);
}

TEST_F(TDialerTest, DestroyingHangsUpOnlyWhenAskedAndFiresNothing) {
  UsePhonebook(kOffice);
  Dialer->SetEntryName("Office");
  Dialer->SetDialMode(dmSync);
  ASSERT_EQ(Dialer->Dial(), 0);
  Events.clear();
  Dialer->SetHangupOnDestroy(true);
  delete Dialer;
  Dialer = nullptr;
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(LiveConnections(), 0u);
  EXPECT_EQ(Status->RasDialer(), nullptr);

  UsePhonebook(kOffice);
  Dialer->SetEntryName("Office");
  Dialer->SetDialMode(dmSync);
  ASSERT_EQ(Dialer->Dial(), 0);
  delete Dialer;  // HangupOnDestroy false: the link outlives the dialer
  Dialer = nullptr;
  EXPECT_EQ(LiveConnections(), 1u);
}

TEST_F(TDialerTest, SettingEntryNameLoadsItsStoredParameters) {
  UsePhonebook(std::string(kOffice) + "[NoPassword]\r\nPhoneNumber=777\r\nUserName=bob\r\n");
  Dialer->SetEntryName("Office");
  EXPECT_EQ(Dialer->PhoneNumber(), "555 0100");
  EXPECT_EQ(Dialer->UserName(), "alice");
  EXPECT_EQ(Dialer->Password(), "secret");
  EXPECT_EQ(Dialer->Domain(), "WORK");

  Dialer->SetEntryName("NoPassword");
  EXPECT_EQ(Dialer->UserName(), "bob");
  EXPECT_EQ(Dialer->Password(), "");
  EXPECT_EQ(Dialer->Domain(), "");

  // An entry the phonebook lacks changes nothing else, and says nothing.
  Dialer->SetEntryName("Missing");
  EXPECT_EQ(Dialer->EntryName(), "Missing");
  EXPECT_EQ(Dialer->PhoneNumber(), "777");
  EXPECT_EQ(Dialer->UserName(), "bob");
  EXPECT_TRUE(Events.empty());
}

TEST_F(TDialerTest, StoredParametersAreWrittenBackAndTooLongValuesRefused) {
  UsePhonebook(kOffice);
  Dialer->SetEntryName("Office");
  Dialer->SetUserName("carol");
  Dialer->SetDomain("HOME");
  ASSERT_EQ(Dialer->SetDialParameters(), 0);
  Dialer->SetUserName("");
  Dialer->SetEntryName("Office");
  EXPECT_EQ(Dialer->UserName(), "carol");
  EXPECT_EQ(Dialer->Domain(), "HOME");
  EXPECT_EQ(Dialer->Password(), "secret");

  std::string before = ReadFile(BookPath);
  Dialer->SetDomain(std::string(16, 'D'));
  EXPECT_EQ(Dialer->SetDialParameters(), quodra::dialup::kRasErrorInvalidParameter);
  EXPECT_EQ(Dialer->Dial(), quodra::dialup::kRasErrorInvalidParameter);
  EXPECT_EQ(ReadFile(BookPath), before);
  EXPECT_EQ(LiveConnections(), 0u);
}

TEST_F(TDialerTest, OperationsNeedingAnEntryAnswer623WithoutTheService) {
  // No service at all: had any of these asked for it, they would raise instead.
  quodra::dialup::UnloadRasService();
  ::unsetenv(quodra::dialup::kPhonebookEnvVar);
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quodra-test-bus", 1);
  Dialer->SetEntryName("");
  EXPECT_EQ(Dialer->GetDialParameters(), 623);
  EXPECT_EQ(Dialer->SetDialParameters(), 623);
  EXPECT_EQ(Dialer->EditPhonebookEntry(), 623);
  EXPECT_EQ(Dialer->GetErrorText(623), "The phonebook entry cannot be found.");
  EXPECT_EQ(Dialer->GetErrorText(-1), "Function not Supported");
  EXPECT_EQ(Dialer->GetErrorText(12345), "Remote access error 12345.");

  // The first operation that needs the service raises the load failure.
  std::vector<std::string> list;
  try {
    Dialer->ListEntries(&list);
    FAIL() << "no load failure";
  } catch (const quodra::port::ERas& e) {
    EXPECT_EQ(e.ErrorCode(), -13980);
    EXPECT_NE(std::string(e.what()).find("NetworkManager"), std::string::npos);
  }
  EXPECT_THROW(Dialer->Dial(), quodra::port::ERas);
  EXPECT_THROW(Dialer->Hangup(), quodra::port::ERas);
}

TEST_F(TDialerTest, ListEntriesGivesTheFirst65InPhonebookOrder) {
  std::string book;
  for (int i = 70; i > 0; --i) book += "[Entry " + std::to_string(i) + "]\r\nPhoneNumber=" + std::to_string(i) + "\r\n";
  UsePhonebook(book);
  std::vector<std::string> list{"stale"};
  ASSERT_EQ(Dialer->ListEntries(&list), 0);
  ASSERT_EQ(list.size(), 65u);
  EXPECT_EQ(list.front(), "Entry 70");
  EXPECT_EQ(list.back(), "Entry 6");

  try {
    Dialer->ListEntries(nullptr);
    FAIL() << "no exception";
  } catch (const quodra::port::EBadArgument& e) {
    EXPECT_EQ(e.ErrorCode(), -1002);
    EXPECT_STREQ(e.what(), "Bad argument passed to function");
  }

  // A phonebook that cannot be opened is an error number, and the list ends up empty.
  Dialer->SetPhonebook(Dir.File("absent.ini"));
  EXPECT_EQ(Dialer->ListEntries(&list), 621);
  EXPECT_TRUE(list.empty());
}

TEST_F(TDialerTest, DialOptionsBecomeExtensionBits) {
  using quodra::dialup::DialExtensionOptions;
  EXPECT_EQ(DialExtensionOptions({}, smDefault, cmDefault), 0u);
  EXPECT_EQ(DialExtensionOptions({doPrefixSuffix, doPausedStates, doDisableConnectedUI, doDisableReconnectUI,
                                  doNoUser, doPauseOnScript},
                                 smDefault, cmDefault),
            0x1u | 0x2u | 0x40u | 0x80u | 0x200u | 0x400u);
  EXPECT_EQ(DialExtensionOptions({}, smSpeakerOn, cmDefault), 0xCu);
  EXPECT_EQ(DialExtensionOptions({}, smSpeakerOff, cmDefault), 0x4u);
  EXPECT_EQ(DialExtensionOptions({}, smDefault, cmCompressionOn), 0x30u);
  EXPECT_EQ(DialExtensionOptions({}, smDefault, cmCompressionOff), 0x10u);

  UsePhonebook(kOffice);
  Dialer->SetEntryName("Office");
  Dialer->SetDialOptions({doNoUser});
  Dialer->SetSpeakerMode(smSpeakerOn);
  ASSERT_EQ(Dialer->Dial(), 0);
  EXPECT_EQ(Service->LastExtOptions(), 0x200u | 0xCu);
}

TEST_F(TDialerTest, DialerAndDisplayLinkAndForgetEachOther) {
  EXPECT_EQ(Dialer->StatusDisplay(), Status);
  EXPECT_EQ(Status->RasDialer(), Dialer);
  // A second display beside a linked pair stays unlinked.
  auto* spare = new TQpRasStatus(Owner.get());
  EXPECT_EQ(spare->RasDialer(), nullptr);
  delete Status;
  Status = spare;
  EXPECT_EQ(Dialer->StatusDisplay(), nullptr);
  Dialer->SetStatusDisplay(spare);
  EXPECT_EQ(spare->RasDialer(), Dialer);
}
