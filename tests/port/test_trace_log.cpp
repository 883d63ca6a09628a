// The trace and the dispatch log: recording, wrapping and the two file layouts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port/qp_error_codes.h"
#include "port/qp_trace_log.h"
#include "support/temp_dir.h"

using namespace quodra::port;
using quodra::test::FileExists;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {

void AddText(TQpTrace& t, char code, const std::string& s) {
  t.Add(code, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace

TEST(Trace, CommandAndReplyAreDumpedWithTheDefaults) {
  TTempDir dir;
  TQpTrace t;
  ASSERT_EQ(t.Start(10000), 0);
  AddText(t, 'T', "USER anonymous\r\n");
  AddText(t, 'R', "220 Service ready\r\n");
  ASSERT_EQ(t.Dump(dir.File("QPORT.TRC"), true, false), 0);
  EXPECT_EQ(ReadFile(dir.File("QPORT.TRC")),
            "Transmit: \n"
            "USER[20]anonymous[0D][0A]\n"
            "\n"
            "Receive: \n"
            "220[20]Service[20]ready[0D][0A]\n");
  EXPECT_FALSE(t.Exists());  // a dump discards the record
}

TEST(Trace, KeepsTheMostRecentBytesOldestFirst) {
  TQpTrace t;
  t.Start(10);
  AddText(t, 'T', "abcdefghijklmno");  // 15 bytes into 10 entries
  EXPECT_EQ(t.Count(), 10u);
  EXPECT_EQ(t.Format(true, false), "Transmit: \nfghijklmno\n");
  // Starting again only empties the record, keeping its size.
  t.Start(3);
  EXPECT_EQ(t.Size(), 10u);
  EXPECT_EQ(t.Count(), 0u);
}

TEST(Trace, ByteFormsFollowTheHexSettings) {
  EXPECT_EQ(TraceByteText(13, false, false), "[13]");
  EXPECT_EQ(TraceByteText(13, true, false), "[0D]");
  EXPECT_EQ(TraceByteText(' ', false, false), " ");
  EXPECT_EQ(TraceByteText(' ', true, false), "[20]");
  EXPECT_EQ(TraceByteText('A', true, false), "A");
  EXPECT_EQ(TraceByteText('A', true, true), "[41]");
  EXPECT_EQ(TraceByteText('A', false, true), "[41]");
  EXPECT_EQ(TraceByteText(0, false, false), "[0]");
  EXPECT_EQ(TraceByteText(127, false, false), "[127]");
  EXPECT_EQ(TraceByteText(255, true, false), "[FF]");
  EXPECT_EQ(TraceByteText(126, false, false), "~");

  TQpTrace t;
  t.Start(100);
  t.Add('R', 13);
  t.Add('R', ' ');
  t.Add('X', 1);
  EXPECT_EQ(t.Format(false, false), "Receive: \n[13] \n\nSpecial-X: \n[1]\n");
}

TEST(Trace, LinesWrapBeforeColumn79) {
  TQpTrace t;
  t.Start(1000);
  AddText(t, 'T', std::string(100, 'A'));
  auto lines = Lines(t.Format(true, false));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], std::string(78, 'A'));
  EXPECT_EQ(lines[2], std::string(22, 'A'));

  // A 4-column item that would reach column 79 moves to the next line whole.
  TQpTrace h;
  h.Start(1000);
  AddText(h, 'T', std::string(76, 'B'));
  h.Add('T', 0);
  h.Add('T', 0);
  lines = Lines(h.Format(true, false));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], std::string(76, 'B'));
  EXPECT_EQ(lines[2], "[00][00]");
}

TEST(Trace, EmptyOrAbsentRecordsWriteNoFile) {
  TTempDir dir;
  TQpTrace t;
  EXPECT_EQ(t.Dump(dir.File("a.trc"), true, false), 0);
  EXPECT_FALSE(FileExists(dir.File("a.trc")));
  t.Start(10);
  EXPECT_EQ(t.Dump(dir.File("b.trc"), true, false), 0);
  EXPECT_FALSE(FileExists(dir.File("b.trc")));
  EXPECT_FALSE(t.Exists());
}

