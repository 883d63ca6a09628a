// The FTP client against a scripted server: replies, orderings and failures that a real
// server does not produce on request.
#include <gtest/gtest.h>

#include <regex>

#include "ftp/qp_ftp_client.h"
#include "ftp/qp_ftp_log.h"
#include "host/clock.h"
#include "ftp_test_util.h"
#include "support/ftp_server_fixture.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace quodra::ftp;
using namespace quodra::ftp::test;
using quodra::test::ReadFile;
using quodra::test::TScriptedFtpServer;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {

std::vector<std::string> Steps(std::vector<std::string> head, const std::vector<std::string>& tail = {}) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The passive data connection of a retrieve, up to the server's 150.
// A passive retrieve; a session already in binary type (after one) sends no TYPE I for it.
std::vector<std::string> PassiveRetr(const std::string& name, bool typeFirst = true) {
  std::vector<std::string> steps = {"expect PASV", "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept",
                                    "expect RETR " + name, "send 150 opening"};
  if (typeFirst) steps.insert(steps.begin(), {"expect TYPE I", "send 200 binary"});
  return steps;
}

struct TSession {
  TScriptedFtpServer Server;
  TQpFtpClient Client;
  TFtpRecorder Rec;

  explicit TSession(const std::vector<std::string>& steps) {
    EXPECT_TRUE(Server.Start(steps)) << Server.Log();
    Client.SetServerAddress("127.0.0.1");
    Client.SetWsPort(Server.PortText());
    Client.UserName = "tester";
    Client.Password = "secret";
    Client.PassiveMode = true;
    Rec.Attach(Client);
  }
  bool LogIn() {
    if (!Client.Login()) return false;
    return WaitFor([&] { return Rec.Has(fsLoggedIn) || !Rec.Errors.empty(); }) && Rec.Has(fsLoggedIn);
  }
  bool Idle() {
    return WaitFor([&] { return !Client.InProgress(); });
  }
  std::vector<std::string> Received() const { return Server.Received(); }
};

}  // namespace

TEST(FtpScripted, MultiLineGreetingPwdCwdAndUnexpectedReply) {
  // The 331 reply's continuation lines begin with its code and '-': only "331 " ends it.
  TSession s(Steps({"send 220-Welcome", "send  to the test server", "send 220 ready", "expect USER tester",
                    "send 331-Password", "send 331-required", "send 331 send it", "expect PASS secret",
                    "send 230 ok", "expect PWD",
                    "send 257 \"/home/tester\" is the current directory", "expect CWD pub", "send 250 CWD ok",
                    "expect DELE x", "send 200 odd but harmless"}));
  ASSERT_TRUE(s.LogIn()) << s.Rec.Sequence();
  ASSERT_EQ(s.Rec.Count(fsConnected), 1u);
  EXPECT_EQ(*s.Rec.Last(fsConnected)->Text, "Welcome\r\n to the test server\r\n");
  ASSERT_GE(s.Rec.Replies.size(), 3u);
  EXPECT_EQ(s.Rec.Replies[0], "220-Welcome\r\n");
  EXPECT_EQ(s.Rec.Replies[1], " to the test server\r\n");
  EXPECT_EQ(s.Rec.Replies[2], "220 ready\r\n");
  EXPECT_EQ(s.Rec.Sequence(), "Connected LoggedIn");

  ASSERT_TRUE(s.Client.ChangeDir(""));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsCurrentDir); }));
  EXPECT_EQ(*s.Rec.Last(fsCurrentDir)->Text, "/home/tester");
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);

  ASSERT_TRUE(s.Client.ChangeDir("pub"));
  EXPECT_FALSE(s.Client.ChangeDir("again"));  // busy
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsCommandDone); }));

  // An unexpected 200 while commanding: back to Ready, no event.
  ASSERT_TRUE(s.Client.Delete("x"));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Replies.size() == 10; }));
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);
  EXPECT_TRUE(s.Rec.Errors.empty());
  EXPECT_EQ(s.Rec.Sequence(), "Connected LoggedIn CurrentDir CommandDone");

  std::vector<std::string> r = s.Received();
  EXPECT_EQ(std::count(r.begin(), r.end(), "USER tester"), 1);
  EXPECT_EQ(std::count(r.begin(), r.end(), "PASS secret"), 1);
}

