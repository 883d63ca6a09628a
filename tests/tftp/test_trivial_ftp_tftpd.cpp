// Downloads from a real TFTP server (tftpd-hpa) on a loopback port.
#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/tftp_server_fixture.h"
#include "tftp/dg_exception.h"
#include "tftp_test_util.h"

using namespace quodra::tftp;
using namespace quodra::test;
using quodra::tftp::test::TRecordedClient;

namespace {

class TftpdDownload : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Server.Start(Served.Path())) << "tftpd-hpa did not start"; }
  // Serves `bytes` as `name` and downloads it with the given block size.
  std::string RoundTrip(const std::string& name, const std::string& bytes, int blockSize = 512) {
    WriteFile(Served.File(name), bytes);
    Rec.Client.RequestedBlockSize = blockSize;
    Rec.Client.Get(Server.RemoteName(name), Local.File(name));
    return ReadFile(Local.File(name));
  }
  TTempDir Served, Local;
  TTftpdServer Server;
  TRecordedClient Rec{0};
};

}  // namespace

TEST_F(TftpdDownload, FilesOfEverySizeArriveByteForByte) {
  Rec.Client.Port = Server.Port();
  for (size_t size : {size_t{0}, size_t{1}, size_t{511}, size_t{512}, size_t{513}, size_t{1024}, size_t{100000}}) {
    const std::string bytes = PatternBytes(size, static_cast<unsigned>(size) + 7);
    EXPECT_EQ(RoundTrip("f" + std::to_string(size), bytes), bytes) << size;
  }
}

TEST_F(TftpdDownload, MultiMegabyteFileWithSmallAndLargeBlocks) {
  Rec.Client.Port = Server.Port();
  const std::string bytes = PatternBytes(3 * 1024 * 1024 + 17, 3);
  EXPECT_EQ(RoundTrip("big.bin", bytes, 512), bytes);
  EXPECT_EQ(RoundTrip("big.bin", bytes, 1428), bytes);
  EXPECT_EQ(Rec.Client.BufferSize, 1432);  // the server acknowledged 1428
}

TEST_F(TftpdDownload, ProgressEventsRunFromBeginToEnd) {
  Rec.Client.Port = Server.Port();
  const std::string bytes = PatternBytes(1300, 5);
  RoundTrip("p.bin", bytes);
  EXPECT_EQ(Rec.Events, (std::vector<std::string>{"begin 0 0", "end 0"}));
  EXPECT_EQ(Rec.Counts, (std::vector<int64_t>{512, 1024, 1300}));  // running totals
}

TEST_F(TftpdDownload, NetasciiTextArrivesAsItIsOnTheServer) {
  Rec.Client.Port = Server.Port();
  Rec.Client.TransferMode = tfNetAscii;
  // The server sends LF as CR LF and CR as CR NUL; the file gets back what the server has,
  // also where a line end falls between two blocks.
  for (const std::string& text : {std::string("one\ntwo\n"), std::string("a\rb\r\nc\r"),
                                  std::string(511, 'x') + "\n" + std::string(510, 'y') + "\rz"})
    EXPECT_EQ(RoundTrip("t.txt", text), text);
  Rec.Client.TransferMode = tfOctet;
  EXPECT_EQ(RoundTrip("t.txt", "one\ntwo\n"), "one\ntwo\n");
}

// atftpd answers "windowsize" and "tsize": windows of 16 fetch the file whole.
TEST(AtftpdDownload, WindowedDownloadsArriveWhole) {
  TTempDir served, local;
  TTftpdServer server(TTftpdServer::kAtftpd);
  ASSERT_TRUE(server.Start(served.Path())) << "atftpd did not start";
  const std::string bytes = PatternBytes(2 * 1024 * 1024 + 5, 31);
  WriteFile(served.File("w.bin"), bytes);
  TRecordedClient rec{server.Port()};
  rec.Client.RequestTransferSize = true;
  for (int block : {512, 1428, 8192}) {
    for (int window : {1, 4, 16, 64}) {
      rec.Client.RequestedBlockSize = block;
      rec.Client.RequestedWindowSize = window;
      rec.Client.Get(server.RemoteName("w.bin"), local.File("w.bin"));
      EXPECT_TRUE(ReadFile(local.File("w.bin")) == bytes) << block << "/" << window;
      EXPECT_EQ(rec.Client.TransferSize, static_cast<int64_t>(bytes.size())) << block << "/" << window;
    }
  }
}

TEST_F(TftpdDownload, MissingFileRaisesFileNotFoundAndLeavesAnEmptyFile) {
  Rec.Client.Port = Server.Port();
  WriteFile(Local.File("old"), "previous contents");
  try {
    Rec.Client.Get(Server.RemoteName("no-such-file"), Local.File("old"));
    FAIL() << "no exception";
  } catch (const EDgTFTPFileNotFound& e) {
    EXPECT_STREQ(e.what(), "File not found");
  }
  EXPECT_TRUE(FileExists(Local.File("old")));
  EXPECT_EQ(ReadFile(Local.File("old")), "");
  EXPECT_EQ(Rec.Events, (std::vector<std::string>{"begin 0 0", "end 0"}));
  EXPECT_FALSE(Rec.Client.Active());  // the socket is closed after a failure too
}

TEST_F(TftpdDownload, OneComponentServesDownloadsOneAfterAnother) {
  Rec.Client.Port = Server.Port();
  WriteFile(Served.File("a"), "first");
  WriteFile(Served.File("b"), "second");
  for (int round = 0; round < 3; ++round) {
    TDgMemoryStream memory;
    memory.Bytes = "prefix:";  // the stream form writes at the stream's position
    Rec.Client.Get(Server.RemoteName(round % 2 ? "b" : "a"), memory);
    EXPECT_EQ(memory.Bytes, std::string("prefix:") + (round % 2 ? "second" : "first"));
    EXPECT_FALSE(Rec.Client.Active());
    EXPECT_NE(Rec.Client.Binding(), nullptr);  // the binding stays, its socket is closed
  }
}
