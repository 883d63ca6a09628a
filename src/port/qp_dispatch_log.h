#pragma once
// The dispatch log: a circular byte buffer of entries (16-byte header + payload) recording the
// dispatcher's internal events, written to a text file on request.
#include <cstdint>
#include <string>
#include <vector>

namespace quodra::port {

inline constexpr uint32_t kMaxLogSize = 16000000;
inline constexpr uint32_t kLogHeaderSize = 16;

// Entry types (the name of type t is message-table text 15001 + t).
enum TLogType : uint8_t {
  ltNoEvent = 0, ltDispatch = 1, ltTrigger = 2, ltError = 3, ltThread = 4, ltTrigAllc = 5,
  ltTrigDisp = 6, ltTrgHdAlc = 7, ltTrgHdDsp = 8, ltTrDatChg = 9, ltTelnet = 10, ltFax = 11,
  ltXModem = 12, ltYModem = 13, ltZModem = 14, ltKermit = 15, ltAscii = 16, ltBPlus = 17,
  ltPacket = 18, ltUser = 19,
};

// Subtypes (the name of subtype s is text 15100 + s; 0 has none).
enum TLogSubtype : uint8_t {
  lsNone = 0,
  lsReadCom = 1, lsWriteCom = 2, lsLineStatus = 3, lsModemStatus = 4,
  lsTrigAvail = 5, lsTrigTimer = 6, lsTrigData = 7, lsTrigStatus = 8,
  lsThreadStart = 9, lsThreadExit = 10, lsThreadSleep = 11, lsThreadWake = 12,
  lsData = 13, lsTimer = 14, lsStatus = 15, lsAvail = 16,
  lsWindow = 17, lsProcedure = 18, lsMethod = 19,
  lsSentWill = 20, lsSentWont = 21, lsSentDo = 22, lsSentDont = 23,
  lsRecvWill = 24, lsRecvWont = 25, lsRecvDo = 26, lsRecvDont = 27,
  lsTelnetCommand = 28, lsSentTerm = 29,
  // Data packets.
  lsPacketEnable = 242, lsPacketDisable = 243, lsStringPacket = 244, lsSizePacket = 245,
  lsPacketTimeout = 246, lsStartStr = 247, lsEndStr = 248, lsIdle = 249, lsWaiting = 250,
  lsCollecting = 251,
};

class TQpDispatchLog {
 public:
  // Creates the record with `size` bytes, or empties an existing one (keeping its size).
  // Answers 0, or -1002 when `size` exceeds kMaxLogSize.
  int Start(uint32_t size);
  // Records one entry at the current time (milliseconds since the time base). Ignored while
  // paused or absent, and when header and payload together exceed the record's size; older
  // entries give way until the new one fits.
  void Add(uint8_t type, uint8_t subtype, uint32_t data, const void* payload = nullptr, uint32_t length = 0);
  void AddAt(uint32_t timeMs, uint8_t type, uint8_t subtype, uint32_t data, const void* payload = nullptr,
             uint32_t length = 0);
  void Clear();
  void Pause();
  void Resume();
  void Stop();

  // Write the record to `fileName` (replace / add to the end) and discard it. Answers 0 or the
  // negated system file error. Nothing is written when there is no record or it is empty.
  int Dump(const std::string& fileName, bool hex, bool allHex) { return Write(fileName, hex, allHex, false); }
  int Append(const std::string& fileName, bool hex, bool allHex) { return Write(fileName, hex, allHex, true); }

  // Entry times count from this monotonic clock value (host::NowMs()); the dispatcher sets it
  // when it opens.
  void SetTimeBase(int64_t nowMs) { TimeBase = nowMs; }
  // Shown in the file header ("Winsock" for a socket port).
  void SetDeviceName(const std::string& name) { DeviceName = name; }

  bool Exists() const { return Present; }
  bool Paused() const { return Present && IsPaused; }
  bool Recording() const { return Present && !IsPaused; }
  uint32_t Size() const { return Capacity; }
  uint32_t EntryCount() const { return Entries; }
  uint32_t UsedBytes() const { return Capacity - Free; }

  // The header lines and the entry rows of the current record, without touching it.
  std::string FormatHeader() const;
  std::string FormatEntries(bool hex, bool allHex) const;

 private:
  int Write(const std::string& fileName, bool hex, bool allHex, bool append);
  void ReadAt(uint32_t pos, void* out, uint32_t count) const;  // wraps at the end
  void WriteAt(uint32_t pos, const void* in, uint32_t count);
  void DropOldest();

  bool Present = false;
  bool IsPaused = false;
  uint32_t Capacity = 0;
  uint32_t ReadPos = 0;
  uint32_t WritePos = 0;
  uint32_t Free = 0;
  uint32_t Entries = 0;
  int64_t TimeBase = 0;
  std::string DeviceName = "Winsock";
  std::vector<uint8_t> Buffer;
};

// The time column: milliseconds as "%07d" with "." before the fifth character (0001.234).
std::string LogTimeText(uint32_t ms);

}  // namespace quodra::port
