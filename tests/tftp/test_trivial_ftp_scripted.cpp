// Downloads from the scripted server: option acknowledgements, repeated blocks, errors,
// malformed and foreign datagrams, block-number wrap, local write failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support/temp_dir.h"
#include "support/tftp_server_fixture.h"
#include "tftp/dg_exception.h"
#include "tftp_test_util.h"

using namespace quodra::tftp;
using namespace quodra::test;
using quodra::tftp::test::TRecordedClient;

namespace {

template <class E>
bool Is(const std::exception& e) {
  return dynamic_cast<const E*>(&e) != nullptr;
}
template <class E>
bool IsExactly(const std::exception& e) {
  return typeid(e) == typeid(E);
}

class ScriptedDownload : public ::testing::Test {
 protected:
  // Serves `bytes` as "file" with the given server behaviour.
  void Serve(const std::string& bytes, const std::vector<std::string>& behaviour = {}) {
    Content = bytes;
    WriteFile(Served.File("file"), bytes);
    ASSERT_TRUE(Server.Start(Served.Path(), behaviour)) << "scripted server did not start";
    Rec.Client.Port = Server.Port();
  }
  void Get() { Rec.Client.Get("file", Local.File("file")); }
  std::string Downloaded() const { return ReadFile(Local.File("file")); }
  size_t Count(const std::string& line) const {
    auto lines = Server.Received();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  // Runs Get and returns the exception text; "" when it succeeded.
  template <class E>
  std::string GetFails() {
    try {
      Get();
    } catch (const E& e) {
      return e.what();
    }
    return "";
  }

  TTempDir Served, Local;
  TScriptedTftpServer Server;
  TRecordedClient Rec{0, 3000};
  std::string Content;
};

}  // namespace

TEST_F(ScriptedDownload, RequestCarriesNameModeAndBlockSize) {
  Serve("abc");
  Rec.Client.RequestedBlockSize = 512;
  Rec.Client.TransferMode = tfNetAscii;
  Get();
  Rec.Client.TransferMode = tfOctet;
  Rec.Client.RequestedBlockSize = 1428;
  Get();
  auto lines = Server.Received();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "rrq file netascii blksize=512"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "rrq file octet blksize=1428"), 1);
}

TEST_F(ScriptedDownload, ServerIgnoringTheOptionSends512ByteBlocks) {
  Serve(PatternBytes(512, 2));  // a 512-byte file takes a full and an empty block
  Rec.Client.RequestedBlockSize = 1428;
  Get();
  EXPECT_EQ(Downloaded(), Content);
  EXPECT_EQ(Count("ack 1"), 1u);
  EXPECT_EQ(Count("ack 2"), 1u);
  EXPECT_EQ(Rec.Counts, (std::vector<int64_t>{512, 512}));
}

TEST_F(ScriptedDownload, AcknowledgedBlockSizeIsUsedWhateverTheNameCase) {
  Serve(PatternBytes(2048 + 10, 3));
  for (const char* name : {"blksize", "BLKSIZE"}) {
    TScriptedTftpServer server;
    ASSERT_TRUE(server.Start(Served.Path(), {std::string("oack=") + name + ":1024"}));
    Rec.Client.Port = server.Port();
    Get();
    EXPECT_TRUE(Downloaded() == Content) << name;
    EXPECT_TRUE(server.WaitForLine("ack 0")) << name;
    EXPECT_TRUE(server.WaitForLine("ack 3")) << name;  // 1024, 1024 (not the last), 10
    EXPECT_EQ(Rec.Client.BufferSize, 1028) << name;
  }
}

TEST_F(ScriptedDownload, OtherFirstOptionIsIgnoredAndBlocksStayAt512) {
  Serve(PatternBytes(1100, 5), {"oack=tsize:1100"});
  Get();
  EXPECT_EQ(Downloaded(), Content);
  EXPECT_EQ(Count("ack 0"), 1u);
  EXPECT_EQ(Rec.Client.BufferSize, 516);
}

