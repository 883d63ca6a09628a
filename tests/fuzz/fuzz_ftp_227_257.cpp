// The texts of a 227 reply (passive data address) and of a 257 reply (quoted directory),
// and the command-argument check. Besides memory safety: an address read is a dotted IPv4
// address whose PORT argument gives back the same numbers; a quoted directory undoubles to
// a text whose doubled form is found in the reply.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "ftp/ftp_reply_text.h"

using namespace quodra::ftp;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);

  const TPassiveAddress a = ParsePassiveReply(reply);
  if (a.Ok) {
    in_addr addr{};
    Check(inet_pton(AF_INET, a.Host.c_str(), &addr) == 1);
    Check(a.Port != 0);
    const std::string arg = PortArgument(ntohl(addr.s_addr), a.Port);
    // Reading the PORT argument back as a passive reply gives the same address.
    const TPassiveAddress back = ParsePassiveReply("227 (" + arg + ")");
    Check(back.Ok && back.Host == a.Host && back.Port == a.Port);
  } else {
    Check(a.Host.empty());
  }

  const std::string dir = QuotedDirectory(reply);
  if (!dir.empty()) {
    std::string doubled = "\"";
    for (char c : dir) doubled += c == '"' ? std::string("\"\"") : std::string(1, c);
    doubled += '"';
    Check(reply.find(doubled) == reply.find('"'));
  }

  const bool safe = IsSafeArgument(reply);
  Check(safe == (reply.find('\r') == std::string::npos && reply.find('\n') == std::string::npos &&
                 reply.find('\0') == std::string::npos));
  return 0;
}
