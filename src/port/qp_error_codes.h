#pragma once
// Result codes of the port library. Port, dispatcher, socket layer, data packets and dial-up
// share one numbering: an operation answers 0 (or a count) on success and the negated code
// on failure. The absolute value selects the message-table text (QpLoadStr) and the
// exception class (CheckException). Socket error numbers (10004 ... 11004) are in
// host/winsock_errors.h.

namespace quodra::port {

enum : int {
  ecOK = 0,

  // Operating-system file and device errors (-2 ... -162).
  ecFileNotFound = -2,
  ecPathNotFound = -3,
  ecTooManyFiles = -4,
  ecAccessDenied = -5,
  ecInvalidHandle = -6,
  ecOutOfMemory = -8,
  ecNoMoreFiles = -18,
  ecDiskFull = -101,
  ecFileNotOpen = -103,

  // General library errors.
  ecGeneralError = -1001,
  ecBadArgument = -1002,
  ecGotQuitMsg = -1003,
  ecBufferTooBig = -1004,
  ecPortNotAssigned = -1005,
  ecInternal = -1006,
  ecModemNotAssigned = -1007,
  ecPhonebookNotAssigned = -1008,
  ecCannotUseWithWinSock = -1009,

  // Opening a port.
  ecBadId = -2001,
  ecBaudRate = -2002,
  ecByteSize = -2003,
  ecDefault = -2004,
  ecHardware = -2005,
  ecMemory = -2006,
  ecCommNotOpen = -2007,
  ecAlreadyOpen = -2008,
  ecNoHandles = -2009,
  ecNoTimers = -2010,
  ecNoPortSelected = -2011,
  ecNotOpenedByTapi = -2012,

  // Device input and output.
  ecNullApi = -3001,
  ecNotSupported = -3002,  // has no exception class of its own
  ecRegisterHandlerFailed = -3003,
  ecPutBlockFail = -3004,
  ecGetBlockFail = -3005,
  ecOutputBufferTooSmall = -3006,
  ecBufferIsEmpty = -3007,
  ecTracingNotEnabled = -3008,
  ecLoggingNotEnabled = -3009,
  ecBaseAddressNotSet = -3010,

  // Modem.
  ecModemNotStarted = -4001,
  ecModemBusy = -4002,
  ecModemNotDialing = -4003,
  ecModemNotResponding = -4004,
  ecModemRejectedCommand = -4005,
  ecModemStatusMismatch = -4006,
  ecModemNoDialtone = -4007,
  ecModemNoCarrier = -4008,

  // Triggers.
  ecNoMoreTriggers = -5001,
  ecTriggerTooLong = -5002,
  ecBadTriggerHandle = -5003,

  // Data packets.
  ecStartStringEmpty = -5501,
  ecPacketTooSmall = -5502,
  ecNoEndCharCount = -5503,
  ecEmptyEndString = -5504,
  ecZeroSizePacket = -5505,
  ecPacketTooLong = -5506,

  // Socket layer (positive numbers: they travel as socket error codes).
  ecWinsockGeneral = 9001,
  ecLoadError = 9002,
  ecWinsockVersion = 9003,
  ecWinsockNotInit = 9004,
  ecInvalidPort = 9005,
  ecCantChangeWhileOpen = 9006,
  ecCantResolveAddress = 9007,

  // Dial-up library could not be loaded.
  ecRasLoadFail = -13980,
};

// Message-table ids of the dispatch log vocabulary.
enum : int {
  kLogTypeNameBase = 15001,     // + entry type
  kLogSubtypeNameBase = 15100,  // + entry subtype (subtype 0 has no name)
  kLogHeading1 = 15501,
  kLogHeading2 = 15502,
  kModemSignalNameBase = 15601,  // + bit number 0 ... 7
  kTelnetOptionNameBase = 15700,  // + option 0 ... 42
  kTelnetOptionNameLast = 42,
  kRasStateNameBase = 4500,  // + dial-up connection state
};

// Ids of the string table reader's own messages (table "QP_STRMGR_STRINGS").
enum : int {
  smStringNotFound = 1,
  smCannotLock = 2,
  smResourceNotFound = 3,
  smCannotOpen = 4,
  smInvalidTable = 5,
};

}  // namespace quodra::port