TEST(Trace, PauseResumeClearAndStop) {
  TQpTrace t;
  t.Add('T', 'x');  // no record: ignored
  t.Start(10);
  t.Add('T', 'a');
  t.Pause();
  EXPECT_TRUE(t.Paused());
  t.Add('T', 'b');
  t.Resume();
  t.Add('T', 'c');
  EXPECT_EQ(t.Format(true, false), "Transmit: \nac\n");
  t.Clear();
  EXPECT_EQ(t.Count(), 0u);
  EXPECT_TRUE(t.Recording());
  t.Stop();
  EXPECT_FALSE(t.Exists());
  EXPECT_EQ(t.Start(kMaxTraceSize + 1), ecBadArgument);
  EXPECT_FALSE(t.Exists());
  EXPECT_EQ(t.Start(kMaxTraceSize), 0);
}

TEST(Trace, DumpReplacesAppendAddsAndFileErrorsAreReported) {
  TTempDir dir;
  std::string file = dir.File("QPORT.TRC");
  WriteFile(file, "old contents\n");
  TQpTrace t;
  t.Start(10);
  t.Add('T', 'a');
  ASSERT_EQ(t.Dump(file, true, false), 0);
  EXPECT_EQ(ReadFile(file), "Transmit: \na\n");
  t.Start(10);
  t.Add('R', 'b');
  ASSERT_EQ(t.Append(file, true, false), 0);
  EXPECT_EQ(ReadFile(file), "Transmit: \na\nReceive: \nb\n");
  t.Start(10);
  t.Add('R', 'c');
  ASSERT_EQ(t.Append(dir.File("new.trc"), true, false), 0);  // append creates a missing file
  EXPECT_EQ(ReadFile(dir.File("new.trc")), "Receive: \nc\n");

  t.Start(10);
  t.Add('R', 'd');
  EXPECT_EQ(t.Dump(dir.File("no/such/folder/x.trc"), true, false), ecPathNotFound);
  EXPECT_FALSE(t.Exists());  // discarded on a file error too
}

TEST(Trace, WriteErrorOnAFullDeviceIsReported) {
  if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TQpTrace t;
  t.Start(100);
  AddText(t, 'T', "data");
  EXPECT_EQ(t.Dump("/dev/full", true, false), ecDiskFull);
}

// ---------------------------------------------------------------------------------------------

TEST(DispatchLog, TimeColumnHasAPointBeforeTheFifthCharacter) {
  EXPECT_EQ(LogTimeText(1234), "0001.234");
  EXPECT_EQ(LogTimeText(0), "0000.000");
  EXPECT_EQ(LogTimeText(9999999), "9999.999");
  EXPECT_EQ(LogTimeText(12345678), "1234.5678");
}

TEST(DispatchLog, RowsShowNamesDataAndOtherData) {
  TQpDispatchLog log;
  ASSERT_EQ(log.Start(10000), 0);
  const std::string read = "220 ok\r\n";
  log.AddAt(1234, ltDispatch, lsReadCom, 8, read.data(), 8);
  log.AddAt(1300, ltTelnet, lsRecvDo, 24);
  log.AddAt(1301, ltTelnet, lsSentWill, 0);
  log.AddAt(1302, ltTelnet, lsRecvDo, 43);
  log.AddAt(1303, ltTelnet, lsSentTerm, 0, "vt100", 5);
  const uint8_t kind = 3;
  log.AddAt(1400, ltTrigDisp, lsStatus, 0x23, &kind, 1);
  log.AddAt(1500, ltTrigger, lsTrigTimer, 0x10);
  log.AddAt(1600, ltError, lsNone, 0);
  log.AddAt(1700, ltTrDatChg, lsTimer, 8, "Deactivated", 11);
  log.AddAt(1800, ltDispatch, lsModemStatus, 0x90);
  auto lines = Lines(log.FormatEntries(true, false));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "0001.234  Dispatch  ReadCom       00000008  220[20]ok[0D][0A]");
  EXPECT_EQ(lines[1], "0001.300  Telnet    Recv DO       00000018  [Terminal Type]");
  EXPECT_EQ(lines[2], "0001.301  Telnet    Sent WILL     00000000  [Binary]");
  EXPECT_EQ(lines[3], "0001.302  Telnet    Recv DO       0000002b  []");
  EXPECT_EQ(lines[4], "0001.303  Telnet    Sent Term     00000000  vt100");
  EXPECT_EQ(lines[5], "0001.400  TrigDisp  Status        00000023  (Output buffer free)");
  EXPECT_EQ(lines[6], "0001.500  Trigger   Timer         00000010  ");
  EXPECT_EQ(lines[7], "0001.600  Error                   00000000  ");
  EXPECT_EQ(lines[8], "0001.700  TrDatChg  Timer         00000008  Deactivated");
  EXPECT_EQ(lines[9], "0001.800  Dispatch  Modem status  00000090  (CTS DCD)");
}

