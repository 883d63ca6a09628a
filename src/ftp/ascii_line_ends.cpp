#include "ftp/ascii_line_ends.h"

namespace quodra::ftp {

void TAsciiLineEnds::Start(bool on) {
  Active = on;
  HeldCr = 0;
  Out.clear();
}

const std::string& TAsciiLineEnds::Convert(const char* data, size_t count) {
  Out.clear();
  Out.reserve(count + HeldCr);
  for (size_t i = 0; i < count; ++i) {
    const char c = data[i];
    if (c == '\r') {
      ++HeldCr;
      continue;
    }
    if (c == '\n') {
      HeldCr = 0;  // CR ... CR LF: one line end
    } else if (HeldCr > 0) {
      Out.append(HeldCr, '\n');  // lone CRs: a line end each
      HeldCr = 0;
    }
    Out.push_back(c);
  }
  return Out;
}

const std::string& TAsciiLineEnds::Finish() {
  Out.assign(HeldCr, '\n');
  HeldCr = 0;
  return Out;
}

}  // namespace quodra::ftp
