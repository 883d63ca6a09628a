#include "port/qp_dispatch_log.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/clock.h"
#include "host/system_info.h"
#include "host/text_util.h"
#include "port/qp_error_codes.h"
#include "port/qp_str_mgr.h"
#include "port/qp_trace.h"
#include "port/record_file.h"

namespace quodra::port {
namespace {

constexpr int kPayloadFirstColumn = 45;  // the fixed columns take 44 characters
constexpr int kPayloadLastColumn = 78;

struct TEntryHeader {
  uint8_t Type = 0;
  uint8_t Subtype = 0;
  uint32_t Time = 0;
  uint32_t Data = 0;
  uint32_t Length = 0;
};

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

TEntryHeader DecodeHeader(const uint8_t* h) {
  TEntryHeader e;
  e.Type = h[0];
  e.Subtype = h[1];
  e.Time = GetU32(h + 4);
  e.Data = GetU32(h + 8);
  e.Length = GetU32(h + 12);
  return e;
}

std::string CompilerText() {
#if defined(__clang__)
  return std::string("Clang C++ ") + __clang_version__;
#elif defined(__GNUC__)
  return std::string("GNU C++ ") + __VERSION__;
#else
  return "C++";
#endif
}

// The platform kind, the kernel's major.minor version and the distribution's name.
std::string PlatformText() {
  utsname u{};
  std::string kind = (::uname(&u) == 0) ? u.sysname : "Unknown";
  std::string text = kind + " " + host::KernelMajorMinor() + " " + host::OperatingSystemName();
  return text;
}

std::string StatusKindText(uint8_t kind) {
  static const char* const kKinds[] = {"(Not active)",         "(Modem status)",        "(Line status)",
                                       "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
  return kind < 6 ? kKinds[kind] : std::string();
}

}  // namespace

std::string LogTimeText(uint32_t ms) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%07u", ms);
  std::string s = buf;
  s.insert(4, ".");
  return s;
}

int TQpDispatchLog::Start(uint32_t size) {
  if (size > kMaxLogSize) return ecBadArgument;
  if (Present) {
    Clear();
    return 0;
  }
  Buffer.assign(size, 0);
  Capacity = size;
  Present = true;
  IsPaused = false;
  Clear();
  return 0;
}

void TQpDispatchLog::Clear() {
  ReadPos = WritePos = 0;
  Free = Capacity;
  Entries = 0;
}

void TQpDispatchLog::Pause() {
  if (Present) IsPaused = true;
}

void TQpDispatchLog::Resume() {
  if (Present) IsPaused = false;
}

void TQpDispatchLog::Stop() {
  Present = false;
  IsPaused = false;
  Capacity = 0;
  Clear();
  Buffer.clear();
  Buffer.shrink_to_fit();
}

void TQpDispatchLog::ReadAt(uint32_t pos, void* out, uint32_t count) const {
  auto* o = static_cast<uint8_t*>(out);
  uint32_t first = std::min(count, Capacity - pos);
  std::memcpy(o, Buffer.data() + pos, first);
  if (count > first) std::memcpy(o + first, Buffer.data(), count - first);
}

void TQpDispatchLog::WriteAt(uint32_t pos, const void* in, uint32_t count) {
  const auto* i = static_cast<const uint8_t*>(in);
  uint32_t first = std::min(count, Capacity - pos);
  std::memcpy(Buffer.data() + pos, i, first);
  if (count > first) std::memcpy(Buffer.data(), i + first, count - first);
}

void TQpDispatchLog::DropOldest() {
  if (Entries == 0) return;
  uint8_t h[kLogHeaderSize];
  ReadAt(ReadPos, h, kLogHeaderSize);
  uint32_t total = kLogHeaderSize + DecodeHeader(h).Length;
  ReadPos = static_cast<uint32_t>((uint64_t(ReadPos) + total) % Capacity);
  Free += total;
  --Entries;
}

void TQpDispatchLog::Add(uint8_t type, uint8_t subtype, uint32_t data, const void* payload, uint32_t length) {
  AddAt(static_cast<uint32_t>(host::NowMs() - TimeBase), type, subtype, data, payload, length);
}

void TQpDispatchLog::AddAt(uint32_t timeMs, uint8_t type, uint8_t subtype, uint32_t data, const void* payload,
                           uint32_t length) {
  if (!Present || IsPaused) return;
  if (!payload) length = 0;
  uint64_t total = uint64_t(kLogHeaderSize) + length;
  if (total > Capacity) return;
  while (Free < total) DropOldest();
  uint8_t h[kLogHeaderSize] = {};
  h[0] = type;
  h[1] = subtype;
  PutU32(h + 4, timeMs);
  PutU32(h + 8, data);
  PutU32(h + 12, length);
  WriteAt(WritePos, h, kLogHeaderSize);
  uint32_t payloadPos = static_cast<uint32_t>((uint64_t(WritePos) + kLogHeaderSize) % Capacity);
  if (length) WriteAt(payloadPos, payload, length);
  WritePos = static_cast<uint32_t>((uint64_t(WritePos) + total) % Capacity);
  Free -= static_cast<uint32_t>(total);
  ++Entries;
}

std::string TQpDispatchLog::FormatHeader() const {
  char when[32] = "";
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local)) std::strftime(when, sizeof when, "%d/%m/%y, %H:%M:%S", &local);
  std::string out;
  out += "QPORT v1.00\n";
  out += "Compiler : " + CompilerText() + "\n";
  out += "Operating System : " + PlatformText() + "\n";
  out += "Device: " + DeviceName + "\n";
  out += std::string("Date/time: ") + when + "\n";
  out += QpLoadStr(kLogHeading1) + "\n";
  out += QpLoadStr(kLogHeading2) + "\n";
  return out;
}