TEST(FtpScripted, RefusedLoginStaysOpenAndCanBeRepeated) {
  TSession s(Steps({"send 220 ready", "expect USER tester", "send 331 pw", "expect PASS secret",
                    "send 530 Login incorrect.", "expect USER tester", "send 331 pw", "expect PASS secret",
                    "send 230 ok"}));
  s.Client.TransferTimeout = 0;
  ASSERT_TRUE(s.Client.Login());
  ASSERT_TRUE(WaitFor([&] { return !s.Rec.Errors.empty(); }));
  EXPECT_EQ(s.Rec.Errors[0].Code, 530);
  EXPECT_EQ(*s.Rec.Errors[0].Text, "Login incorrect.\r\n");  // the code travels beside it
  EXPECT_TRUE(s.Client.Connected());
  EXPECT_TRUE(s.Client.InProgress());
  // Login again goes on over the open connection from USER.
  ASSERT_TRUE(s.Client.Login());
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsLoggedIn); }));
  EXPECT_EQ(s.Rec.Sequence(), "Connected error 530 LoggedIn");
}

TEST(FtpScripted, RefusedOperationsSendNothing) {
  TTempDir dir;
  TSession s(Steps(kLogin, {"expect CWD ok", "send 250 fine"}));
  s.Client.UserName = "bad\r\nDELE x";
  EXPECT_FALSE(s.Client.Login());
  s.Client.UserName = "tester";
  EXPECT_FALSE(s.Client.ChangeDir("x"));  // not logged in
  EXPECT_FALSE(s.Client.Abort());
  ASSERT_TRUE(s.LogIn());
  EXPECT_FALSE(s.Client.Login());
  EXPECT_FALSE(s.Client.Abort());  // nothing to abort
  // Line ends and NUL in arguments would start a command of their own.
  EXPECT_FALSE(s.Client.ChangeDir("a\r\nDELE b"));
  EXPECT_FALSE(s.Client.Delete("x\n"));
  EXPECT_FALSE(s.Client.Delete(""));
  EXPECT_FALSE(s.Client.ListDir("a\rb", false));
  EXPECT_FALSE(s.Client.ListDir(std::string("a\0b", 3), true));
  EXPECT_FALSE(s.Client.Retrieve("a\nb", dir.File("x"), rmReplace));
  EXPECT_FALSE(s.Client.Retrieve("", dir.File("x"), rmReplace));
  EXPECT_FALSE(s.Client.Retrieve("a", "", rmReplace));
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);
  EXPECT_FALSE(quodra::test::FileExists(dir.File("x")));

  // A local file that cannot be opened: the error propagates, the session is Ready again.
  EXPECT_THROW(s.Client.Retrieve("a", dir.File("missing/folder/x"), rmReplace), EFtpLocalFile);
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);

  ASSERT_TRUE(s.Client.ChangeDir("ok"));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsCommandDone); }));
  std::vector<std::string> r = s.Received();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2], "CWD ok");
}

TEST(FtpScripted, PassiveListingWithOddSpacingKeepsEveryName) {
  TTempDir dir;
  // Far more than one data buffer.
  std::string listing;
  for (int i = 0; i < 8000; ++i) listing += "file-" + std::to_string(100000 + i) + ".dat\r\n";
  WriteFile(dir.File("listing"), listing);
  TSession s(Steps(kLogin, {"expect TYPE A", "send 200 ascii", "expect PASV",
                            "pasv 227 Entering Passive Mode ( 127, 0, 0, 1, {p1} , {p2} )", "accept", "expect NLST",
                            "send 150 here it comes", "datafile " + dir.File("listing"), "dataclose",
                            "send 226 done"}));
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.ListDir("", false));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTextReady) || !s.Rec.Errors.empty(); })) << s.Rec.Sequence();
  ASSERT_TRUE(s.Rec.Has(fsTextReady)) << s.Rec.Sequence();
  EXPECT_EQ(s.Rec.Last(fsTextReady)->Text->size(), listing.size());
  EXPECT_TRUE(*s.Rec.Last(fsTextReady)->Text == listing);
  EXPECT_EQ(s.Client.BytesTransferred(), static_cast<int64_t>(listing.size()));
  // The 226 that follows finds the session Ready and changes nothing.
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Replies.size() == 7; }));
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);
  EXPECT_TRUE(s.Rec.Errors.empty());
}

