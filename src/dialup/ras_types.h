#pragma once
// Settings, numbers and records shared by the dialer, its status display and the remote
// access service backends.
#include <cstdint>
#include <set>
#include <string>

enum TQpRasDialMode { dmSync, dmAsync };

enum TQpRasDialOption {
  doPrefixSuffix,
  doPausedStates,
  doDisableConnectedUI,
  doDisableReconnectUI,
  doNoUser,
  doPauseOnScript
};
using TQpRasDialOptions = std::set<TQpRasDialOption>;

enum TQpRasSpeakerMode { smDefault, smSpeakerOn, smSpeakerOff };
enum TQpRasCompressionMode { cmDefault, cmCompressionOn, cmCompressionOff };

namespace quodra::dialup {

// A connection handle of the service; 0 means none.
using TRasHandle = uint32_t;

// Connection states reported while a dial progresses (the classic remote-access numbering).
enum : int {
  kRasOpenPort = 0,
  kRasPortOpened = 1,
  kRasConnectDevice = 2,
  kRasDeviceConnected = 3,
  kRasAllDevicesConnected = 4,
  kRasAuthenticate = 5,
  kRasAuthNotify = 6,
  kRasAuthRetry = 7,
  kRasAuthProject = 10,
  kRasAuthAck = 12,
  kRasAuthenticated = 14,
  kRasProjected = 18,
  kRasStartAuthentication = 19,
  kRasLogonNetwork = 21,
  kRasSubEntryDisconnected = 23,
  kRasInteractive = 4096,
  kRasPasswordExpired = 4099,
  kRasConnected = 8192,
  kRasDisconnected = 8193,
};

// Error numbers of the service that the program itself produces or tests for.
enum : int {
  kRasErrorFunctionMissing = -1,   // the service lacks the function behind an operation
  kRasErrorInvalidHandle = 6,      // the connection handle is no longer valid
  kRasErrorInvalidParameter = 87,  // a dial parameter longer than the service accepts
  kRasErrorPending = 600,
  kRasErrorCannotOpenPhonebook = 621,
  kRasErrorCannotFindEntry = 623,
  kRasErrorCannotWritePhonebook = 624,
  kRasErrorCorruptPhonebook = 625,
  kRasErrorDisconnection = 628,
  kRasErrorRemoteDisconnection = 629,
  kRasErrorUserDisconnection = 631,
  kRasErrorPortNotAvailable = 633,
  kRasErrorRequestTimeout = 638,
  kRasErrorServerNotResponding = 650,
  kRasErrorFromDevice = 651,
  kRasErrorLineBusy = 676,
  kRasErrorNoAnswer = 678,
  kRasErrorNoCarrier = 679,
  kRasErrorNoDialtone = 680,
  kRasErrorAuthenticationFailure = 691,
  kRasErrorInteractiveMode = 703,
  kRasErrorServiceCannotStart = 711,
  kRasErrorIpConfiguration = 716,
  kRasErrorPppTimeout = 718,
  kRasErrorPppRemoteTerminated = 719,
  kRasErrorDialAlreadyInProgress = 756,
  kRasErrorDeviceNotFound = 797,
  kRasErrorVpnFailed = 800,
};

// Length limits of the dial-parameter record (characters, without the terminator).
inline constexpr size_t kRasMaxEntryName = 256;
inline constexpr size_t kRasMaxPhoneNumber = 128;
inline constexpr size_t kRasMaxCallbackNumber = 128;
inline constexpr size_t kRasMaxUserName = 256;
inline constexpr size_t kRasMaxPassword = 256;
inline constexpr size_t kRasMaxDomain = 15;

// At most this many entries and connections are asked for.
inline constexpr size_t kRasMaxEntries = 65;

// The progress message the service posts to the dialer's window (state in the first
// parameter, error in the second), and the Cancel message of the status display.
inline constexpr uint32_t kRasDialEventMessage = 52429;
inline constexpr uint32_t kRasStatusCancelMessage = 2841;

struct TRasDialParams {
  std::string EntryName;
  std::string PhoneNumber;
  std::string CallBackNumber;
  std::string UserName;
  std::string Password;
  std::string Domain;
};

// True when every field fits the dial-parameter record.
bool DialParamsFit(const TRasDialParams& p);

struct TRasConnection {
  TRasHandle Handle = 0;
  std::string EntryName;
};

// Dial-extension option bits handed to the service with a dial.
enum : uint32_t {
  kRdeoUsePrefixSuffix = 0x1,
  kRdeoPausedStates = 0x2,
  kRdeoIgnoreModemSpeaker = 0x4,
  kRdeoSetModemSpeaker = 0x8,
  kRdeoIgnoreSoftwareCompression = 0x10,
  kRdeoSetSoftwareCompression = 0x20,
  kRdeoDisableConnectedUI = 0x40,
  kRdeoDisableReconnectUI = 0x80,
  kRdeoNoUser = 0x200,
  kRdeoPauseOnScript = 0x400,
};
uint32_t DialExtensionOptions(const TQpRasDialOptions& options, TQpRasSpeakerMode speaker,
                              TQpRasCompressionMode compression);

}  // namespace quodra::dialup
