// Block-number, window, option and peer rules, each as a table of faults the scripted server
// produces; every download either fails or holds the served bytes exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "support/temp_dir.h"
#include "support/tftp_server_fixture.h"
#include "tftp/dg_exception.h"
#include "tftp_test_util.h"

using namespace quodra::tftp;
using namespace quodra::test;
using quodra::tftp::test::TRecordedClient;

namespace {

struct TFault {
  std::vector<std::string> Behaviour;
  bool Succeeds = true;
};

class DownloadRules : public ::testing::Test {
 protected:
  // Downloads `bytes` with the server behaving as asked; "" on success, else the error text.
  std::string Run(const std::string& bytes, const std::vector<std::string>& behaviour) {
    WriteFile(Served.File("file"), bytes);
    Server = std::make_unique<TScriptedTftpServer>();
    if (!Server->Start(Served.Path(), behaviour)) return "server did not start";
    Rec.Client.Port = Server->Port();
    try {
      Rec.Client.Get("file", Local.File("file"));
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
  std::string Downloaded() const { return ReadFile(Local.File("file")); }
  size_t Count(const std::string& line) const {
    auto lines = Server->Received();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  TTempDir Served, Local;
  std::unique_ptr<TScriptedTftpServer> Server;
  TRecordedClient Rec{0, 3000};
};

}  // namespace

// Lock-step: only block n+1 is written, a repeat of n is acknowledged again, anything else
// is ignored; a block the server never sends is a failure, not a hole in the file.
TEST_F(DownloadRules, LockStepTakesOnlyTheNextBlock) {
  const std::string bytes = PatternBytes(512 * 12 + 9, 21);
  const std::vector<TFault> faults = {
      {{"early=5:6"}},             // reordered: 6 before 5
      {{"early=5:9,8:2"}},         // far ahead, and long past
      {{"repeat=7"}},              // a repeat of the last block
      {{"early=1:0"}},             // a block 0 before block 1
      {{"numberskip=5"}, false},   // 4, then 6: block 5 never comes
  };
  Rec.Client.ReceiveTimeout = 800;
  for (const auto& f : faults) {
    const std::string error = Run(bytes, f.Behaviour);
    const std::string got = Downloaded();
    EXPECT_EQ(error.empty(), f.Succeeds) << f.Behaviour[0] << ": " << error;
    if (f.Succeeds)
      EXPECT_TRUE(got == bytes) << f.Behaviour[0];
    else
      EXPECT_TRUE(got == bytes.substr(0, got.size()) && got.size() <= 512 * 4) << f.Behaviour[0];
  }
  Run(bytes, {"repeat=7"});
  EXPECT_EQ(Count("ack 7"), 2u);
}

// Windows of 8 with blocks lost, repeated and out of order inside them, and a lost ACK:
// the server resends from the block after the last in-order one the client names.
TEST_F(DownloadRules, WindowedReceiveSurvivesLossReorderAndRepeats) {
  const std::string bytes = PatternBytes(512 * 40 + 7, 22);
  Rec.Client.RequestedBlockSize = 512;
  Rec.Client.RequestedWindowSize = 8;
  Rec.Client.RequestTransferSize = true;
  const std::vector<std::vector<std::string>> faults = {
      {},           {"drop=5"},    {"dup=5"},       {"swap=5"},     {"drop=8"},
      {"drop=41"},  {"dup=41"},    {"ignoreack=8"}, {"swap=40"},    {"drop=3,12", "dup=12,20", "swap=30"},
  };
  for (auto f : faults) {
    f.push_back("oack=echo");
    EXPECT_EQ(Run(bytes, f), "") << f[0];
    EXPECT_TRUE(Downloaded() == bytes) << f[0];
    EXPECT_EQ(Rec.Client.TransferSize, static_cast<int64_t>(bytes.size())) << f[0];
    EXPECT_EQ(Rec.Counts.back(), static_cast<int64_t>(bytes.size())) << f[0];
  }
  // Without loss one ACK per full window, and one for the last block.
  Run(bytes, {"oack=echo"});
  const auto lines = Server->Received();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("ack ", 0) == 0; }),
            1 + 5 + 1);  // ack 0, five windows of 8, the last block
  EXPECT_EQ(lines.front(), "rrq file octet blksize=512 windowsize=8 tsize=0");
}

