// Telnet receive filter and send transform on arbitrary bytes. Checks, besides memory safety:
// - a stream fed in pieces (cut where the input says) gives exactly what it gives in one go;
// - no received byte yields more than one data byte;
// - data sent through the transform and received through the filter comes back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "port/telnet_filter.h"

using namespace quodra::port;

namespace {

struct TResult {
  std::string Data, Sent, Log;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

void Attach(TTelnetFilter& f, TResult& r) {
  f.OnSend = [&r](const uint8_t* b, size_t n) { r.Sent.append(reinterpret_cast<const char*>(b), n); };
  f.OnLog = [&r](uint8_t sub, uint32_t data, const uint8_t* payload, uint32_t len) {
    r.Log += std::to_string(sub) + ":" + std::to_string(data) + ":" +
             std::string(reinterpret_cast<const char*>(payload ? payload : reinterpret_cast<const uint8_t*>("")), len) + ";";
  };
}

TResult Feed(const uint8_t* data, size_t size, const std::vector<size_t>& cuts, uint8_t binaryState) {
  TTelnetFilter f;
  f.SetOptionState(kTelnetOptBinary, binaryState);
  TResult r;
  Attach(f, r);
  size_t start = 0;
  std::vector<uint8_t> out;
  auto piece = [&](size_t end) {
    size_t n = end - start;
    out.assign(n + 1, 0xEE);  // one guard byte past the room given
    size_t got = f.Filter(data + start, n, out.data());
    Check(got <= n);
    Check(out[n] == 0xEE);
    r.Data.append(reinterpret_cast<const char*>(out.data()), got);
    start = end;
  };
  for (size_t c : cuts) piece(c);
  piece(size);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const uint8_t binaryState = flags % 3;
  const uint8_t cutSeed = data[1];
  data += 2;
  size -= 2;

  std::vector<size_t> cuts;
  if (size > 1) {
    size_t step = 1 + cutSeed % 7;
    for (size_t at = step; at < size; at += step + (at * cutSeed) % 5) cuts.push_back(at);
  }
  TResult whole = Feed(data, size, {}, binaryState);
  TResult split = Feed(data, size, cuts, binaryState);
  Check(whole.Data == split.Data);
  Check(whole.Sent == split.Sent);
  Check(whole.Log == split.Log);

  // Round trip: transform, then filter, gives the data back.
  TTelnetFilter sender, receiver;
  sender.SetOptionState(kTelnetOptBinary, binaryState);
  receiver.SetOptionState(kTelnetOptBinary, binaryState);
  size_t room = (flags & 0x80) ? size * 2 : size + (flags & 0x3F);
  std::vector<uint8_t> wire(room + 1, 0xEE);
  size_t written = 0;
  size_t taken = sender.Transform(data, size, wire.data(), room, written);
  Check(taken <= size && written <= room && wire[room] == 0xEE);
  if (room >= size * 2) Check(taken == size);
  std::vector<uint8_t> back(written + 1);
  size_t got = receiver.Filter(wire.data(), written, back.data());
  Check(got == taken);
  Check(std::equal(back.begin(), back.begin() + static_cast<long>(got), data));
  return 0;
}
