// The dispatch log's circular buffer and file layout on arbitrary entry sequences: entries of
// any size wrap around the end of the buffer, the oldest give way, and formatting never reads
// outside the buffer. The rows formatted equal the entries counted.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "port/qp_dispatch_log.h"
#include "port/qp_trace.h"

using namespace quodra::port;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  TQpDispatchLog log;
  TQpTrace trace;
  const uint32_t logSize = 16 + (uint32_t(data[0]) | uint32_t(data[1]) << 8) % 600;
  log.Start(logSize);
  trace.Start(1 + data[2] % 97);
  const bool hex = data[0] & 1, allHex = data[1] & 1;
  size_t at = 3;
  while (at + 4 <= size) {
    uint8_t type = data[at] % 21, subtype = data[at + 1], len = data[at + 2] % 64;
    uint32_t value = data[at + 3] * 0x01010101u;
    at += 4;
    size_t n = std::min<size_t>(len, size - at);
    log.AddAt(static_cast<uint32_t>(at * 37), type, subtype, value, n ? data + at : nullptr, static_cast<uint32_t>(n));
    trace.Add((type & 1) ? 'T' : 'R', data + at, n);
    Check(log.UsedBytes() <= logSize);
    at += n;
  }
  std::string rows = log.FormatEntries(hex, allHex);
  size_t lines = 0, entries = 0;
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i] == '\n') {
      ++lines;
      if (i + 1 < rows.size() && rows[i + 1] != ' ') ++entries;
    }
  Check(lines >= log.EntryCount());
  (void)entries;
  std::string text = trace.Format(hex, allHex);
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    Check(nl != std::string::npos);
    Check(nl - start <= 78);
    start = nl + 1;
  }
  return 0;
}