// Wrap-around to 0 and to 1; a late copy of block 65535 after the wrap is never written.
TEST_F(DownloadRules, BlockNumbersWrapAndLateCopiesAreNotWritten) {
  const std::string bytes = PatternBytes(8 * 65540 + 3, 23);
  Rec.Client.RequestedBlockSize = 8;
  for (const char* wrap : {"wrapto=0", "wrapto=1"}) {
    EXPECT_EQ(Run(bytes, {"oack=echo", wrap, "early=65537:65535,65538:65535"}), "") << wrap;
    EXPECT_TRUE(Downloaded() == bytes) << wrap;
  }
  Rec.Client.RequestedWindowSize = 16;  // windowed: the counter wraps to 0
  EXPECT_EQ(Run(bytes, {"oack=echo", "drop=65536"}), "");
  EXPECT_TRUE(Downloaded() == bytes);
}

// The server is known by its address whatever the host text; strangers of any size get
// ERROR 5 and change nothing.
TEST_F(DownloadRules, PeerIsTheServerAddressAndStrangersAreTurnedAway) {
  const std::string bytes = PatternBytes(512 * 6 + 100, 24);
  for (const char* host : {"127.1", "2130706433", "127.000.000.001", "localhost"}) {
    Rec.Client.Host = host;
    EXPECT_EQ(Run(bytes, {}), "") << host;
    EXPECT_TRUE(Downloaded() == bytes) << host;
    EXPECT_EQ(Count("error 5 Unknown transfer ID"), 0u) << host;
  }
  Rec.Client.Host = "127.0.0.1";
  for (const char* size : {"68", "1000", "65000"}) {
    EXPECT_EQ(Run(bytes, {"inject=3", std::string("injectsize=") + size}), "") << size;
    EXPECT_TRUE(Downloaded() == bytes) << size;
    EXPECT_EQ(Count("foreign error 5 Unknown transfer ID"), 1u) << size;
  }
}

// Options: every pair is read; what was not asked for is ignored; a value beyond what was
// asked ends the transfer with ERROR 8 sent to the server.
TEST_F(DownloadRules, OptionAcknowledgementsAreCheckedPairByPair) {
  struct TCase {
    std::string Oack;  // oackhex= payload, as text with '|' for the zero bytes
    std::string Error; // "" when the download succeeds
    int BlockSize;
  };
  const std::vector<TCase> cases = {
      {"tsize|3172|blksize|1024|", "", 1024},
      {"foo|bar|BLKSIZE|1400|", "", 1400},
      {"blksize|2000|", "Invalid blksize value 2000", 0},
      {"blksize|7|", "Invalid blksize value 7", 0},
      {"windowsize|9|", "Invalid windowsize value 9", 0},
      {"windowsize|0|", "Invalid windowsize value 0", 0},
      {"tsize|-1|", "Invalid tsize value -1", 0},
      {"blksize|abc|", "'abc' is not a valid integer value", 0},
  };
  const std::string bytes = PatternBytes(3172, 25);
  Rec.Client.RequestedBlockSize = 1500;
  Rec.Client.RequestedWindowSize = 8;
  Rec.Client.RequestTransferSize = true;
  for (const auto& c : cases) {
    std::string raw = c.Oack;
    std::replace(raw.begin(), raw.end(), '|', '\0');
    std::string hex;
    for (unsigned char ch : raw) {
      static const char* digits = "0123456789abcdef";
      hex += digits[ch >> 4];
      hex += digits[ch & 15];
    }
    const std::string error = Run(bytes, {"oackhex=" + hex, "blksize=" + std::to_string(c.BlockSize ? c.BlockSize : 512)});
    EXPECT_EQ(error, c.Error) << c.Oack;
    if (c.Error.empty()) {
      EXPECT_TRUE(Downloaded() == bytes) << c.Oack;
      EXPECT_EQ(Rec.Client.BufferSize, c.BlockSize + 4) << c.Oack;
    } else {
      EXPECT_TRUE(Server->WaitForLine("error 8 " + (c.Error[0] == '\'' ? "Invalid blksize value abc" : c.Error)))
          << c.Oack;
    }
  }
  // A size other than the announced one is an error, told to the server.
  Rec.Client.RequestedWindowSize = 1;
  EXPECT_EQ(Run(bytes, {"oack=echo", "tsize=3000"}), "Transfer size mismatch: 3172 of 3000 bytes");
  EXPECT_EQ(Run(bytes, {"oack=echo", "tsize=4000"}), "Transfer size mismatch: 3172 of 4000 bytes");
  // A plain request carries no more than it always did.
  Rec.Client.RequestTransferSize = false;
  Rec.Client.RequestedBlockSize = 512;
  EXPECT_EQ(Run(bytes, {}), "");
  EXPECT_EQ(Server->Received().front(), "rrq file octet blksize=512");
}