TEST_F(ScriptedDownload, RepeatedBlockIsAcknowledgedButWrittenOnce) {
  Serve(PatternBytes(512 * 10 + 3, 6), {"repeat=7"});
  Get();
  EXPECT_EQ(Downloaded(), Content);
  EXPECT_EQ(Count("ack 7"), 2u);
  EXPECT_EQ(Rec.Counts.back(), static_cast<int64_t>(Content.size()));
}

TEST_F(ScriptedDownload, RepeatedLastBlockIsAcknowledgedAgainAndEndsTheDownload) {
  Serve(PatternBytes(700, 7), {"repeatlast"});
  Get();
  EXPECT_EQ(Downloaded(), Content);
  EXPECT_TRUE(Server.WaitForLine("ack 2", 2));
}

// The last ACK lost, in lock-step and in windows, with the linger apart: the download has
// ended with the ACK, and the repeat of the last block that follows is still answered.
TEST_F(ScriptedDownload, RepeatOfTheLastBlockIsAnsweredAfterTheDownloadEnded) {
  Rec.Client.LingerApart = true;
  const struct {
    const char* Name;
    int Window;
    size_t Size;
    const char* LastAck;
  } cases[] = {{"lock-step", 1, 512 * 3 + 9, "ack 4"}, {"window of 8", 8, 512 * 20 + 9, "ack 21"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TScriptedTftpServer server;
    Content = PatternBytes(c.Size, 9);
    WriteFile(Served.File("file"), Content);
    std::vector<std::string> behaviour = {"repeatlast"};
    if (c.Window > 1) behaviour.push_back("oack=echo");
    ASSERT_TRUE(server.Start(Served.Path(), behaviour));
    Rec.Client.Port = server.Port();
    Rec.Client.RequestedBlockSize = 512;
    Rec.Client.RequestedWindowSize = c.Window;
    Get();
    // The keeper holds none of our descriptors once the download has returned: a read lease
    // is refused while anyone has the file open for writing.
    const int fd = ::open(Local.File("file").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_SETLEASE, F_RDLCK), 0) << "the downloaded file is still open elsewhere";
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::close(fd);
    EXPECT_TRUE(Downloaded() == Content);
    EXPECT_TRUE(server.WaitForLine(c.LastAck, 2)) << server.Log();
  }
}

TEST_F(ScriptedDownload, SilenceRaisesTimeoutAndKeepsWhatArrived) {
  Serve(PatternBytes(512 * 4, 8), {"stopafter=2"});
  // Long enough that a server slowed by a loaded machine still gets its two blocks in: the
  // time-out must come from the server's silence, not from its pace.
  Rec.Client.ReceiveTimeout = 1500;
  EXPECT_EQ(GetFails<EDgTFTPException>(), "Timeout");
  EXPECT_EQ(Downloaded(), Content.substr(0, 1024));
  EXPECT_EQ(Rec.Events, (std::vector<std::string>{"begin 0 0", "end 0"}));

  TScriptedTftpServer silent;  // no answer to the request at all
  ASSERT_TRUE(silent.Start(Served.Path(), {"silence"}));
  Rec.Client.Port = silent.Port();
  EXPECT_EQ(GetFails<EDgTFTPException>(), "Timeout");
  EXPECT_TRUE(FileExists(Local.File("file")));
  EXPECT_EQ(Downloaded(), "");
}

TEST_F(ScriptedDownload, ErrorPacketsRaiseTheClassOfTheirCode) {
  struct TCase {
    int Code;
    bool (*IsClass)(const std::exception&);
  };
  const std::vector<TCase> cases = {
      {0, IsExactly<EDgTFTPException>},        {1, Is<EDgTFTPFileNotFound>},
      {2, Is<EDgTFTPAccessViolation>},         {3, Is<EDgTFTPAllocationExceeded>},
      {4, Is<EDgTFTPIllegalOperation>},        {5, Is<EDgTFTPUnknownTransferID>},
      {6, Is<EDgTFTPFileAlreadyExists>},       {7, Is<EDgTFTPNoSuchUser>},
      {8, Is<EDgTFTPOptionNegotiationFailed>}, {9, IsExactly<EDgTFTPException>},
  };
  for (const auto& c : cases) {
    TScriptedTftpServer server;
    const std::string text = "server says " + std::to_string(c.Code);
    ASSERT_TRUE(server.Start(Served.Path(), {"error=" + std::to_string(c.Code) + ":" + text}));
    Rec.Client.Port = server.Port();
    try {
      Get();
      ADD_FAILURE() << "no exception for code " << c.Code;
    } catch (const std::exception& e) {
      EXPECT_TRUE(c.IsClass(e)) << "code " << c.Code << " gave " << typeid(e).name();
      EXPECT_EQ(std::string(e.what()), text);
      EXPECT_EQ(TftpErrorCodeOf(e), c.Code == 9 ? 0 : c.Code);
    }
  }
}