TEST(FtpScripted, ActivePortTextAndRefusedPort) {
  TTempDir dir;
  TSession s(Steps(kLogin, {"expect PORT", "send 200 port ok", "expect TYPE I", "send 200 binary",
                            "expect RETR data.bin", "send 150 opening", "connect", "data active\\r\\nbytes",
                            "dataclose", "send 226 done", "expect PORT", "send 500 PORT not understood",
                            "expect CWD next", "send 250 ok"}));
  s.Client.PassiveMode = false;
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.Retrieve("data.bin", dir.File("out"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTransferDone) || !s.Rec.Errors.empty(); })) << s.Rec.Sequence();
  EXPECT_EQ(ReadFile(dir.File("out")), "active\r\nbytes");
  std::vector<std::string> r = s.Received();
  ASSERT_GE(r.size(), 3u);
  EXPECT_TRUE(std::regex_match(r[2], std::regex("PORT 127,0,0,1,[0-9]{1,3},[0-9]{1,3}"))) << r[2];

  // A refused PORT: the queued commands are dropped and the session is Ready.
  ASSERT_TRUE(s.Client.ListDir("", false));
  ASSERT_TRUE(WaitFor([&] { return !s.Rec.Errors.empty(); }));
  EXPECT_EQ(s.Rec.Errors[0].Code, 500);
  ASSERT_TRUE(s.Idle());
  EXPECT_FALSE(s.Rec.Has(fsTextReady));
  ASSERT_TRUE(s.Client.ChangeDir("next"));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsCommandDone); }));
  r = s.Received();
  EXPECT_EQ(r.back(), "CWD next");
}

// The end of a retrieve needs both the closed data connection and a positive reply, in
// whichever order they come.
TEST(FtpScripted, RetrieveDoneOnlyWithDataClosedAndPositiveReply) {
  TTempDir dir;
  TSession s(Steps(kLogin, Steps(PassiveRetr("first"), Steps({"send 226 done before the data", "sleep 300",
                                                              "data first file", "dataclose"},
                                                             Steps(PassiveRetr("second", false),
                                                                   {"data 250 counts", "dataclose", "sleep 300",
                                                                    "send 250 done"})))));
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.Retrieve("first", dir.File("a"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTransferDone) || !s.Rec.Errors.empty(); }));
  ASSERT_TRUE(s.Rec.Has(fsTransferDone)) << s.Rec.Sequence();
  EXPECT_EQ(ReadFile(dir.File("a")), "first file");
  // The last progress comes before the end and counts every byte.
  ASSERT_GE(s.Rec.Statuses.size(), 2u);
  EXPECT_EQ(s.Rec.Statuses.back().Code, fsTransferDone);
  EXPECT_EQ(s.Rec.Statuses[s.Rec.Statuses.size() - 2].Code, fsProgress);
  EXPECT_EQ(s.Rec.Statuses.back().Bytes, 10);

  ASSERT_TRUE(s.Client.Retrieve("second", dir.File("b"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Count(fsTransferDone) == 2 || !s.Rec.Errors.empty(); }));
  EXPECT_EQ(s.Rec.Count(fsTransferDone), 2u) << s.Rec.Sequence();
  EXPECT_EQ(ReadFile(dir.File("b")), "250 counts");
  EXPECT_TRUE(s.Rec.Errors.empty());
}

TEST(FtpScripted, CutDataConnectionIsNeverDone) {
  TTempDir dir;
  TSession s(Steps(kLogin, Steps(PassiveRetr("cut"), Steps({"data partial", "dataclose",
                                                           "send 426 Connection closed; transfer aborted."},
                                                          Steps(PassiveRetr("late", false),
                                                                {"data whole", "dataclose", "sleep 200",
                                                                 "send 451 local error in processing"})))));
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.Retrieve("cut", dir.File("cut"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return !s.Rec.Errors.empty(); }));
  EXPECT_EQ(s.Rec.Errors[0].Code, 426);
  ASSERT_TRUE(s.Idle());
  EXPECT_TRUE(s.Client.Connected());
  EXPECT_FALSE(quodra::test::FileExists(dir.File("cut")));  // an unconfirmed replacement never lands

  // The data connection closed normally, but the server then reports a failure.
  ASSERT_TRUE(s.Client.Retrieve("late", dir.File("late"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Errors.size() == 2; }));
  EXPECT_EQ(s.Rec.Errors[1].Code, 451);
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);
  EXPECT_FALSE(s.Rec.Has(fsTransferDone)) << s.Rec.Sequence();
}

TEST(FtpScripted, AbortedRetrieveIsNotDone) {
  TTempDir dir;
  TSession s(Steps(kLogin, Steps(PassiveRetr("big"), {"data first block", "expect ABOR", "dataclose",
                                                      "send 426 transfer aborted", "send 226 abort ok"})));
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.Retrieve("big", dir.File("big"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsProgress); }));
  ASSERT_TRUE(s.Client.Abort());
  // The replies are seen as they arrive, the events they cause only after: both are waited for.
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Replies.size() == 8 && !s.Client.EventsPending(); })) << s.Rec.Sequence();
  EXPECT_FALSE(s.Rec.Has(fsTransferDone));
  ASSERT_EQ(s.Rec.Errors.size(), 1u);
  EXPECT_EQ(s.Rec.Errors[0].Code, 426);
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);
  EXPECT_NE(std::find(s.Rec.Logs.begin(), s.Rec.Logs.end(), lgUserAbort), s.Rec.Logs.end());
}

