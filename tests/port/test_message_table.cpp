// The message tables: the embedded texts, the reader's checks and the system fallback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "port/qp_error_codes.h"
#include "port/qp_except.h"
#include "port/qp_str_mgr.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace quodra::port;
using quodra::test::TTempDir;

namespace {

void PutU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct TRawEntry {
  uint32_t Id, Offset, Units;
};

// A table built by hand: entries as given, then `texts` (already UTF-16LE).
std::string RawTable(const std::vector<TRawEntry>& entries, const std::string& texts, const char* sig = "STR0") {
  std::string s(sig, 4);
  PutU32(s, static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) {
    PutU32(s, e.Id);
    PutU32(s, e.Offset);
    PutU32(s, e.Units);
  }
  return s + texts;
}

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string ReaderError(const std::function<void()>& f) {
  try {
    f();
  } catch (const EQpStringResourceError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST(MessageTable, QuotedTextsAreStoredAsWritten) {
  const std::pair<int, const char*> texts[] = {
      {1002, "Bad argument passed to function"},
      {2001, "ie_BadId - Specified comport doesn't exist"},
      {2007, "ie_NOpen - device not open"},
      {2008, "ie_Open - device already open"},
      {3004, "Failed to put entire block"},
      {3006, "Output buffer too small for block"},
      {3007, "Buffer is empty"},
      {5001, "No more trigger slots"},
      {5002, "Data trigger too long"},
      {5003, "Bad trigger handle"},
      {5501, "Start string is empty"},
      {5502, "Packet size cannot be smaller than start string"},
      {5503, "CharCount packets must have an end-condition"},
      {5504, "End string is empty"},
      {5505, "Packet size cannot be zero"},
      {5506, "Packet too long"},
      {9002, "Error loading Winsock DLL"},
      {9003, "Incorrect version of Winsock"},
      {9004, "Winsock not initialized - %s"},
      {9005, "Specified port is not valid"},
      {9006, "Cannot change parameter while socket is connected"},
      {9007, "Cannot resolve destination address"},
      {10014, "Unknown error"},
      {10035, "Warning : the socket would block on this call"},
      {10037, "WSAEALREADY: watch out, Al is ready"},
      {10054, "The virtual circuit has been reset by the partner"},
      {10061, "The attempt to connect was forcibly refused"},
      {11004, "Valid name, but no data record of requested type"},
      {4500, "OpenPort"},
      {4523, "SubEntryDisconnected"},
      {13980, "Failed to find/load RASAPI32.DLL"},
      {15001, "No event"},
      {15011, "Telnet"},
      {15020, "User"},
      {15101, "ReadCom"},
      {15121, "Sent WON'T"},
      {15129, "Sent Term"},
      {15342, "Enable"},
      {15351, "Collecting"},
      {15501, "Time      Type      SubType       Data      OtherData"},
      {15502, "--------  --------  ------------  --------  ---------"},
      {15601, "DCTS "},
      {15608, "DCD "},
      {15700, "Binary"},
      {15724, "Terminal Type"},
      {15742, "CHARSET"},
  };
  for (const auto& [id, text] : texts) EXPECT_EQ(QpLoadStr(id), text) << "id " << id;
}

TEST(MessageTable, EveryGroupThePortLibraryUsesIsComplete) {
  // Each of these ranges is fully populated; a hole would show an empty or system text.
  const std::pair<int, int> ranges[] = {{1001, 1009}, {2001, 2012}, {3001, 3010}, {4001, 4008},
                                        {5001, 5003}, {5501, 5506}, {9001, 9007}, {10035, 10071},
                                        {11001, 11004}, {4500, 4523}, {15001, 15020}, {15101, 15129},
                                        {15342, 15351}, {15601, 15608}, {15700, 15742}};
  for (auto [first, last] : ranges)
    for (int id = first; id <= last; ++id) EXPECT_TRUE(ErrorStrings().HasString(id)) << "id " << id;
  EXPECT_EQ(StrMgrStrings().Count(), 5u);
  EXPECT_EQ(StrMgrStrings().GetString(1), "String not found: %d");
  EXPECT_EQ(StrMgrStrings().GetString(5), "Invalid string table resource");
}

TEST(MessageTable, CodeIsTakenAsSixteenBitsAndItsAbsoluteValue) {
  EXPECT_EQ(QpLoadStr(-3007), QpLoadStr(3007));
  EXPECT_EQ(QpLoadStr(-3007), "Buffer is empty");
  EXPECT_EQ(QpLoadStr(65536 + 1002), "Bad argument passed to function");
  EXPECT_EQ(QpLoadStr(0), "OK");
}

TEST(MessageTable, MissingIdsFallBackToTheSystemTextCleaned) {
  // 10010 lies between two stored ids and outside the system's error numbers: empty.
  EXPECT_FALSE(ErrorStrings().HasString(10010));
  EXPECT_EQ(QpLoadStr(10010), "");
  // 7 is not stored; the system knows it.
  EXPECT_FALSE(ErrorStrings().HasString(7));
  EXPECT_EQ(QpLoadStr(7), "Argument list too long");
  EXPECT_EQ(QpLoadStr(-7), "Argument list too long");
  for (int code = 1; code < 200; ++code) {
    std::string t = QpLoadStr(code);
    EXPECT_LE(t.size(), 255u);
    EXPECT_EQ(t.find("  "), std::string::npos) << code;
    for (char c : t) EXPECT_GE(static_cast<unsigned char>(c), 32u) << code;
  }
}

TEST(MessageTable, ReaderFindsEveryIdOfAHandMadeTableAndRejectsBrokenOnes) {
  std::string texts = Utf16("onetwothree");
  const uint32_t base = 8 + 12 * 3;
  auto table = TQpStringResource::FromBytes(
      RawTable({{5, base, 3}, {9, base + 6, 3}, {400000, base + 12, 5}}, texts));
  EXPECT_EQ(table->Count(), 3u);
  EXPECT_EQ(table->GetString(5), "one");
  EXPECT_EQ(table->GetString(9), "two");
  EXPECT_EQ(table->GetString(400000), "three");
  EXPECT_EQ(table->GetString(6), "");
  EXPECT_EQ(table->GetString(0), "");
  table->RaiseOnMissing = true;
  EXPECT_EQ(ReaderError([&] { table->GetString(77); }), "String not found: 77");

  // Wrong signature, short header, entry table past the end.
  EXPECT_EQ(ReaderError([&] { TQpStringResource::FromBytes(RawTable({}, "", "STR1")); }),
            "Invalid string table resource");
  EXPECT_EQ(ReaderError([&] { TQpStringResource::FromBytes("STR"); }), "Invalid string table resource");
  std::string truncated = RawTable({{1, 20, 1}}, "");
  truncated.resize(truncated.size() - 1);
  EXPECT_EQ(ReaderError([&] { TQpStringResource::FromBytes(truncated); }), "Invalid string table resource");
  std::string huge = "STR0";
  PutU32(huge, 0xFFFFFFFFu);
  EXPECT_EQ(ReaderError([&] { TQpStringResource::FromBytes(huge); }), "Invalid string table resource");

  // Texts that point outside the table read as absent instead of past the end.
  auto hostile = TQpStringResource::FromBytes(
      RawTable({{1, 0xFFFFFFF0u, 4}, {2, base, 0x7FFFFFFFu}, {3, base + 2, 1}}, Utf16("ab")));
  EXPECT_EQ(hostile->GetString(1), "");
  EXPECT_EQ(hostile->GetString(2), "");
  EXPECT_EQ(hostile->GetString(3), "b");
}

TEST(MessageTable, TextsAreConvertedFromUtf16) {
  // "é" (U+00E9), "€" (U+20AC), a surrogate pair for U+1F600 and a lone surrogate.
  std::string texts;
  for (uint16_t u : {0x00E9, 0x20AC, 0xD83D, 0xDE00, 0xD800}) {
    texts += static_cast<char>(u & 0xFF);
    texts += static_cast<char>(u >> 8);
  }
  auto table = TQpStringResource::FromBytes(RawTable({{1, 20, 5}}, texts));
  EXPECT_EQ(table->GetString(1), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80?");
}

TEST(MessageTable, TablesAreLookedUpInTheGivenFolderFirst) {
  TTempDir dir;
  EXPECT_EQ(ReaderError([&] { TQpStringResource t("NO_SUCH_TABLE", dir.Path()); }),
            "String resource not found: NO_SUCH_TABLE");
  quodra::test::WriteFile(dir.File("BROKEN.str0"), "JUNKJUNK");
  EXPECT_EQ(ReaderError([&] { TQpStringResource t("BROKEN", dir.Path()); }), "Invalid string table resource");
  quodra::test::WriteFile(dir.File("QP_STRMGR_STRINGS.str0"), RawTable({{1, 20, 2}}, Utf16("hi")));
  TQpStringResource local("QP_STRMGR_STRINGS", dir.Path());
  EXPECT_EQ(local.GetString(1), "hi");
  // Without a file of that name the embedded table is used.
  TQpStringResource embedded("QP_ERROR_STRINGS_ENGLISH", dir.Path());
  EXPECT_EQ(embedded.GetString(5003), "Bad trigger handle");
}

#ifdef QUODRA_STR0_COMPILER
namespace {
int RunCompiler(const std::string& out, const std::string& folder) {
  std::string cmd = std::string(QUODRA_STR0_COMPILER) + " '" + out + "' '" + folder + "' 2>/dev/null";
  return std::system(cmd.c_str());
}
}  // namespace

TEST(MessageTableCompiler, MergesSourcesAppliesEscapesAndRefusesDuplicates) {
  TTempDir dir;
  std::string src = dir.Path() + "T/";
  ASSERT_EQ(std::system(("mkdir -p '" + src + "'").c_str()), 0);
  quodra::test::WriteFile(src + "b.txt", "# comment\n\n20\tsecond \\t\\\\ \\r\\n end\n");
  quodra::test::WriteFile(src + "a.txt", "30\tthird \n10\tfirst\r\n");
  ASSERT_EQ(RunCompiler(dir.File("T.str0"), src), 0);
  TQpStringResource t("T", dir.Path());
  EXPECT_EQ(t.Count(), 3u);
  EXPECT_EQ(t.GetString(10), "first");
  EXPECT_EQ(t.GetString(20), "second \t\\ \r\n end");
  EXPECT_EQ(t.GetString(30), "third ");  // trailing blanks are part of the text

  quodra::test::WriteFile(src + "c.txt", "20\tagain\n");
  EXPECT_NE(RunCompiler(dir.File("U.str0"), src), 0);
  EXPECT_FALSE(quodra::test::FileExists(dir.File("U.str0")));
  quodra::test::WriteFile(src + "c.txt", "x20\tbad id\n");
  EXPECT_NE(RunCompiler(dir.File("U.str0"), src), 0);
  quodra::test::WriteFile(src + "c.txt", "21\tbad escape \\q\n");
  EXPECT_NE(RunCompiler(dir.File("U.str0"), src), 0);
}
#endif
