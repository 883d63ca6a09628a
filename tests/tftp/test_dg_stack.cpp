// Address texts, host resolution, socket error texts and the life of the shared stack.
#include <gtest/gtest.h>

#include "tftp/dg_exception.h"
#include "tftp/dg_stack.h"
#include "tftp/dg_udp_client.h"

using namespace quodra::tftp;

namespace {

std::string Bytes(const std::string& text) {
  uint8_t b[4];
  TDgStack::TranslateStringToTInAddr(text, b);
  return TDgStack::TranslateTInAddrToString(b);
}

}  // namespace

TEST(DgStack, AddressFormsGiveTheirBytes) {
  EXPECT_EQ(Bytes("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(Bytes("10.0.1"), "10.0.0.1");
  EXPECT_EQ(Bytes("10.1"), "10.0.0.1");
  EXPECT_EQ(Bytes("1"), "0.0.0.1");
  EXPECT_EQ(Bytes("192.168.65535"), "192.168.255.255");
  EXPECT_EQ(Bytes("127.16777215"), "127.255.255.255");
  EXPECT_EQ(Bytes("4294967295"), "255.255.255.255");
  EXPECT_EQ(Bytes("3232235777"), "192.168.1.1");
}

TEST(DgStack, TextsThatAreNoAddress) {
  for (const char* text : {"300.1.1.1", "1.2.3.256", "1.2.65536", "1.16777216", "4294967296", "1.2.3.4.5", "", ".",
                           "1..2", "1.2.3.", "a.b.c.d", "-1", "+1", " 1", "1 ", "99999999999999999999999"}) {
    EXPECT_FALSE(TDgStack::IsIP(text)) << text;
  }
  EXPECT_TRUE(TDgStack::IsIP("0"));
  EXPECT_TRUE(TDgStack::IsIP("127.0.0.1"));
  uint8_t b[4];
  try {
    TDgStack::TranslateStringToTInAddr("300.1.1.1", b);
    FAIL() << "no exception";
  } catch (const EDgInvalidIPAddress& e) {
    EXPECT_STREQ(e.what(), "300.1.1.1 is not a valid IP address.");
  }
}

TEST(DgStack, ResolvesLocalhostAndAddressesWithoutLookup) {
  TDgUDPClient client;  // brings the stack to life
  ASSERT_NE(GStack, nullptr);
  EXPECT_EQ(GStack->ResolveHost("LOCALHOST"), "127.0.0.1");
  EXPECT_EQ(GStack->ResolveHost("LocalHost"), "127.0.0.1");
  EXPECT_EQ(GStack->ResolveHost("10.1"), "10.1");  // used unchanged
}

TEST(DgStack, UnknownHostRaisesHostNotFound) {
  TDgUDPClient client;
  // A label longer than 63 characters cannot be asked for: the resolver refuses it locally.
  const std::string name = std::string(70, 'x') + ".invalid";
  try {
    GStack->ResolveHost(name);
    FAIL() << "no exception";
  } catch (const EDgSocketError& e) {
    EXPECT_EQ(e.LastError, 11001);
    EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
  }
}

TEST(DgStack, SocketErrorTexts) {
  EXPECT_EQ(TDgStack::TranslateSocketErrorMsg(10035), "Operation would block. ");
  EXPECT_EQ(TDgStack::TranslateSocketErrorMsg(10040), "Message too long.");
  EXPECT_EQ(TDgStack::TranslateSocketErrorMsg(10066), "Directory not empty");
  EXPECT_EQ(TDgStack::TranslateSocketErrorMsg(12345), "");
  TDgUDPClient client;
  try {
    GStack->RaiseSocketError(12345);
  } catch (const EDgSocketError& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 12345\r\n");  // the message ends after the line break
  }
}
