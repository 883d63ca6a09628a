// The FTP client against a real server (pyftpdlib on a loopback port), in passive and in
// active mode: login, folders, listings, retrieves of every size and type, delete, logout.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "ftp/qp_ftp_client.h"
#include "ftp_test_util.h"
#include "support/ftp_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::ftp;
using namespace quodra::ftp::test;
using quodra::test::FileExists;
using quodra::test::PatternBytes;
using quodra::test::ReadFile;
using quodra::test::TPyFtpServer;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.insert(line);
  }
  return lines;
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class FtpRealServer : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(Root.File("sub"));
    WriteFile(Root.File("sub/small.txt"), "hello\nworld\n");
    WriteFile(Root.File("sub/empty.bin"), "");
    Big = PatternBytes(3 * 1024 * 1024 + 17, 7);
    WriteFile(Root.File("sub/big.bin"), Big);
    std::string text;
    for (int i = 0; text.size() < 2 * 1024 * 1024; ++i) text += "line " + std::to_string(i) + " of a long text\n";
    BigText = text;
    WriteFile(Root.File("sub/big.txt"), BigText);
    WriteFile(Root.File("sub/gone.txt"), "delete me");
    ASSERT_TRUE(Server.Start(Root.Path())) << Server.Log();
    Client.SetServerAddress("127.0.0.1");
    Client.SetWsPort(Server.PortText());
    Client.UserName = "tester";
    Client.Password = "secret";
    Client.PassiveMode = GetParam();
    Rec.Attach(Client);
  }

  bool LogIn() {
    if (!Client.Login()) return false;
    return WaitFor([&] { return Rec.Has(fsLoggedIn) || !Rec.Errors.empty(); }) && Rec.Has(fsLoggedIn);
  }

  // Retrieves and waits until the session is idle; true when fsTransferDone came.
  bool Fetch(const std::string& remote, const std::string& local, TFtpRetrieveMode mode, TFtpFileType type) {
    Client.FileType = type;
    size_t before = Rec.Count(fsTransferDone), errors = Rec.Errors.size();
    if (!Client.Retrieve(remote, local, mode)) return false;
    if (!WaitFor([&] { return Rec.Count(fsTransferDone) > before || Rec.Errors.size() > errors; }, 60000)) return false;
    WaitFor([&] { return !Client.InProgress(); });
    return Rec.Count(fsTransferDone) == before + 1 && Rec.Errors.size() == errors;
  }

  TTempDir Root;
  TTempDir Local;
  TPyFtpServer Server;
  TQpFtpClient Client;
  TFtpRecorder Rec;
  std::string Big;
  std::string BigText;
};

}  // namespace