TEST(FtpScripted, RestartAdjustsOffsetAndHistoryLogsIt) {
  TTempDir dir;
  WriteFile(dir.File("part"), std::string(1000, 'o'));
  auto restart = [](const std::string& offset, bool typeFirst) {
    std::vector<std::string> steps{"expect PASV", "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept",
                                   "expect REST " + offset, "send 350 restarting", "expect RETR f",
                                   "send 150 opening", "data NEW", "dataclose", "send 226 done"};
    if (typeFirst) steps.insert(steps.begin(), {"expect TYPE I", "send 200 binary"});
    return steps;
  };
  TSession s(Steps(kLogin, Steps(restart("1000", true), Steps(restart("1003", false), {"expect DELE a.txt", "send 250 deleted"}))));
  TQpFtpLog log;
  log.Enabled = true;
  log.FtpHistoryName = dir.File("history.his");
  s.Client.SetFtpLog(&log);
  ASSERT_TRUE(s.LogIn());

  s.Client.RestartAt = 5000;  // beyond the file: restarts at its end
  ASSERT_TRUE(s.Client.Retrieve("f", dir.File("part"), rmRestart));
  EXPECT_EQ(s.Client.RestartAt, 1000);
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Count(fsTransferDone) == 1 || !s.Rec.Errors.empty(); }));
  EXPECT_EQ(ReadFile(dir.File("part")), std::string(1000, 'o') + "NEW");

  s.Client.RestartAt = -7;  // negative: the file's size as well
  ASSERT_TRUE(s.Client.Retrieve("f", dir.File("part"), rmRestart));
  EXPECT_EQ(s.Client.RestartAt, 1003);
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Count(fsTransferDone) == 2 || !s.Rec.Errors.empty(); }));
  EXPECT_EQ(ReadFile(dir.File("part")), std::string(1000, 'o') + "NEWNEW");

  ASSERT_TRUE(s.Client.Delete("a.txt"));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsCommandDone); }));
  ASSERT_TRUE(WaitFor([&] { return ReadFile(log.FtpHistoryName).find("Deleting") != std::string::npos; }));
  std::string history = ReadFile(log.FtpHistoryName);
  EXPECT_NE(history.find(" : Attempting re-transfer at 1000 bytes\n"), std::string::npos) << history;
  EXPECT_NE(history.find(" : Attempting re-transfer at 1003 bytes\n"), std::string::npos) << history;
  EXPECT_NE(history.find(" : Deleting a.txt\n"), std::string::npos) << history;
  // With a log attached the codes go there, not to the event.
  EXPECT_TRUE(s.Rec.Logs.empty());
}

TEST(FtpScripted, TransferTimeoutKeepsTheSessionLoggedIn) {
  TSession s(Steps(kLogin, {"expect CWD slow", "hold"}));
  s.Client.TransferTimeout = 4;
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.ChangeDir("slow"));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTimeout); }));
  EXPECT_TRUE(s.Client.Connected());
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);
  EXPECT_EQ(s.Rec.Sequence(), "Connected LoggedIn Timeout");
}

TEST(FtpScripted, NoTransferTimeoutWhenSwitchedOff) {
  TSession s(Steps(kLogin, {"expect CWD slow", "hold"}));
  s.Client.TransferTimeout = 0;
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.ChangeDir("slow"));
  Settle(800);  // many times what a 4-tick limit would allow
  EXPECT_FALSE(s.Rec.Has(fsTimeout));
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Commanding);
}

TEST(FtpScripted, SilentRetrieveTimesOutAndLeavesTheFileAsItWas) {
  TTempDir dir;
  TSession s(Steps(kLogin, Steps(PassiveRetr("slow"), {"data some", "hold"})));
  s.Client.TransferTimeout = 4;
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(s.Client.Retrieve("slow", dir.File("slow"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTimeout); }));
  EXPECT_EQ(s.Client.SessionState(), TFtpSessionState::Ready);
  EXPECT_FALSE(s.Rec.Has(fsTransferDone));
  EXPECT_FALSE(quodra::test::FileExists(dir.File("slow")));
}