TEST_F(ScriptedDownload, AcknowledgementDuringDownloadIsAnUnexpectedOperation) {
  Serve(PatternBytes(2000, 9), {"rawafter=1:00040001"});
  Rec.Client.Host = "LocalHost";
  EXPECT_EQ(GetFails<EDgTFTPException>(), "Unexpected operation from LocalHost:" + std::to_string(Server.Port()));
  EXPECT_EQ(Downloaded(), Content.substr(0, 512));
}

TEST_F(ScriptedDownload, MalformedDatagramsAreUnexpectedOperations) {
  const std::vector<std::string> packets = {
      "0003",                                          // DATA shorter than its header
      "00",                                            // two bytes
      "0005000146696c65",                              // ERROR without its closing zero
      "000500",                                        // ERROR cut inside its code
      "0006626c6b73697a65",                            // OACK name without zero
      "0006626c6b73697a650031303234",                  // OACK value without zero
      "0001666f6f006f6374657400",                      // a read request
  };
  for (const auto& hex : packets) {
    TScriptedTftpServer server;
    ASSERT_TRUE(server.Start(Served.Path(), {"rawafter=0:" + hex}));
    WriteFile(Served.File("file"), "content");
    Rec.Client.Port = server.Port();
    try {
      Get();
      ADD_FAILURE() << "no exception for " << hex;
    } catch (const EDgTFTPException& e) {
      EXPECT_EQ(std::string(e.what()), "Unexpected operation from 127.0.0.1:" + std::to_string(server.Port())) << hex;
    }
  }
}

TEST_F(ScriptedDownload, BadBlockSizeValuesAreRefused) {
  {
    Serve("x", {"oack=blksize:12ab"});
    EXPECT_EQ(GetFails<EConvertError>(), "'12ab' is not a valid integer value");
  }
  for (const char* value : {"0", "-5", "65465", "99999999999"}) {
    TScriptedTftpServer server;
    ASSERT_TRUE(server.Start(Served.Path(), {std::string("oack=blksize:") + value}));
    Rec.Client.Port = server.Port();
    std::string text;
    try {
      Get();
    } catch (const EDgTFTPOptionNegotiationFailed& e) {
      text = e.what();
    } catch (const EConvertError& e) {
      text = e.what();
    }
    EXPECT_FALSE(text.empty()) << value;
    if (std::string(value) != "99999999999") {
      // The server is told why the transfer ends.
      EXPECT_TRUE(server.WaitForLine(std::string("error 8 Invalid blksize value ") + value)) << value;
    }
  }
}

TEST_F(ScriptedDownload, BlockNumbersWrapAfter65535) {
  // Blocks of 8 bytes: 65537 blocks pass the wrap with little data.
  const std::string bytes = PatternBytes(8 * 65537 + 5, 10);
  for (const char* wrapTo : {"wrapto=0", "wrapto=1"}) {
    TScriptedTftpServer server;
    WriteFile(Served.File("file"), bytes);
    ASSERT_TRUE(server.Start(Served.Path(), {"oack=echo", wrapTo}));
    Rec.Client.Port = server.Port();
    Rec.Client.RequestedBlockSize = 8;
    Get();
    EXPECT_EQ(Downloaded().size(), bytes.size()) << wrapTo;
    EXPECT_TRUE(Downloaded() == bytes) << wrapTo;
  }
}

