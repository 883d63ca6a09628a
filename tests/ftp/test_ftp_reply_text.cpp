// Reply parsing, multi-line assembly, passive addresses, PORT text, 257 directories.
#include <gtest/gtest.h>

#include "ftp/ftp_reply_text.h"

using namespace quodra::ftp;

TEST(FtpReplyText, ReplyCodesAndTexts) {
  EXPECT_EQ(ReplyCodeOf("220 ready\r\n"), 220);
  EXPECT_EQ(ReplyCodeOf("530-multi\r\n"), 530);
  EXPECT_EQ(ReplyCodeOf("ab0 x\r\n"), 0);
  EXPECT_EQ(ReplyCodeOf(" 22 x\r\n"), 0);
  EXPECT_EQ(ReplyCodeOf("22"), 0);
  EXPECT_EQ(ReplyCodeOf(""), 0);
  EXPECT_EQ(ReplyTextOf("220 hello\r\n"), "hello\r\n");
  EXPECT_EQ(ReplyTextOf("220"), "");
}

TEST(FtpReplyText, ThreeLineGreetingIsOneReply) {
  TFtpReplyAssembler a;
  EXPECT_FALSE(a.Add("220-Welcome\r\n", 220));
  EXPECT_TRUE(a.InMultiLine());
  EXPECT_FALSE(a.Add("  second line\r\n", 0));
  EXPECT_TRUE(a.Add("220 ready\r\n", 220));
  EXPECT_FALSE(a.InMultiLine());
  // The closing line is not part of the text.
  EXPECT_EQ(a.Reply(), "220-Welcome\r\n  second line\r\n");
  EXPECT_EQ(ReplyTextOf(a.Reply()), "Welcome\r\n  second line\r\n");
  // A following single line replaces it.
  EXPECT_TRUE(a.Add("331 pw\r\n", 331));
  EXPECT_EQ(a.Reply(), "331 pw\r\n");
}

TEST(FtpReplyText, ContinuationLinesAndTerminator) {
  TFtpReplyAssembler a;
  EXPECT_FALSE(a.Add("211-Features\r\n", 211));
  // Another code's line, and the same code with '-', do not end it.
  EXPECT_FALSE(a.Add("200 not the end\r\n", 200));
  EXPECT_FALSE(a.Add("211-still\r\n", 211));
  // A continuation that begins with the code and a blank ends the reply at that line.
  EXPECT_TRUE(a.Add("211 End\r\n", 211));
  EXPECT_EQ(a.Reply(), "211-Features\r\n200 not the end\r\n211-still\r\n");
}

TEST(FtpReplyText, OversizedMultiLineReplyIsCut) {
  TFtpReplyAssembler a;
  EXPECT_FALSE(a.Add("214-help\r\n", 214));
  std::string line(1000, 'x');
  line += "\r\n";
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(a.Add(line, 0));
  EXPECT_TRUE(a.Add("214 end\r\n", 214));
  EXPECT_EQ(a.Reply().size(), TFtpReplyAssembler::kCapacity);
  EXPECT_EQ(a.Reply().substr(0, 10), "214-help\r\n");
}

TEST(FtpReplyText, PassiveReplies) {
  TPassiveAddress p = ParsePassiveReply("227 Entering Passive Mode (198,51,100,5,19,137)\r\n");
  ASSERT_TRUE(p.Ok);
  EXPECT_EQ(p.Host, "198.51.100.5");
  EXPECT_EQ(p.Port, 5001);

  p = ParsePassiveReply("227 Entering Passive Mode ( 127, 0, 0, 1, 4 , 1 ).\r\n");
  ASSERT_TRUE(p.Ok);
  EXPECT_EQ(p.Host, "127.0.0.1");
  EXPECT_EQ(p.Port, 1025);

  // Without parentheses the numbers start at the first digit after the code.
  p = ParsePassiveReply("227 Passive 10,0,0,7,200,10. Go\r\n");
  ASSERT_TRUE(p.Ok);
  EXPECT_EQ(p.Host, "10.0.0.7");
  EXPECT_EQ(p.Port, 200 * 256 + 10);

  EXPECT_FALSE(ParsePassiveReply("227 Entering Passive Mode\r\n").Ok);
  EXPECT_FALSE(ParsePassiveReply("227 (1,2,3,4)\r\n").Ok);
  EXPECT_FALSE(ParsePassiveReply("227 (1,2,3,256,1,1)\r\n").Ok);
  EXPECT_FALSE(ParsePassiveReply("227 (a,b,c,d,1,1)\r\n").Ok);
  EXPECT_FALSE(ParsePassiveReply("227 (127,0,0,1,0,0)\r\n").Ok);
  EXPECT_FALSE(ParsePassiveReply("").Ok);
}

