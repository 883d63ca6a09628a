// From result codes to exceptions.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "port/qp_except.h"
#include "port/qp_str_mgr.h"

using namespace quodra::port;

namespace {

struct TRaised {
  std::string Type;
  std::string Message;
  int Code = 1;
};

// Runs CheckException and reports what it threw.
template <class Expected>
TRaised Raise(int code) {
  try {
    CheckException(nullptr, code);
  } catch (const Expected& e) {
    TRaised r{typeid(e).name(), e.what(), e.ErrorCode()};
    return r;
  } catch (const std::exception& e) {
    return {std::string("other: ") + typeid(e).name(), e.what(), 0};
  }
  return {"none", "", 0};
}

}  // namespace

TEST(Exceptions, CodesWithALeafRaiseThatLeafWithTheTableText) {
  auto r = Raise<EOutputBufferTooSmall>(-3006);
  EXPECT_EQ(r.Type, typeid(EOutputBufferTooSmall).name());
  EXPECT_EQ(r.Message, "Output buffer too small for block");
  EXPECT_EQ(r.Code, -3006);

  EXPECT_EQ(Raise<EBadArgument>(-1002).Message, "Bad argument passed to function");
  EXPECT_EQ(Raise<ECommNotOpen>(-2007).Message, "ie_NOpen - device not open");
  EXPECT_EQ(Raise<EAlreadyOpen>(-2008).Code, -2008);
  EXPECT_EQ(Raise<EBadId>(-2001).Code, -2001);
  EXPECT_EQ(Raise<EPutBlockFail>(-3004).Message, "Failed to put entire block");
  EXPECT_EQ(Raise<EBufferIsEmpty>(-3007).Message, "Buffer is empty");
  EXPECT_EQ(Raise<ENoMoreTriggers>(-5001).Message, "No more trigger slots");
  EXPECT_EQ(Raise<ETriggerTooLong>(-5002).Code, -5002);
  EXPECT_EQ(Raise<EBadTriggerHandle>(-5003).Message, "Bad trigger handle");
  EXPECT_EQ(Raise<EPacketTooLong>(-5506).Message, "Packet too long");
  EXPECT_EQ(Raise<ERasLoadFail>(-13980).Message, "Failed to find/load RASAPI32.DLL");
}

TEST(Exceptions, LeavesBelongToTheirFamilyAndTheBase) {
  EXPECT_EQ(Raise<ETrigger>(-5003).Code, -5003);
  EXPECT_EQ(Raise<ESerialIO>(-3005).Code, -3005);
  EXPECT_EQ(Raise<EOpenComm>(-2012).Code, -2012);
  EXPECT_EQ(Raise<EGeneral>(-1009).Code, -1009);
  EXPECT_EQ(Raise<EModem>(-4008).Code, -4008);
  EXPECT_EQ(Raise<EPacket>(-5501).Code, -5501);
  EXPECT_EQ(Raise<EINI>(-7014).Code, -7014);
  EXPECT_EQ(Raise<EFax>(-8050).Code, -8050);
  EXPECT_EQ(Raise<EFax>(-8092).Code, -8092);
  EXPECT_EQ(Raise<ETapi>(-13805).Code, -13805);
  EXPECT_EQ(Raise<ETapi>(-13945).Code, -13945);
  EXPECT_EQ(Raise<ERas>(-13980).Code, -13980);
  EXPECT_EQ(Raise<EQpException>(-5001).Code, -5001);
}

TEST(Exceptions, OtherNegativeCodesRaisePortExceptionWithCodeZero) {
  for (int code : {-1, -1001, -3002, -9007, -10061, -6001, -8006, -13804, -13980 + 1, -20000, -32768}) {
    auto r = Raise<EQpException>(code);
    EXPECT_EQ(r.Type, typeid(EQpException).name()) << code;
    EXPECT_EQ(r.Message, "Port exception") << code;
    EXPECT_EQ(r.Code, 0) << code;
  }
}

TEST(Exceptions, FileErrorsRaiseInputOutputErrors) {
  auto r = Raise<EInOutError>(-2);
  EXPECT_EQ(r.Type, typeid(EInOutError).name());
  EXPECT_EQ(r.Message, "File not found");
  EXPECT_EQ(r.Code, -2);
  EXPECT_EQ(Raise<EInOutError>(-162).Message, "General failure");
  EXPECT_EQ(Raise<EInOutError>(-101).Code, -101);
  auto mem = Raise<EOutOfMemory>(-8);
  EXPECT_EQ(mem.Type, typeid(EOutOfMemory).name());
  EXPECT_EQ(mem.Code, -8);
}

TEST(Exceptions, NonNegativeCodesAndLoadingPortsPassThrough) {
  EXPECT_EQ(CheckException(nullptr, 0), 0);
  EXPECT_EQ(CheckException(nullptr, 42), 42);
  EXPECT_EQ(CheckException(nullptr, -5003, true), -5003);
}

TEST(Exceptions, SocketExceptionsCarryTheSocketCode) {
  EQpSocketException e(10061);
  EXPECT_STREQ(e.what(), "The attempt to connect was forcibly refused");
  EXPECT_EQ(e.ErrorCode(), 10061);
  EQpSocketException n = EQpSocketException::NotInitialised(9002);
  EXPECT_STREQ(n.what(), "Winsock not initialized - Error loading Winsock DLL");
  EXPECT_EQ(n.ErrorCode(), 9004);
  // A socket exception is not a port exception.
  EXPECT_EQ(dynamic_cast<const EQpException*>(static_cast<const std::exception*>(&e)), nullptr);
}