// netascii arrives with LF line ends: CR LF becomes LF and CR NUL a CR, also across blocks.
TEST_F(DownloadRules, NetasciiIsConvertedOnArrival) {
  struct TCase {
    std::string Wire, Local;
  };
  const std::string fill(511, 'x');
  const std::vector<TCase> cases = {
      {"one\r\ntwo\r\n", "one\ntwo\n"},
      {std::string("a\r\0b\r\r\nc", 8), "a\rb\r\nc"},
      {fill + "\r\nz", fill + "\nz"},                        // CR LF split between blocks
      {fill + "\r" + std::string("\0z", 2), fill + "\rz"},   // CR NUL split between blocks
      {"end\r", "end\r"},                                    // a CR the file ends with
  };
  Rec.Client.TransferMode = tfNetAscii;
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.Wire, {}), "");
    EXPECT_EQ(Downloaded(), c.Local);
  }
}

// A destination that fails part-way, in lock-step and inside windows (also where a gap makes
// the client answer early): the server never sees an ACK for a block that is not written,
// and it is told of the failure.
TEST_F(DownloadRules, NoBlockIsAcknowledgedBeforeItIsWritten) {
  class TLimitedStream : public TDgStream {
   public:
    explicit TLimitedStream(size_t limit) : Limit(limit) {}
    void WriteBuffer(const char* data, size_t count) override {
      if (Bytes.size() + count > Limit) throw EWriteError(ENOSPC);
      Bytes.append(data, count);
    }
    size_t Limit;
    std::string Bytes;
  };
  struct TCase {
    int Window;
    size_t Limit;  // bytes the destination takes
    std::vector<std::string> Behaviour;
  };
  const std::vector<TCase> cases = {
      {1, 512 * 5 + 100, {}},      {8, 512 * 5, {}},     {8, 512 * 12, {}},
      {8, 512 * 10 + 1, {"drop=12"}}, {8, 512 * 16, {"dup=10"}}, {8, 512 * 39, {"swap=40"}},
  };
  const std::string bytes = PatternBytes(512 * 40 + 7, 26);
  WriteFile(Served.File("file"), bytes);
  Rec.Client.RequestedBlockSize = 512;
  for (const auto& c : cases) {
    Rec.Client.RequestedWindowSize = c.Window;
    auto behaviour = c.Behaviour;
    behaviour.push_back("oack=echo");
    Server = std::make_unique<TScriptedTftpServer>();
    ASSERT_TRUE(Server->Start(Served.Path(), behaviour));
    Rec.Client.Port = Server->Port();
    TLimitedStream out(c.Limit);
    EXPECT_THROW(Rec.Client.Get("file", out), EWriteError) << c.Limit;
    EXPECT_TRUE(out.Bytes == bytes.substr(0, out.Bytes.size())) << c.Limit;
    EXPECT_TRUE(Server->WaitForLine("error 0 Stream write error")) << c.Limit;
    for (const auto& line : Server->Received()) {
      if (line.rfind("ack ", 0) != 0) continue;
      EXPECT_LE(std::stoul(line.substr(4)) * 512, out.Bytes.size()) << c.Limit << ": " << line;
    }
  }
}
