#pragma once
// The line ends of an ASCII-mode retrieve: the network's CR LF becomes the local LF. A lone
// CR (old Mac text) becomes LF as well, and a run of CRs before an LF counts as one line end,
// since some servers add a CR to lines that already end in CR LF. Blocks may cut anywhere:
// CRs at the end of one block are held until the next block (or the end of the data) shows
// what follows them.
#include <cstddef>
#include <string>

namespace quodra::ftp {

class TAsciiLineEnds {
 public:
  // A new transfer; `on` false passes nothing through this object at all.
  void Start(bool on);
  bool On() const { return Active; }
  // The local bytes for one block received; valid until the next call.
  const std::string& Convert(const char* data, size_t count);
  // What is still held at the end of the data (CRs that no LF followed).
  const std::string& Finish();

 private:
  bool Active = false;
  size_t HeldCr = 0;
  std::string Out;
};

}  // namespace quodra::ftp