TEST_F(ScriptedDownload, ForeignDatagramIsRejectedAndChangesNothing) {
  Serve(PatternBytes(512 * 6 + 100, 11), {"inject=3"});
  Get();
  EXPECT_TRUE(Downloaded() == Content);
  EXPECT_EQ(Count("foreign error 5 Unknown transfer ID"), 1u);
  EXPECT_EQ(Count("error 5 Unknown transfer ID"), 0u);  // the server itself got no error
}

// Before its first reply the server may answer from any port, but only from its address.
TEST_F(ScriptedDownload, ReplyFromAnotherAddressIsNotTheServer) {
  Serve("data", {"replyfrom=127.0.0.2"});
  Rec.Client.ReceiveTimeout = 1500;
  EXPECT_EQ(GetFails<EDgTFTPException>(), "Timeout");
  EXPECT_EQ(Downloaded(), "");
  EXPECT_GE(Count("error 5 Unknown transfer ID"), 1u);
}

TEST_F(ScriptedDownload, LateOptionAcknowledgementDoesNotChangeTheBlockSize) {
  Serve(PatternBytes(512 * 5 + 1, 13), {"lateoack=2"});
  Get();
  EXPECT_TRUE(Downloaded() == Content);
  EXPECT_EQ(Rec.Client.BufferSize, 516);
}

// A full disk, met by the last block or by blocks gathered mid-file: the server is told, and
// the last block is never acknowledged.
TEST_F(ScriptedDownload, WriteFailureIsReportedToTheServer) {
  Serve(PatternBytes(2000, 14));
  WriteFile(Served.File("big"), PatternBytes(200000, 15));
  const struct {
    const char* Name;
    std::string LastAck;
  } cases[] = {{"file", "ack 4"}, {"big", "ack 391"}};
  size_t errors = 0;  // the server's log keeps every case's lines
  for (const auto& c : cases) {
    Rec.Events.clear();
    try {
      Rec.Client.Get(c.Name, "/dev/full");
      ADD_FAILURE() << c.Name << ": no exception";
    } catch (const EWriteError& e) {
      EXPECT_STREQ(e.what(), "Stream write error");
    }
    EXPECT_TRUE(Server.WaitForLine("error 0 Stream write error", ++errors)) << c.Name;
    EXPECT_EQ(Count(c.LastAck), 0u) << c.Name;
    EXPECT_EQ(Rec.Events, (std::vector<std::string>{"begin 0 0", "end 0"})) << c.Name;
  }
}

TEST_F(ScriptedDownload, UncreatableFileSendsNothing) {
  Serve("abc");
  const std::string path = Local.File("no/such/folder/file");
  try {
    Rec.Client.Get("file", path);
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + path);
  }
  EXPECT_TRUE(Rec.Events.empty());
  // A request that would have been sent arrives long before the next one: the next
  // download's request is the first the server sees.
  Get();
  EXPECT_EQ(Server.Received().front(), "rrq file octet blksize=1500");
}

TEST_F(ScriptedDownload, HandlerThatClosesTheSocketEndsTheTransferSafely) {
  Serve(PatternBytes(512 * 4, 15));
  Rec.Client.OnWork = [this](TDgComponent*, TWorkMode, int64_t) { Rec.Client.SetActive(false); };
  EXPECT_THROW(Get(), EDgConnClosedGracefully);
  EXPECT_EQ(Downloaded(), Content.substr(0, 512));
}

TEST_F(ScriptedDownload, HandlerThatFreesTheComponentEndsTheTransferSafely) {
  Serve(PatternBytes(512 * 4, 16));
  auto* client = new TDgTrivialFTP();
  client->Host = "127.0.0.1";
  client->Port = Server.Port();
  int ends = 0;
  client->OnWorkEnd = [&](TDgComponent*, TWorkMode) { ++ends; };
  client->OnWork = [&](TDgComponent* sender, TWorkMode, int64_t) { delete sender; };
  EXPECT_THROW(client->Get("file", Local.File("file")), EDgConnClosedGracefully);
  EXPECT_EQ(ends, 0);  // nothing of the freed component was touched
}
