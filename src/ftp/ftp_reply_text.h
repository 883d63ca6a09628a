#pragma once
// Text helpers of the FTP session: reply codes, multi-line reply assembly, the address of a
// passive reply, the argument of PORT, the directory of a 257 reply and a file's facts from
// the replies to SIZE, MDTM, FEAT and MLST. Pure functions, so the session logic that uses
// them stays small.
#include <cstddef>
#include <cstdint>
#include <string>

namespace quodra::ftp {

// The integer value of the first three characters of a reply line; 0 when they are not
// three decimal digits.
int ReplyCodeOf(const std::string& line);

// The text of a reply: the reply from its fifth character on (code and separator removed).
std::string ReplyTextOf(const std::string& reply);

// Collects the lines of one reply. A line whose fourth character is '-' opens a multi-line
// reply, which the first line beginning with its code and a blank closes; the closing line
// is not added, so the collected text is the reply's first line and its continuation lines.
class TFtpReplyAssembler {
 public:
  // Room of the reply buffer; text beyond it is dropped.
  static constexpr size_t kCapacity = 32768;

  // Takes one line (with its line end). True when the reply is complete and its code
  // (the code of `line`) should be handled.
  bool Add(const std::string& line, int code);
  const std::string& Reply() const { return Buffer; }
  void SetReply(std::string text);
  bool InMultiLine() const { return MultiLine; }
  void Reset();

 private:
  void Append(const std::string& text);

  std::string Buffer;
  std::string Terminator;
  bool MultiLine = false;
};

// The data address of a 227 reply: "(h1,h2,h3,h4,p1,p2)", blanks around the numbers allowed,
// parentheses optional. `Ok` is false when no address could be read from it.
struct TPassiveAddress {
  bool Ok = false;
  std::string Host;     // dotted IPv4 address
  uint16_t Port = 0;    // host byte order
};
TPassiveAddress ParsePassiveReply(const std::string& reply);

// The port of a 229 reply: "(|||port|)", any delimiter character from 33 to 126 used three
// times before and once after the port; 0 when there is none.
uint16_t ParseExtendedPassiveReply(const std::string& reply);

// The argument of an EPRT command: "|1|a.b.c.d|port|" or "|2|ipv6|port|".
std::string ExtendedPortArgument(bool ipv6, const std::string& address, uint16_t port);

// The argument of a PORT command: "a,b,c,d,hi,lo" for an IPv4 address and a port, both in
// host byte order. Port 1025 ends in "4,1".
std::string PortArgument(uint32_t ipv4, uint16_t port);

// The directory named by a 257 reply: the text between the first two double quotes, with a
// doubled quote inside taken as one quote. Empty when the reply holds no quoted name.
std::string QuotedDirectory(const std::string& reply);

// A command argument must not hold a line end or NUL: it would end the command early and
// let the rest of the text pass as a command of its own.
bool IsSafeArgument(const std::string& text);

// The text of a 213 reply to SIZE ("12345"): the size, -1 when it is not a plain number.
int64_t ParseSizeReply(const std::string& text);

// The text of a 213 reply to MDTM ("20240131120000.123"): its first 14 digits
// (YYYYMMDDHHMMSS), "" when the text does not begin with them.
std::string ParseModTimeReply(const std::string& text);

// A FEAT reply: true when it lists MLST with the size and modify facts.
bool OffersMlstFacts(const std::string& reply);

// A time as ParseModTimeReply gives it (14 digits, UTC) in seconds since 1970; -1 for "",
// a text that is no valid time, and a time before 1970.
int64_t ModTimeSeconds(const std::string& digits);

// The size and modify facts of an MLST reply, from its facts line
// "␠size=12;modify=20240131120000;type=file; NAME" (read the same way with the reply code in
// front, as some servers send it); a fact that is missing or malformed gives -1 or "". False,
// with nothing read, when the type fact names anything but a plain file: the size a server
// gives for a link may be the link's own. `type`, when given, receives the type fact as sent.
bool ParseMlstFacts(const std::string& reply, int64_t& size, std::string& modTime, std::string* type = nullptr);

// One line of an MLSD listing, "type=file;size=12;modify=20240131120000; NAME" (a CR at its
// end dropped): the name, everything after the first blank (blanks inside it kept), the type
// fact as sent, and size and time as ParseMlstFacts reads them. True only for a plain file;
// for a line without facts or without a name, false with nothing read.
bool ParseMlsdLine(std::string line, std::string& name, int64_t& size, std::string& modTime, std::string& type);

// Whether a command lists a folder over a data connection (NLST, LIST, MLSD).
bool IsListingVerb(const std::string& verb);

// Whether an MLST type fact names a folder: "dir", the listed folder itself ("cdir") or its
// parent ("pdir"), in any letter case.
bool IsFolderType(const std::string& type);

}  // namespace quodra::ftp
