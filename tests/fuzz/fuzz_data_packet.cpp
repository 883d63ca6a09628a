// Data packets on arbitrary streams, fed through a dispatcher whose device is a memory
// buffer. The input chooses the packet's settings, its patterns, the stream and where the
// stream is cut into arrivals. Checks, besides memory safety:
// - the stream in one arrival and in pieces gives exactly the same packets;
// - a reply packet (any data up to CR LF) loses and repeats nothing: its packets put together
//   are the stream up to its last CR LF, and each ends at the first CR LF it holds;
// - a size packet is exactly its size, and the packets put together are the stream's head;
// - a start-string packet is one occurrence of the start pattern.
#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ftp/qp_data_packet.h"
#include "port/qp_dispatcher.h"
#include "port/qp_except.h"
#include "port/qp_port.h"

using namespace quodra;
using namespace quodra::port;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// A dispatcher whose device hands out what the test put into it.
class TMemoryDispatcher : public TQpBaseDispatcher {
 public:
  using TQpBaseDispatcher::TQpBaseDispatcher;
  void OpenMemory() { FinishOpen(kFakeDevice, 4096, 4096); }
  std::string Pending;

 protected:
  static constexpr int kFakeDevice = 1 << 30;  // never a real descriptor
  int FlushDevice(int queue) override {
    if (queue == 1) Pending.clear();
    return 0;
  }
  int ReadDeviceStatus(TQpDeviceStatus& status) override {
    status.InCount = static_cast<uint32_t>(Pending.size());
    status.OutCount = 0;
    return 0;
  }
  int ReadDevice(uint8_t* buffer, uint32_t count) override {
    uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(Pending.size()));
    Pending.copy(reinterpret_cast<char*>(buffer), n);
    Pending.erase(0, n);
    return static_cast<int>(n);
  }
  int WriteDevice(const uint8_t*, uint32_t count) override { return static_cast<int>(count); }
  void CloseDevice() override { SetDeviceHandle(-1); }
};

class TMemoryPort : public TQpCustomComPort {
 public:
  TMemoryPort() { SetAutoOpen(false); }
  ~TMemoryPort() override { CloseForDestroy(); }
  TMemoryDispatcher* Memory() { return static_cast<TMemoryDispatcher*>(CurrentDispatcher()); }

 protected:
  std::unique_ptr<TQpBaseDispatcher> CreateDispatcher() override { return std::make_unique<TMemoryDispatcher>(this); }
  int OpenDevice() override {
    Memory()->OpenMemory();
    return 0;
  }
};

struct TSetup {
  int Mode = 0;  // 0 reply line, 1 start string alone, 2 size, 3 start and end strings
  bool IgnoreCase = true;
  bool IncludeStrings = true;
  int Size = 1;
  std::string Start, End, Stream;
  uint8_t CutSeed = 0;
};

void Configure(ftp::TQpDataPacket& p, const TSetup& s) {
  p.SetTimeOut(0);
  p.SetIgnoreCase(s.IgnoreCase);
  p.SetIncludeStrings(s.IncludeStrings);
  switch (s.Mode) {
    case 0:
      p.SetIncludeStrings(true);
      p.SetStartCond(ftp::scAnyData);
      p.SetEndCond({ftp::ecString});
      p.SetEndString("\r\n");
      break;
    case 1:
      p.SetStartCond(ftp::scString);
      p.SetStartString(s.Start);
      p.SetEndCond({});
      break;
    case 2:
      p.SetStartCond(ftp::scAnyData);
      p.SetEndCond({ftp::ecPacketSize});
      p.SetPacketSize(s.Size);
      break;
    default:
      p.SetStartCond(ftp::scString);
      p.SetStartString(s.Start);
      p.SetEndCond({ftp::ecString});
      p.SetEndString(s.End);
      break;
  }
}