TEST(FtpScripted, ServerThatNeverGreetsHitsTheConnectTimeout) {
  TSession s({"hold"});
  s.Client.ConnectTimeout = 4;
  ASSERT_TRUE(s.Client.Login());
  ASSERT_TRUE(WaitFor([&] { return !s.Rec.Errors.empty(); }));
  EXPECT_EQ(s.Rec.Errors[0].Code, -1);
  EXPECT_FALSE(s.Rec.Errors[0].Text.has_value());
  EXPECT_FALSE(s.Client.Connected());
  EXPECT_FALSE(s.Client.Open());
}

TEST(FtpScripted, ServerThatNeverGreetsWithoutConnectTimeout) {
  TSession s({"hold"});
  s.Client.TransferTimeout = 4;
  ASSERT_TRUE(s.Client.Login());
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTimeout); }));
  EXPECT_FALSE(s.Client.Connected());
  EXPECT_TRUE(WaitFor([&] { return s.Rec.Has(fsClosed); }));
}

TEST(FtpScripted, UnreachableServerHitsTheConnectTimeout) {
  TQpFtpClient client;
  TFtpRecorder rec;
  rec.Attach(client);
  std::vector<int> wsErrors;
  client.OnWsError = [&](quodra::port::TQpBaseComponent*, int32_t code) { wsErrors.push_back(code); };
  client.SetServerAddress("127.0.0.1");
  quodra::test::TRefusingTcpPort closed;
  client.SetWsPort(std::to_string(closed.Port()));  // nobody listens there
  client.ConnectTimeout = 4;
  client.Login();
  ASSERT_TRUE(WaitFor([&] { return !rec.Errors.empty(); }));
  EXPECT_EQ(rec.Errors[0].Code, -1);
  EXPECT_FALSE(client.Connected());
  EXPECT_TRUE(WaitFor([&] { return rec.Has(fsClosed); }));
}

TEST(FtpScripted, EndlessReplyLineIsCutIntoBoundedPieces) {
  // 1 MiB of greeting that never ends its line: the reply packet hands it on in bounded
  // pieces instead of buffering it all, so the greeting is seen at once.
  TSession s({"raw 220 " + std::string(1 << 20, 'x'), "hold"});
  ASSERT_TRUE(s.Client.Login());
  ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsConnected); }));
  ASSERT_TRUE(s.Server.WaitForReceived(1));
  EXPECT_EQ(s.Received()[0], "USER tester");
}

TEST(FtpScripted, DroppedControlConnectionLogsOut) {
  TSession s(Steps(kLogin, {"sleep 200", "close"}));
  ASSERT_TRUE(s.LogIn());
  ASSERT_TRUE(WaitFor([&] { return !s.Client.Connected(); }));
  Settle(100);
  EXPECT_EQ(s.Rec.Sequence(), "Connected LoggedIn LoggedOut");
  EXPECT_EQ(s.Rec.Logs, std::vector<TFtpLogCode>{lgLoggedOut});
  EXPECT_FALSE(s.Client.Open());
}

TEST(FtpScripted, LogoutWithAndWithoutTheServersClose) {
  TSession polite(Steps(kLogin, {"expect QUIT", "send 221 bye", "close"}));
  ASSERT_TRUE(polite.LogIn());
  EXPECT_TRUE(polite.Client.Logout());
  EXPECT_FALSE(polite.Client.Connected());
  Settle(50);
  EXPECT_EQ(polite.Rec.Sequence(), "Connected LoggedIn LoggedOut Closed");

  // A server that ignores QUIT: Logout closes the connection itself after its bound.
  TSession deaf(Steps(kLogin, {"hold"}));
  deaf.Client.LogoutWaitMs = 200;
  ASSERT_TRUE(deaf.LogIn());
  EXPECT_TRUE(deaf.Client.Logout());
  EXPECT_FALSE(deaf.Client.Connected());
  EXPECT_FALSE(deaf.Client.Open());
  ASSERT_TRUE(deaf.Server.WaitForReceived(4));
  EXPECT_EQ(deaf.Received()[2], "QUIT");
  EXPECT_FALSE(deaf.Client.Logout());  // nothing open any more

  // A refused connection leaves the port open with nobody behind it: Logout closes it at once
  // instead of waiting out its bound for an answer that cannot come.
  TQpFtpClient refused;
  TFtpRecorder rec;
  rec.Attach(refused);
  bool wsError = false;
  refused.OnWsError = [&](quodra::port::TQpBaseComponent*, int32_t) { wsError = true; };
  quodra::test::TRefusingTcpPort closed;
  refused.SetServerAddress("127.0.0.1");
  refused.SetWsPort(std::to_string(closed.Port()));
  refused.LogoutWaitMs = 60000;
  refused.Login();
  ASSERT_TRUE(WaitFor([&] { return wsError; }));
  const int64_t before = quodra::host::NowMs();
  EXPECT_TRUE(refused.Logout());
  EXPECT_LT(quodra::host::NowMs() - before, refused.LogoutWaitMs / 2);
  EXPECT_FALSE(refused.Open());
}