TEST(DispatchLog, LongPayloadsWrapIntoTheOtherDataColumn) {
  TQpDispatchLog log;
  log.Start(10000);
  std::string payload(40, 'x');
  log.AddAt(0, ltDispatch, lsWriteCom, 40, payload.data(), 40);
  auto lines = Lines(log.FormatEntries(true, false));
  ASSERT_EQ(lines.size(), 2u);
  // Columns 45 to 77 on the first line (33 bytes), the rest indented by 44 blanks.
  EXPECT_EQ(lines[0].size(), 44u + 33u);
  EXPECT_EQ(lines[1], std::string(44, ' ') + std::string(7, 'x'));

  // All-hex: 4-column items, 8 per line; User entries are shown as characters.
  TQpDispatchLog hex;
  hex.Start(10000);
  hex.AddAt(0, ltDispatch, lsWriteCom, 9, "ABCDEFGHI", 9);
  hex.AddAt(0, ltUser, lsNone, 0, "A B", 3);
  lines = Lines(hex.FormatEntries(true, true));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(44), "[41][42][43][44][45][46][47][48]");
  EXPECT_EQ(lines[1], std::string(44, ' ') + "[49]");
  EXPECT_EQ(lines[2].substr(44), "A B");
  // Decimal form without hex.
  TQpDispatchLog dec;
  dec.Start(10000);
  dec.AddAt(0, ltDispatch, lsReadCom, 2, "\r ", 2);
  EXPECT_EQ(Lines(dec.FormatEntries(false, false))[0].substr(44), "[13] ");
}

TEST(DispatchLog, OldestEntriesGiveWayAndOversizedOnesAreNotRecorded) {
  TQpDispatchLog log;
  log.Start(100);  // room for e.g. four 20-byte entries and a bit
  for (uint32_t i = 0; i < 20; ++i) log.AddAt(i, ltDispatch, lsReadCom, i, "abcd", 4);
  EXPECT_LE(log.UsedBytes(), 100u);
  EXPECT_EQ(log.EntryCount(), 5u);
  auto lines = Lines(log.FormatEntries(true, false));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(0, 8), "0000.015");  // entries 15 ... 19 survive, oldest first
  EXPECT_EQ(lines[4].substr(0, 8), "0000.019");
  for (const auto& l : lines) EXPECT_EQ(l.substr(44), "abcd");

  // Entries of mixed sizes wrap around the end of the buffer and come out intact.
  TQpDispatchLog mixed;
  mixed.Start(97);
  for (uint32_t i = 0; i < 50; ++i) {
    std::string p(i % 13, static_cast<char>('a' + i % 26));
    mixed.AddAt(i, ltDispatch, lsReadCom, i, p.data(), static_cast<uint32_t>(p.size()));
  }
  for (const auto& l : Lines(mixed.FormatEntries(true, false))) {
    uint32_t i = std::stoul(l.substr(36, 8), nullptr, 16);
    EXPECT_EQ(l.substr(44), std::string(i % 13, static_cast<char>('a' + i % 26)));
  }

  const std::string big(85, 'z');
  log.Clear();
  log.AddAt(0, ltDispatch, lsReadCom, 0, big.data(), 85);  // 16 + 85 > 100
  EXPECT_EQ(log.EntryCount(), 0u);
  log.AddAt(0, ltDispatch, lsReadCom, 0, big.data(), 84);  // exactly 100
  EXPECT_EQ(log.EntryCount(), 1u);
  EXPECT_EQ(log.Start(kMaxLogSize + 1), ecBadArgument);
  EXPECT_EQ(log.EntryCount(), 1u);  // a refused size changes nothing
  EXPECT_EQ(log.Start(50), 0);      // an existing record is only emptied
  EXPECT_EQ(log.EntryCount(), 0u);
  EXPECT_EQ(log.Size(), 100u);
  TQpDispatchLog fresh;
  EXPECT_EQ(fresh.Start(kMaxLogSize + 1), ecBadArgument);
}