std::string TQpDispatchLog::FormatEntries(bool hex, bool allHex) const {
  std::string out;
  if (!Present) return out;
  std::vector<uint8_t> payload;
  uint32_t pos = ReadPos;
  for (uint32_t n = 0; n < Entries; ++n) {
    uint8_t h[kLogHeaderSize];
    ReadAt(pos, h, kLogHeaderSize);
    TEntryHeader e = DecodeHeader(h);
    payload.resize(e.Length);
    if (e.Length) ReadAt(static_cast<uint32_t>((uint64_t(pos) + kLogHeaderSize) % Capacity), payload.data(), e.Length);
    pos = static_cast<uint32_t>((uint64_t(pos) + kLogHeaderSize + e.Length) % Capacity);

    std::string typeName = QpLoadStr(kLogTypeNameBase + e.Type);
    std::string subtypeName = e.Subtype ? QpLoadStr(kLogSubtypeNameBase + e.Subtype) : std::string();
    char row[128];
    std::snprintf(row, sizeof row, "%8s  %-8s  %-12s  %08x  ", LogTimeText(e.Time).c_str(), typeName.c_str(),
                  subtypeName.c_str(), e.Data);
    out += row;

    if (e.Length == 0) {
      if (e.Type == ltTelnet)
        out += "[" + (e.Data <= kTelnetOptionNameLast ? QpLoadStr(kTelnetOptionNameBase + int(e.Data)) : "") + "]";
    } else if ((e.Type == ltTrigAllc || e.Type == ltTrigDisp) && e.Subtype == lsStatus && payload[0] < 6) {
      out += StatusKindText(payload[0]);
    } else {
      int column = kPayloadFirstColumn;
      for (uint8_t b : payload) {
        std::string item = (allHex && e.Type == ltUser) ? std::string(1, static_cast<char>(b))
                                                         : TraceByteText(b, hex, allHex);
        int width = static_cast<int>(item.size());
        if (column + width > kPayloadLastColumn) {
          out += "\n" + std::string(kPayloadFirstColumn - 1, ' ');
          column = kPayloadFirstColumn + width;
        } else {
          column += width;
        }
        out += item;
      }
    }
    if (e.Subtype == lsModemStatus) {
      std::string names;
      for (int bit = 0; bit < 8; ++bit)
        if (e.Data & (1u << bit)) names += QpLoadStr(kModemSignalNameBase + bit);
      out += "(" + host::Trim(names) + ")";
    }
    out += "\n";
  }
  return out;
}

int TQpDispatchLog::Write(const std::string& fileName, bool hex, bool allHex, bool append) {
  if (!Present || Entries == 0) {
    Stop();
    return 0;
  }
  IsPaused = true;
  TRecordFile file;
  int rc = file.Open(fileName, append);
  if (rc == 0) {
    file.Write(FormatHeader());
    file.Write(FormatEntries(hex, allHex));
    rc = file.Close();
  }
  Stop();
  return rc;
}

}  // namespace quodra::port