// One retrieve or listing per row against a server that misbehaves in one way: replies that
// answer nothing or come late, foreign data addresses, a third party on the data port, a
// trickling listing. What counts is the outcome the application sees and what was sent.
TEST(FtpScripted, RepliesAnswerTheirOwnCommandAndDataComesOnlyFromTheServer) {
  struct TRow {
    const char* Name;
    std::vector<std::string> Steps;  // after the login
    bool Passive, Listing;
    int32_t Timeout;                // ticks
    const char* Outcome;            // "done", "text", "error NNN", "timeout"
    const char* Content;            // the local file or the listing after the outcome; nullptr: no file
    const char* Notice;             // a notice that must appear, or ""
    const char* NeverSent;          // a command the client must not send, or ""
  };
  const std::vector<TRow> rows = {
      {"reply to nothing is ignored", Steps({"send 226 stray"}, Steps(PassiveRetr("f"), {"data whole", "dataclose", "send 226 ok"})),
       true, false, 1092, "done", "whole", "Reply to no command ignored: 226 stray", ""},
      {"data closed but 426", Steps(PassiveRetr("f"), {"data whole", "dataclose", "sleep 100", "send 426 aborted"}),
       true, false, 1092, "error 426", nullptr, "", ""},
      {"226 before the data ends", Steps(PassiveRetr("f"), {"data who", "send 226 ok", "sleep 200", "data le", "dataclose"}),
       true, false, 1092, "done", "whole", "", ""},
      {"227 names another host", {"expect TYPE I", "send 200 binary", "expect PASV",
                                  "pasv 227 Entering Passive Mode (10,1,2,3,{p1},{p2})", "accept", "expect RETR f",
                                  "send 150 opening", "data whole", "dataclose", "send 226 ok"},
       true, false, 1092, "done", "whole", "Passive reply names 10.1.2.3, connecting to the server's 127.0.0.1 instead", ""},
      {"unusable 227 sends nothing more", {"expect TYPE I", "send 200 binary", "expect PASV", "send 227 no address here"},
       true, false, 1092, "error 10049", nullptr, "", "RETR"},
      {"third party on the data port", {"expect PORT", "send 200 port ok", "expect TYPE I", "send 200 binary",
                                        "expect RETR f", "steal stolen bytes", "sleep 200", "connect",
                                        "send 150 opening", "data whole", "dataclose", "send 226 ok"},
       false, false, 1092, "done", "whole", "Data connection from 127.0.0.2 refused: not the server", ""},
      {"250 ends a listing", {"expect TYPE A", "send 200 ascii", "expect PASV",
                              "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept", "expect NLST",
                              "send 150 here", "data a\\rb\\r", "dataclose", "send 250 listed"},
       true, true, 1092, "text", "a\rb\r", "", ""},
      {"listing waits for its own 226", {"expect TYPE A", "send 200 ascii", "expect PASV",
                                         "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept", "expect NLST",
                                         "send 150 here", "data a\\r\\n", "dataclose", "sleep 300", "send 226 listed"},
       true, true, 1092, "text", "a\r\n", "", ""},
      {"trickling listing times out", {"expect TYPE A", "send 200 ascii", "expect PASV",
                                       "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept", "expect NLST",
                                       "send 150 here", "data a\\r\\n", "sleep 300", "data b\\r\\n", "sleep 300",
                                       "data c\\r\\n", "sleep 300", "data d\\r\\n", "sleep 300", "data e\\r\\n", "hold"},
       true, true, 10, "timeout", nullptr, "", ""},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir dir;
    TSession s(Steps(kLogin, row.Steps));
    s.Client.PassiveMode = row.Passive;
    ASSERT_TRUE(s.LogIn());
    s.Client.TransferTimeout = row.Timeout;
    // A reply to nothing is told apart only while nothing is outstanding: let it arrive first.
    if (std::string(row.Notice).rfind("Reply to no command", 0) == 0) {
      ASSERT_TRUE(WaitFor([&] { return !s.Rec.Notices.empty(); }));
    }
    if (row.Listing) {
      ASSERT_TRUE(s.Client.ListDir("", false));
    } else {
      ASSERT_TRUE(s.Client.Retrieve("f", dir.File("f"), rmReplace));
    }
    ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTransferDone) || s.Rec.Has(fsTextReady) || s.Rec.Has(fsTimeout) || !s.Rec.Errors.empty(); }));
    std::string outcome = s.Rec.Has(fsTransferDone) ? "done"
                          : s.Rec.Has(fsTextReady)  ? "text"
                          : s.Rec.Has(fsTimeout)    ? "timeout"
                                                    : "error " + std::to_string(s.Rec.Errors[0].Code);
    EXPECT_EQ(outcome, row.Outcome) << s.Rec.Sequence();
    ASSERT_TRUE(s.Idle());
    if (row.Listing && row.Content) {
      EXPECT_EQ(*s.Rec.Last(fsTextReady)->Text, row.Content);
    }
    if (!row.Listing && row.Content) {
      EXPECT_EQ(ReadFile(dir.File("f")), row.Content);
    }
    if (!row.Listing && !row.Content) {
      EXPECT_FALSE(quodra::test::FileExists(dir.File("f")));
    }
    if (*row.Notice) {
      WaitFor([&] { return !s.Rec.Notices.empty(); }, 2000);
      EXPECT_NE(std::find(s.Rec.Notices.begin(), s.Rec.Notices.end(), row.Notice), s.Rec.Notices.end())
          << (s.Rec.Notices.empty() ? std::string("no notices") : s.Rec.Notices[0]);
    }
    if (*row.NeverSent) {
      s.Client.Logout();
      for (const std::string& line : s.Received()) EXPECT_NE(line.rfind(row.NeverSent, 0), 0u) << line;
    }
  }
}

