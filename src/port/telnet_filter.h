#pragma once
// Telnet handling of a control connection: the receive filter (removes commands, answers
// option requests, undoes the sender's escapes) and the send transform (escapes 255 and a bare
// CR). The filter is a byte-at-a-time state machine, so a sequence split across two receives is
// held in its state until the rest arrives.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quodra::port {

enum : uint8_t {
  kTelnetSE = 240, kTelnetSB = 250, kTelnetWILL = 251, kTelnetWONT = 252, kTelnetDO = 253,
  kTelnetDONT = 254, kTelnetIAC = 255,
  kTelnetOptBinary = 0, kTelnetOptEcho = 1, kTelnetOptSuppressGoAhead = 3, kTelnetOptTerminalType = 24,
};

// Option states: 0 off, 1 requested, 2 on.
enum : uint8_t { tsOff = 0, tsRequested = 1, tsOn = 2 };

class TTelnetFilter {
 public:
  // Bytes to send to the peer at once (negotiation replies, the terminal type).
  std::function<void(const uint8_t* bytes, size_t count)> OnSend;
  // Dispatch log entries of type Telnet: (subtype, data, payload, payload length).
  std::function<void(uint8_t subtype, uint32_t data, const uint8_t* payload, uint32_t length)> OnLog;

  std::string TerminalType = "vt100";

  // Feeds one received byte. Answers true and sets `out` when the byte yields a data byte;
  // every received byte yields at most one data byte.
  bool Feed(uint8_t byte, uint8_t& out);
  // Feeds `count` bytes, writing the data bytes to `out` (room for `count` bytes); answers how
  // many were written.
  size_t Filter(const uint8_t* in, size_t count, uint8_t* out);

  // Send transform: copies `data` into `out` (room for `outRoom` bytes), doubling 255 and,
  // while not binary, turning a CR that is not followed by LF into CR NUL. Stops before a byte
  // whose transformed form does not fit. Answers the number of data bytes taken; `written`
  // receives the bytes produced.
  size_t Transform(const uint8_t* data, size_t count, uint8_t* out, size_t outRoom, size_t& written) const;
  // True when Transform would change these bytes.
  bool NeedsTransform(const uint8_t* data, size_t count) const;

  uint8_t OptionState(uint8_t option) const;  // options 0, 1 and 3; 0 for others
  void SetOptionState(uint8_t option, uint8_t state);
  bool Binary() const { return StateBinary == tsOn; }
  // True while a command or subnegotiation has been begun but not finished.
  bool InSequence() const { return Phase != phData; }
  void Reset();

 private:
  enum TPhase : uint8_t { phData, phIac, phVerb, phSb, phSbIac, phCr };
  void Negotiate(uint8_t verb, uint8_t option);
  void Reply(uint8_t verb, uint8_t option);
  void Log(uint8_t subtype, uint32_t data, const uint8_t* payload = nullptr, uint32_t length = 0);
  bool HandleDataByte(uint8_t byte, uint8_t& out);

  TPhase Phase = phData;
  uint8_t Verb = 0;
  int SbOption = -1;  // option byte of the running subnegotiation, -1 before it arrives
  uint8_t StateBinary = tsOff;
  uint8_t StateEcho = tsOff;
  uint8_t StateSga = tsOff;
};

}  // namespace quodra::port
