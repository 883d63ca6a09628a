#pragma once
// TQpDataPacket: watches the incoming byte stream of a port and cuts out pieces that begin
// with a start condition and end with an end condition, handing each piece to its owner
// through OnPacket / OnStringPacket. Several packets may watch one port; the port's
// TQpDataPacketManager holds the buffered bytes and decides which packet gets them.
//
// Patterns: '?' matches any byte, a backslash makes the next character literal; with
// IgnoreCase letters compare without regard to case (ASCII).
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "port/qp_port.h"
#include "port/qp_port_component.h"

namespace quodra::ftp {

class TQpDataPacketManager;

enum TPacketStartCond { scString = 0, scAnyData = 1 };
enum TPacketEndCond { ecString = 0, ecPacketSize = 1 };

// A set of end conditions; empty means the start string alone is the packet.
class TPacketEndSet {
 public:
  TPacketEndSet() = default;
  TPacketEndSet(std::initializer_list<TPacketEndCond> conds) {
    for (TPacketEndCond c : conds) Bits |= Bit(c);
  }
  bool Contains(TPacketEndCond c) const { return (Bits & Bit(c)) != 0; }
  bool Empty() const { return Bits == 0; }
  void Include(TPacketEndCond c) { Bits |= Bit(c); }
  void Exclude(TPacketEndCond c) { Bits &= ~Bit(c); }
  uint8_t Raw() const { return Bits; }
  bool operator==(const TPacketEndSet& o) const { return Bits == o.Bits; }

 private:
  static uint8_t Bit(TPacketEndCond c) { return static_cast<uint8_t>(1u << c); }
  uint8_t Bits = 0;
};

using TPacketNotifyEvent = std::function<void(port::TQpBaseComponent* sender, const char* data, int size)>;
using TStringPacketNotifyEvent = std::function<void(port::TQpBaseComponent* sender, const std::string& data)>;

class TQpDataPacket : public port::TQpBaseComponent {
 public:
  enum TPacketMode { dpIdle, dpWaiting, dpCollecting };

  explicit TQpDataPacket(port::TQpBaseComponent* owner = nullptr);
  ~TQpDataPacket() override;

  // True starts the packet, false stops it. Inconsistent settings throw EPacket (5501 to
  // 5505) and Enabled keeps its old value.
  bool Enabled() const { return EnabledProp; }
  void SetEnabled(bool on);
  bool AutoEnable() const { return AutoEnableProp; }
  void SetAutoEnable(bool on) { AutoEnableProp = on; }
  TPacketStartCond StartCond() const { return StartCondProp; }
  void SetStartCond(TPacketStartCond c) { StartCondProp = c; }
  TPacketEndSet EndCond() const { return EndCondProp; }
  void SetEndCond(TPacketEndSet e);  // restarts an enabled packet
  const std::string& StartString() const { return StartStringProp; }
  void SetStartString(const std::string& s) { StartStringProp = s; }
  const std::string& EndString() const { return EndStringProp; }
  void SetEndString(const std::string& s);  // restarts an enabled packet
  bool IgnoreCase() const { return IgnoreCaseProp; }
  void SetIgnoreCase(bool on) { IgnoreCaseProp = on; }
  // Size limit in bytes, counted from the packet's first byte (start string included).
  int PacketSize() const { return PacketSizeProp; }
  void SetPacketSize(int size) { PacketSizeProp = size; }
  bool IncludeStrings() const { return IncludeStringsProp; }
  void SetIncludeStrings(bool on) { IncludeStringsProp = on; }
  // Ticks of 55 ms allowed from the first collected byte to the end; 0 is no limit.
  int TimeOut() const { return TimeOutProp; }
  void SetTimeOut(int ticks) { TimeOutProp = ticks; }
  port::TQpCustomComPort* ComPort() const { return Port; }
  void SetComPort(port::TQpCustomComPort* port);

  // Raised with a pointer into the manager's buffer (valid during the call) and the size.
  TPacketNotifyEvent OnPacket;
  // Raised after OnPacket with a copy of the same bytes.
  TStringPacketNotifyEvent OnStringPacket;
  port::TNotifyEvent OnTimeout;

  // State, for callers that need to know what the packet is doing.
  TPacketMode Mode() const { return ModeProp; }
  bool Found() const { return FoundFlag; }
  bool TimedOut() const { return TimedOutFlag; }
  int FoundLength() const { return FoundLen; }

 protected:
  void Loaded() override;
  void Notification(port::TQpBaseComponent* component, port::TOperation operation) override;
  virtual void DoPacket(const char* data, int size);
  virtual void DoStringPacket(const std::string& data);
  virtual void DoTimeout();

 private:
  friend class TQpDataPacketManager;

  void Start();   // may throw
  void Stop();
  void ResetCounters();
  void SetMode(TPacketMode mode);
  void Scan(size_t from);
  void Complete(size_t last, bool endedByString);
  void TimeoutExpired();
  void LogEntry(uint8_t subtype, const std::string* bytes = nullptr);
  bool HasPartialStart() const;
  bool ByteMatches(const std::string& pat, const std::string& mask, size_t pos, uint8_t b) const;
  // Starts again after a change; a refused start disables the packet and is rethrown.
  void Restart();

  bool EnabledProp = false;
  bool AutoEnableProp = true;
  TPacketStartCond StartCondProp = scString;
  TPacketEndSet EndCondProp;
  std::string StartStringProp;
  std::string EndStringProp;
  bool IgnoreCaseProp = true;
  int PacketSizeProp = 0;
  bool IncludeStringsProp = true;
  int TimeOutProp = 2184;
  port::TQpCustomComPort* Port = nullptr;

  TQpDataPacketManager* Manager = nullptr;
  TPacketMode ModeProp = dpIdle;
  long StartIndex = -1;
  size_t StartMatchPos = 1;  // 1-based positions in the patterns
  size_t EndMatchPos = 1;
  long EndAnchor = -1;       // buffer index where the current end match began
  size_t SizeLimit = 0;
  std::string StartMatch, StartMask;
  std::string EndMatch, EndMask;
  int FoundLen = 0;
  bool EnablePending = false;
  bool StartPending = false;
  bool OwnsTimer = false;
  bool FoundFlag = false;
  bool TimedOutFlag = false;
  std::shared_ptr<bool> Alive;
};

// Turns a pattern into its match string and mask ('1' = any byte, '0' = literal).
void BuildPacketPattern(const std::string& text, bool ignoreCase, std::string& match, std::string& mask);

}  // namespace quodra::ftp