// A server that answers only a command arriving in one read (some do: a CR and an LF that
// come apart leave the command unanswered). Over 100 KiB of commands of every length, so
// that every cut of the client's output buffer is met, also one between CR and LF.
TEST(FtpScripted, EveryCommandArrivesWhole) {
  TTempDir dir;
  TSession s({"strict", "serve " + dir.Path()});
  s.Client.TransferTimeout = 40;  // a command left unanswered shows as a time-out soon
  ASSERT_TRUE(s.LogIn()) << s.Server.Log();
  size_t sent = 0;
  int commands = 0;
  for (int i = 0; sent < 110 * 1024; ++i, ++commands) {
    std::string name = "folder-" + std::to_string(i) + "-" + std::string(static_cast<size_t>(i % 251), 'x');
    ASSERT_TRUE(s.Client.ChangeDir(name));
    sent += 4 + name.size() + 2;
    ASSERT_TRUE(WaitFor([&] { return s.Rec.Count(fsCommandDone) == static_cast<size_t>(commands + 1) || s.Rec.Has(fsTimeout); }));
    ASSERT_FALSE(s.Rec.Has(fsTimeout)) << "command " << i << " unanswered";
  }
  for (const std::string& line : s.Received()) ASSERT_NE(line.rfind("!split", 0), 0u) << line;
}