TEST_P(FtpRealServer, WholeSession) {
  ASSERT_TRUE(LogIn()) << Rec.Sequence() << "\n" << Server.Log();

  ASSERT_TRUE(Client.ChangeDir("sub"));
  ASSERT_TRUE(WaitFor([&] { return Rec.Has(fsCommandDone); }));
  ASSERT_TRUE(Client.ChangeDir(""));
  ASSERT_TRUE(WaitFor([&] { return Rec.Has(fsCurrentDir); }));
  EXPECT_EQ(*Rec.Last(fsCurrentDir)->Text, "/sub");

  ASSERT_TRUE(Client.ListDir("", false));
  ASSERT_TRUE(WaitFor([&] { return Rec.Has(fsTextReady) || !Rec.Errors.empty(); })) << Rec.Sequence();
  ASSERT_TRUE(Rec.Has(fsTextReady)) << Rec.Sequence();
  EXPECT_EQ(Lines(*Rec.Last(fsTextReady)->Text),
            (std::set<std::string>{"small.txt", "empty.bin", "big.bin", "big.txt", "gone.txt"}));
  ASSERT_TRUE(WaitFor([&] { return !Client.InProgress(); }));
  ASSERT_TRUE(Client.ListDir("big.bin", true));
  ASSERT_TRUE(WaitFor([&] { return Rec.Count(fsTextReady) == 2 || !Rec.Errors.empty(); }));
  ASSERT_EQ(Rec.Count(fsTextReady), 2u) << Rec.Sequence();
  std::string full = *Rec.Last(fsTextReady)->Text;
  EXPECT_NE(full.find(std::to_string(Big.size())), std::string::npos) << full;
  EXPECT_NE(full.find("big.bin"), std::string::npos) << full;

  // Binary: byte for byte, every block reported before the end.
  ASSERT_TRUE(Fetch("big.bin", Local.File("big.bin"), rmReplace, ftBinary)) << Rec.Sequence();
  EXPECT_TRUE(ReadFile(Local.File("big.bin")) == Big);
  EXPECT_EQ(Client.BytesTransferred(), static_cast<int64_t>(Big.size()));
  EXPECT_EQ(Rec.Statuses.back().Code, fsTransferDone);
  EXPECT_EQ(Rec.Statuses[Rec.Statuses.size() - 2].Code, fsProgress);
  EXPECT_EQ(Rec.Statuses[Rec.Statuses.size() - 2].Bytes, static_cast<int64_t>(Big.size()));

  ASSERT_TRUE(Fetch("empty.bin", Local.File("empty.bin"), rmReplace, ftBinary));
  EXPECT_TRUE(FileExists(Local.File("empty.bin")));
  EXPECT_EQ(ReadFile(Local.File("empty.bin")), "");

  // ASCII: the server sends CR LF line ends; the local text file gets LF, as on the server.
  ASSERT_TRUE(Fetch("small.txt", Local.File("small.txt"), rmReplace, ftAscii));
  EXPECT_EQ(ReadFile(Local.File("small.txt")), "hello\nworld\n");
  ASSERT_TRUE(Fetch("big.txt", Local.File("big.txt"), rmReplace, ftAscii));
  EXPECT_TRUE(ReadFile(Local.File("big.txt")) == BigText);
  EXPECT_EQ(Client.BytesTransferred(), static_cast<int64_t>(WithCrLf(BigText).size()));  // network bytes

  // A missing file: the server's 550, and no completion.
  size_t done = Rec.Count(fsTransferDone);
  ASSERT_TRUE(Client.Retrieve("missing.bin", Local.File("missing.bin"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return !Rec.Errors.empty(); }));
  EXPECT_EQ(Rec.Errors[0].Code, 550);
  ASSERT_TRUE(WaitFor([&] { return !Client.InProgress(); }));
  EXPECT_EQ(Rec.Count(fsTransferDone), done);

  ASSERT_TRUE(Client.Delete("gone.txt"));
  ASSERT_TRUE(WaitFor([&] { return Rec.Count(fsCommandDone) == 2 || Rec.Errors.size() > 1; }));
  EXPECT_EQ(Rec.Count(fsCommandDone), 2u);
  EXPECT_FALSE(FileExists(Root.File("sub/gone.txt")));

  EXPECT_TRUE(Client.Logout());
  EXPECT_FALSE(Client.Connected());
  Settle(50);
  std::string seq = Rec.Sequence();
  EXPECT_EQ(seq.substr(seq.size() - 16), "LoggedOut Closed") << seq;
  EXPECT_EQ(Rec.Count(fsLoggedOut), 1u);
}

TEST_P(FtpRealServer, LocalFileModes) {
  ASSERT_TRUE(LogIn());
  ASSERT_TRUE(Client.ChangeDir("sub"));
  ASSERT_TRUE(WaitFor([&] { return Rec.Has(fsCommandDone); }));

  // rmReplace: a longer old file ends where the new data end.
  WriteFile(Local.File("r"), std::string(50000, 'x'));
  ASSERT_TRUE(Fetch("small.txt", Local.File("r"), rmReplace, ftBinary));
  EXPECT_EQ(ReadFile(Local.File("r")), "hello\nworld\n");
  // ... an empty remote file empties it ...
  ASSERT_TRUE(Fetch("empty.bin", Local.File("r"), rmReplace, ftBinary));
  EXPECT_EQ(ReadFile(Local.File("r")), "");
  // ... and a refused RETR leaves it alone.
  WriteFile(Local.File("keep"), "precious");
  EXPECT_FALSE(Fetch("missing.bin", Local.File("keep"), rmReplace, ftBinary));
  EXPECT_EQ(ReadFile(Local.File("keep")), "precious");

  // rmAppend: creates a missing file, then appends.
  ASSERT_TRUE(Fetch("small.txt", Local.File("a"), rmAppend, ftBinary));
  ASSERT_TRUE(Fetch("small.txt", Local.File("a"), rmAppend, ftBinary));
  EXPECT_EQ(ReadFile(Local.File("a")), "hello\nworld\nhello\nworld\n");
}

TEST_P(FtpRealServer, RefusedLogin) {
  Client.Password = "wrong";
  ASSERT_TRUE(Client.Login());
  ASSERT_TRUE(WaitFor([&] { return !Rec.Errors.empty(); }));
  EXPECT_EQ(Rec.Errors[0].Code, 530);
  ASSERT_TRUE(Rec.Errors[0].Text.has_value());
  EXPECT_FALSE(Rec.Errors[0].Text->empty());
  EXPECT_NE(Rec.Errors[0].Text->rfind("530", 0), 0u);  // the code travels beside the text, not in it
  EXPECT_TRUE(Client.Connected());
  EXPECT_TRUE(Client.InProgress());
  EXPECT_FALSE(Rec.Has(fsLoggedIn));
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpRealServer, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Passive" : "Active"; });
