#include "port/qp_trace.h"

#include <cstdio>

#include "port/qp_error_codes.h"
#include "port/record_file.h"

namespace quodra::port {
namespace {
constexpr int kTraceLineWidth = 79;  // a line is ended before an item would reach this column
}

std::string TraceByteText(uint8_t byte, bool hex, bool allHex) {
  char buf[8];
  if (allHex) {
    std::snprintf(buf, sizeof buf, "[%02X]", byte);
    return buf;
  }
  // With hex on a blank is bracketed too, so that it can be told apart at a line end.
  uint8_t lowest = hex ? 33 : 32;
  if (byte < lowest || byte > 126) {
    if (hex)
      std::snprintf(buf, sizeof buf, "[%02X]", byte);
    else
      std::snprintf(buf, sizeof buf, "[%u]", byte);
    return buf;
  }
  return std::string(1, static_cast<char>(byte));
}

int TQpTrace::Start(uint32_t size) {
  if (size > kMaxTraceSize) return ecBadArgument;
  if (Present) {
    Clear();
    return 0;
  }
  Entries.assign(size_t(size) * 2, 0);
  Capacity = size;
  Index = 0;
  Wrapped = false;
  IsPaused = false;
  Present = true;
  return 0;
}

void TQpTrace::Add(char code, uint8_t byte) {
  if (!Present || IsPaused || Capacity == 0) return;
  Entries[size_t(Index) * 2] = static_cast<uint8_t>(code);
  Entries[size_t(Index) * 2 + 1] = byte;
  if (++Index >= Capacity) {
    Index = 0;
    Wrapped = true;
  }
}

void TQpTrace::Add(char code, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) Add(code, bytes[i]);
}

void TQpTrace::Clear() {
  Index = 0;
  Wrapped = false;
}

void TQpTrace::Pause() {
  if (Present) IsPaused = true;
}

void TQpTrace::Resume() {
  if (Present) IsPaused = false;
}

void TQpTrace::Stop() {
  Present = false;
  IsPaused = false;
  Wrapped = false;
  Index = 0;
  Capacity = 0;
  Entries.clear();
  Entries.shrink_to_fit();
}

std::string TQpTrace::Format(bool hex, bool allHex) const {
  std::string out;
  if (!Present) return out;
  uint32_t count = Count();
  uint32_t start = Wrapped ? Index : 0;
  int column = 0;
  int previous = -1;
  for (uint32_t n = 0; n < count; ++n) {
    uint32_t i = (start + n) % Capacity;
    uint8_t code = Entries[size_t(i) * 2];
    uint8_t byte = Entries[size_t(i) * 2 + 1];
    if (code != previous) {
      if (previous >= 0) out += "\n\n";
      if (code == kTraceCodeTransmit)
        out += "Transmit: ";
      else if (code == kTraceCodeReceive)
        out += "Receive: ";
      else
        out += std::string("Special-") + static_cast<char>(code) + ": ";
      out += '\n';
      column = 0;
      previous = code;
    }
    std::string item = TraceByteText(byte, hex, allHex);
    column += static_cast<int>(item.size());
    if (column >= kTraceLineWidth) {
      out += '\n';
      column = static_cast<int>(item.size());
    }
    out += item;
  }
  // The last line is ended too, so that a later append starts on a line of its own.
  if (previous >= 0) out += '\n';
  return out;
}

int TQpTrace::Write(const std::string& fileName, bool hex, bool allHex, bool append) {
  if (!Present) return 0;
  IsPaused = true;
  if (Count() == 0) {
    Stop();
    return 0;
  }
  TRecordFile file;
  int rc = file.Open(fileName, append);
  if (rc == 0) {
    file.Write(Format(hex, allHex));
    rc = file.Close();
  }
  Stop();
  return rc;
}

}  // namespace quodra::port