// Every reply or event that ends a run reaches the application with its reason: the reply's
// code once (beside its text), a 421 before or after the login, the 550 a server sends right
// after resetting the data connection (the reset a notice only where the transfer had begun),
// and what was under way when the connection was lost.
TEST(FtpScripted, RunEndingFailuresKeepTheirReason) {
  struct TRow {
    const char* Name;
    std::vector<std::string> Steps;
    bool Retrieve;       // after logging in; otherwise the login itself fails
    int32_t Code;        // the error reported first
    const char* Text;    // its text, without line end ("" for none)
    const char* Notice;  // a notice that must appear, or ""
  };
  const std::vector<TRow> rows = {
      {"421 instead of the greeting", {"send 421 Too many connections from this IP", "close"}, false, 421,
       "Too many connections from this IP", ""},
      {"421 to USER", {"send 220 ready", "expect USER", "send 421 cleartext sessions are not accepted", "close"},
       false, 421, "cleartext sessions are not accepted", ""},
      {"421 after the login", Steps(kLogin, {"expect TYPE I", "send 421 Timeout.", "close"}), true, 421, "Timeout.", ""},
      {"550 shows its code once", Steps(kLogin, {"expect TYPE I", "send 200 ok", "expect PASV",
                                                 "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept",
                                                 "expect RETR f", "send 550 Permission denied."}),
       true, 550, "Permission denied.", ""},
      {"550 right after a data reset", Steps(kLogin, Steps(PassiveRetr("f"), {"data some", "resetdata", "sleep 300", "send 550 Failed to read file."})),
       true, 550, "Failed to read file.", "The data connection failed (socket error 10054)"},
      {"550 with a data reset before any 150", Steps(kLogin, {"expect TYPE I", "send 200 ok", "expect PASV",
                                                              "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})",
                                                              "accept", "expect RETR f", "resetdata", "sleep 300",
                                                              "send 550 Not a regular file"}),
       true, 550, "Not a regular file", ""},
      {"data reset and no reply", Steps(kLogin, Steps(PassiveRetr("f"), {"data some", "resetdata", "hold"})), true,
       10054, "", ""},
      {"server gone mid-transfer", Steps(kLogin, Steps(PassiveRetr("f"), {"data 12345", "sleep 200", "close"})), true, 0, "",
       "Connection lost during the transfer of f after 5 bytes"},
      {"server gone before its greeting", {"close"}, false, 0, "", "Connection closed by the server before its greeting"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir dir;
    TSession s(row.Steps);
    if (row.Retrieve) {
      ASSERT_TRUE(s.LogIn()) << s.Rec.Sequence();
      ASSERT_TRUE(s.Client.Retrieve("f", dir.File("f"), rmReplace));
    } else {
      ASSERT_TRUE(s.Client.Login());
    }
    ASSERT_TRUE(WaitFor([&] { return !s.Rec.Errors.empty() || !s.Client.Connected(); })) << s.Rec.Sequence();
    Settle(100);
    if (row.Code) {
      ASSERT_FALSE(s.Rec.Errors.empty()) << s.Rec.Sequence();
      EXPECT_EQ(s.Rec.Errors[0].Code, row.Code) << s.Rec.Sequence();
      std::string text = s.Rec.Errors[0].Text.value_or("");
      while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
      EXPECT_EQ(text, row.Text);
    } else {
      EXPECT_TRUE(s.Rec.Errors.empty()) << s.Rec.Sequence();
    }
    std::string notices;
    for (const std::string& n : s.Rec.Notices) notices += n + "\n";
    if (*row.Notice) {
      EXPECT_NE(std::find(s.Rec.Notices.begin(), s.Rec.Notices.end(), row.Notice), s.Rec.Notices.end()) << notices;
    } else {
      // A transfer refused outright has no data connection failure of its own to tell.
      EXPECT_EQ(notices.find("The data connection failed"), std::string::npos) << notices;
    }
    EXPECT_EQ(notices.find("ignored"), std::string::npos) << notices;
    EXPECT_FALSE(s.Rec.Has(fsTransferDone));
    EXPECT_FALSE(quodra::test::FileExists(dir.File("f")));
  }
}

// ASCII mode gives local text files: CR LF, a lone CR and a run of CRs before an LF each
// become one LF, also where a block ends between CR and LF. Binary mode keeps every byte.
TEST(FtpScripted, AsciiRetrieveWritesLocalLineEnds) {
  const std::string wire = "one\r\ntwo\rthree\r\r\nfour\r|\nfive\r";  // '|': the blocks part there
  struct TRow {
    TFtpFileType Type;
    const char* Content;
  };
  const std::vector<TRow> rows = {{ftAscii, "one\ntwo\nthree\nfour\nfive\n"},
                                  {ftBinary, "one\r\ntwo\rthree\r\r\nfour\r\nfive\r"}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Type == ftAscii ? "ascii" : "binary");
    TTempDir dir;
    const char* type = row.Type == ftAscii ? "A" : "I";
    TSession s(Steps(kLogin, {std::string("expect TYPE ") + type, "send 200 ok", "expect PASV",
                              "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept", "expect RETR t.txt",
                              "send 150 opening", "data one\\r\\ntwo\\rthree\\r\\r\\nfour\\r", "sleep 200",
                              "data \\nfive\\r", "dataclose", "send 226 done"}));
    s.Client.FileType = row.Type;
    ASSERT_TRUE(s.LogIn());
    ASSERT_TRUE(s.Client.Retrieve("t.txt", dir.File("t.txt"), rmReplace));
    ASSERT_TRUE(WaitFor([&] { return s.Rec.Has(fsTransferDone) || !s.Rec.Errors.empty(); })) << s.Rec.Sequence();
    ASSERT_TRUE(s.Rec.Has(fsTransferDone)) << s.Rec.Sequence();
    EXPECT_EQ(ReadFile(dir.File("t.txt")), row.Content);
    // The byte counter counts what came over the network.
    EXPECT_EQ(s.Client.BytesTransferred(), static_cast<int64_t>(wire.size() - 1));
  }
}