// Runs the stream through a packet, cut at `cuts`; false when the settings are refused.
bool Run(const TSetup& s, const std::vector<size_t>& cuts, std::vector<std::string>& packets) {
  TMemoryPort port;
  port.SetOpen(true);
  auto packet = std::make_unique<ftp::TQpDataPacket>();
  Configure(*packet, s);
  packet->OnStringPacket = [&packets](TQpBaseComponent*, const std::string& data) { packets.push_back(data); };
  int raw = 0;
  packet->OnPacket = [&raw](TQpBaseComponent*, const char* data, int size) {
    Check(size >= 0 && (size == 0 || data != nullptr));
    ++raw;
  };
  packet->SetComPort(&port);
  try {
    packet->SetEnabled(true);
  } catch (const EQpException&) {
    return false;
  }
  size_t start = 0;
  auto arrive = [&](size_t end) {
    port.Memory()->Pending.append(s.Stream, start, end - start);
    start = end;
    port.Memory()->Dispatch();
    Check(port.Memory()->InBuffUsed() == 0);  // the manager takes every announced byte
  };
  for (size_t c : cuts) arrive(c);
  arrive(s.Stream.size());
  Check(raw == static_cast<int>(packets.size()));
  packet.reset();
  port.SetOpen(false);
  QCoreApplication::processEvents();  // lets the manager free itself
  return true;
}

bool PatternMatches(const std::string& text, const std::string& pattern, bool ignoreCase) {
  std::string match, mask;
  ftp::BuildPacketPattern(pattern, ignoreCase, match, mask);
  if (text.size() != match.size()) return false;
  for (size_t k = 0; k < text.size(); ++k) {
    uint8_t b = static_cast<uint8_t>(text[k]);
    if (ignoreCase && b >= 'a' && b <= 'z') b = static_cast<uint8_t>(b - 32);
    if (mask[k] != '1' && static_cast<uint8_t>(match[k]) != b) return false;
  }
  return true;
}

}  // namespace

// The packet manager frees itself through the event loop.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  TSetup s;
  s.Mode = data[0] % 4;
  s.CutSeed = data[1];
  s.IgnoreCase = (data[2] & 1) != 0;
  s.IncludeStrings = s.Mode == 0 || (data[2] & 2) != 0;
  s.Size = 1 + (data[2] >> 2) % 32;
  size_t pos = 3;
  auto take = [&](std::string& out) {
    if (pos >= size) return;
    size_t n = data[pos++] % 9;
    n = std::min(n, size - pos);
    out.assign(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
  };
  take(s.Start);
  take(s.End);
  s.Stream.assign(reinterpret_cast<const char*>(data + pos), size - pos);

  std::vector<size_t> cuts;
  if (s.Stream.size() > 1) {
    size_t step = 1 + s.CutSeed % 7;
    for (size_t at = step; at < s.Stream.size(); at += step + (at * s.CutSeed) % 5) cuts.push_back(at);
  }
  std::vector<std::string> whole, split;
  bool accepted = Run(s, {}, whole);
  Check(Run(s, cuts, split) == accepted);
  if (!accepted) return 0;
  Check(whole == split);

  std::string joined;
  for (const auto& p : whole) joined += p;
  switch (s.Mode) {
    case 0: {
      size_t last = s.Stream.rfind("\r\n");
      Check(joined == (last == std::string::npos ? std::string() : s.Stream.substr(0, last + 2)));
      for (const auto& p : whole) Check(p.size() >= 2 && p.find("\r\n") == p.size() - 2);
      break;
    }
    case 1:
      for (const auto& p : whole) {
        if (s.IncludeStrings) Check(PatternMatches(p, s.Start, s.IgnoreCase));
        else Check(p.empty());
      }
      break;
    case 2:
      for (const auto& p : whole) Check(p.size() == static_cast<size_t>(s.Size));
      Check(joined == s.Stream.substr(0, whole.size() * static_cast<size_t>(s.Size)));
      Check(s.Stream.size() - joined.size() < static_cast<size_t>(s.Size));
      break;
    default:
      break;
  }
  return 0;
}