TEST(DispatchLog, DumpWritesHeaderAndEveryEntryThenDiscards) {
  TTempDir dir;
  std::string file = dir.File("QPORT.LOG");
  WriteFile(file, "previous\n");
  TQpDispatchLog log;
  EXPECT_EQ(log.Dump(file, true, false), 0);  // no record: nothing happens
  EXPECT_EQ(ReadFile(file), "previous\n");
  log.Start(1000);
  EXPECT_EQ(log.Dump(file, true, false), 0);  // empty record: no file written
  EXPECT_EQ(ReadFile(file), "previous\n");
  EXPECT_FALSE(log.Exists());

  log.Start(1000);
  log.SetDeviceName("Winsock");
  log.AddAt(5, ltTrgHdAlc, lsMethod, 0);
  log.AddAt(6, ltTrigAllc, lsTimer, 8);
  ASSERT_EQ(log.Dump(file, true, false), 0);
  EXPECT_FALSE(log.Exists());
  auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "QPORT v1.00");
  EXPECT_EQ(lines[1].rfind("Compiler : ", 0), 0u);
  EXPECT_GT(lines[1].size(), 11u);
  EXPECT_EQ(lines[2].rfind("Operating System : ", 0), 0u);
  EXPECT_EQ(lines[3], "Device: Winsock");
  ASSERT_EQ(lines[4].size(), std::string("Date/time: dd/mm/yy, hh:mm:ss").size());
  EXPECT_EQ(lines[4].rfind("Date/time: ", 0), 0u);
  EXPECT_EQ(lines[4][13], '/');
  EXPECT_EQ(lines[4][19], ',');
  EXPECT_EQ(lines[5], "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(lines[6], "--------  --------  ------------  --------  ---------");
  EXPECT_EQ(lines[7], "0000.005  TrgHdAlc  Method        00000000  ");
  EXPECT_EQ(lines[8], "0000.006  TrigAllc  Timer         00000008  ");

  log.Start(1000);
  log.AddAt(7, ltTrigDisp, lsTimer, 8);
  ASSERT_EQ(log.Append(file, true, false), 0);
  lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[9], "QPORT v1.00");
  EXPECT_EQ(lines[16], "0000.007  TrigDisp  Timer         00000008  ");

  log.Start(1000);
  log.AddAt(0, ltError, 0, 0);
  EXPECT_EQ(log.Dump(dir.File("missing/QPORT.LOG"), true, false), ecPathNotFound);
  EXPECT_FALSE(log.Exists());
}

TEST(DispatchLog, PausedRecordsIgnoreEntries) {
  TQpDispatchLog log;
  log.Add(ltError, 0, 0);  // no record
  log.Start(1000);
  log.Pause();
  log.Add(ltError, 0, 0);
  EXPECT_EQ(log.EntryCount(), 0u);
  log.Resume();
  log.SetTimeBase(0);
  log.Add(ltError, 0, 0);
  EXPECT_EQ(log.EntryCount(), 1u);
}
