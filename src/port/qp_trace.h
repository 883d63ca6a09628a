#pragma once
// The trace: a circular record of the most recent bytes sent ('T') and received ('R'),
// written to a text file on request.
#include <cstdint>
#include <string>
#include <vector>

namespace quodra::port {

inline constexpr uint32_t kMaxTraceSize = 4000000;
inline constexpr char kTraceCodeTransmit = 'T';
inline constexpr char kTraceCodeReceive = 'R';

class TQpTrace {
 public:
  // Creates the record with room for `size` entries, or empties an existing one (keeping its
  // size). Answers 0, or -1002 when `size` exceeds kMaxTraceSize (nothing changes then).
  int Start(uint32_t size);
  // Records one byte; ignored while the record is paused or absent.
  void Add(char code, uint8_t byte);
  void Add(char code, const uint8_t* bytes, size_t count);
  void Clear();
  void Pause();
  void Resume();
  void Stop();  // discards the record

  // Write the record to `fileName` (dump replaces the file, append adds to its end) and discard
  // it. Answers 0, or the negated system file error (the record is discarded then too).
  // Nothing is written when there is no record or it holds no entry.
  int Dump(const std::string& fileName, bool hex, bool allHex) { return Write(fileName, hex, allHex, false); }
  int Append(const std::string& fileName, bool hex, bool allHex) { return Write(fileName, hex, allHex, true); }

  bool Exists() const { return Present; }
  bool Paused() const { return Present && IsPaused; }
  bool Recording() const { return Present && !IsPaused; }
  uint32_t Size() const { return Capacity; }
  // Entries held (at most Size()).
  uint32_t Count() const { return Wrapped ? Capacity : Index; }

  // The file text of the current record (what Dump would write), without touching the record.
  std::string Format(bool hex, bool allHex) const;

 private:
  int Write(const std::string& fileName, bool hex, bool allHex, bool append);

  bool Present = false;
  bool IsPaused = false;
  bool Wrapped = false;
  uint32_t Capacity = 0;
  uint32_t Index = 0;
  std::vector<uint8_t> Entries;  // 2 bytes per entry: code, byte
};

// One byte as the trace and the dispatch log show it; its width is the text's length.
std::string TraceByteText(uint8_t byte, bool hex, bool allHex);

}  // namespace quodra::port