TEST(FtpReplyText, ExtendedPassiveReplies) {
  const std::pair<const char*, int> cases[] = {
      {"229 Entering Extended Passive Mode (|||6446|)\r\n", 6446},
      {"229 Entering Extended Passive Mode (!!!65535!)\r\n", 65535},
      {"229 (|||1|) ok\r\n", 1},
      {"229 Entering Extended Passive Mode (|||0|)\r\n", 0},       // no port
      {"229 Entering Extended Passive Mode (|||65536|)\r\n", 0},   // beyond the range
      {"229 Entering Extended Passive Mode (||6446|)\r\n", 0},     // two delimiters
      {"229 Entering Extended Passive Mode (|||6446)\r\n", 0},     // no closing one
      {"229 Entering Extended Passive Mode (|2|::1|6446|)\r\n", 0}, // an address: never used
      {"229 Entering Extended Passive Mode (111222|)\r\n", 0},     // digits as delimiter
      {"229 Entering Extended Passive Mode\r\n", 0},
  };
  for (const auto& [reply, port] : cases) EXPECT_EQ(ParseExtendedPassiveReply(reply), port) << reply;
  EXPECT_EQ(ExtendedPortArgument(true, "::1", 1025), "|2|::1|1025|");
  EXPECT_EQ(ExtendedPortArgument(false, "127.0.0.1", 21), "|1|127.0.0.1|21|");
}

TEST(FtpReplyText, PortArgument) {
  EXPECT_EQ(PortArgument(0xC0000214u, 1025), "192,0,2,20,4,1");
  EXPECT_EQ(PortArgument(0x7F000001u, 65535), "127,0,0,1,255,255");
  EXPECT_EQ(PortArgument(0, 256), "0,0,0,0,1,0");
}

TEST(FtpReplyText, QuotedDirectory) {
  EXPECT_EQ(QuotedDirectory("257 \"/home/ann\" is the current directory\r\n"), "/home/ann");
  EXPECT_EQ(QuotedDirectory("257 \"/a \"\"quoted\"\" dir\" ok\r\n"), "/a \"quoted\" dir");
  EXPECT_EQ(QuotedDirectory("257 \"\" empty\r\n"), "");
  EXPECT_EQ(QuotedDirectory("257 no quotes\r\n"), "");
  EXPECT_EQ(QuotedDirectory("257 \"unterminated\r\n"), "");
}

TEST(FtpReplyText, SafeArguments) {
  EXPECT_TRUE(IsSafeArgument("file name.txt"));
  EXPECT_TRUE(IsSafeArgument(""));
  EXPECT_FALSE(IsSafeArgument("a\r\nDELE b"));
  EXPECT_FALSE(IsSafeArgument("a\nb"));
  EXPECT_FALSE(IsSafeArgument("a\rb"));
  EXPECT_FALSE(IsSafeArgument(std::string("a\0b", 3)));
}

TEST(FtpReplyText, ModificationTimesInSeconds) {
  const struct {
    std::string Digits;
    int64_t Seconds;
  } rows[] = {
      {"20261209230436", 1796857476}, {"19700101000000", 0}, {"20240229120000", 1709208000},
      {"", -1}, {"2026120923043", -1}, {"2026120923043x", -1}, {"20261309230436", -1}, {"19691231235959", -1},
  };
  for (const auto& row : rows) EXPECT_EQ(ModTimeSeconds(row.Digits), row.Seconds) << row.Digits;
}
