#include "ftp_reply_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "host/text_util.h"

namespace quodra::ftp {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number 0..255 with blanks around it; -1 otherwise.
int ByteValue(const std::string& field) {
  std::string t = host::Trim(field);
  if (t.empty() || t.size() > 3) return -1;
  int v = 0;
  for (char c : t) {
    if (!IsDigit(c)) return -1;
    v = v * 10 + (c - '0');
  }
  return v <= 255 ? v : -1;
}

}  // namespace

int ReplyCodeOf(const std::string& line) {
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

std::string ReplyTextOf(const std::string& reply) { return reply.size() > 4 ? reply.substr(4) : std::string(); }

bool TFtpReplyAssembler::Add(const std::string& line, int code) {
  if (!MultiLine) {
    Buffer.clear();
    Append(line);
    if (line.size() > 3 && line[3] == '-') {
      MultiLine = true;
      Terminator = std::to_string(code) + " ";
      return false;
    }
    return true;
  }
  if (line.compare(0, Terminator.size(), Terminator) != 0) {
    Append(line);
    return false;
  }
  MultiLine = false;
  return true;
}

void TFtpReplyAssembler::SetReply(std::string text) {
  Buffer = std::move(text);
  if (Buffer.size() > kCapacity) Buffer.resize(kCapacity);
}

void TFtpReplyAssembler::Reset() {
  Buffer.clear();
  Terminator.clear();
  MultiLine = false;
}

void TFtpReplyAssembler::Append(const std::string& text) {
  if (Buffer.size() >= kCapacity) return;
  Buffer.append(text, 0, kCapacity - Buffer.size());
}

TPassiveAddress ParsePassiveReply(const std::string& reply) {
  TPassiveAddress result;
  std::string body;
  size_t open = reply.find('(');
  if (open != std::string::npos) {
    body = reply.substr(open + 1);
  } else {
    // Some servers leave the parentheses out: the numbers start at the first digit after
    // the reply code.
    size_t start = 4;
    while (start < reply.size() && !IsDigit(reply[start])) ++start;
    if (start >= reply.size()) return result;
    body = reply.substr(start);
  }
  size_t close = body.find(')');
  if (close != std::string::npos) body.resize(close);

  std::vector<std::string> fields;
  size_t from = 0;
  for (;;) {
    size_t comma = body.find(',', from);
    fields.push_back(body.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  if (fields.size() < 6) return result;
  // Without parentheses the line may go on after the last number ("... 4,1. Ready").
  if (open == std::string::npos) {
    std::string& last = fields[5];
    size_t i = 0;
    while (i < last.size() && (last[i] == ' ' || IsDigit(last[i]))) ++i;
    last.resize(i);
  }
  int n[6];
  for (int i = 0; i < 6; ++i) {
    n[i] = ByteValue(fields[i]);
    if (n[i] < 0) return result;
  }
  result.Port = static_cast<uint16_t>(n[4] * 256 + n[5]);
  if (result.Port == 0) return result;
  result.Host = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." +
                std::to_string(n[3]);
  result.Ok = true;
  return result;
}

uint16_t ParseExtendedPassiveReply(const std::string& reply) {
  size_t open = reply.find('(');
  if (open == std::string::npos || open + 5 > reply.size()) return 0;
  char d = reply[open + 1];
  if (d < 33 || d > 126 || IsDigit(d) || reply[open + 2] != d || reply[open + 3] != d) return 0;
  size_t i = open + 4;
  uint32_t port = 0;
  size_t digits = 0;
  for (; i < reply.size() && IsDigit(reply[i]) && digits < 6; ++i, ++digits) port = port * 10 + (reply[i] - '0');
  if (digits == 0 || i >= reply.size() || reply[i] != d || port == 0 || port > 65535) return 0;
  if (i + 1 >= reply.size() || reply[i + 1] != ')') return 0;
  return static_cast<uint16_t>(port);
}

std::string ExtendedPortArgument(bool ipv6, const std::string& address, uint16_t port) {
  return std::string("|") + (ipv6 ? "2" : "1") + "|" + address + "|" + std::to_string(port) + "|";
}

std::string PortArgument(uint32_t ipv4, uint16_t port) {
  return std::to_string((ipv4 >> 24) & 255) + "," + std::to_string((ipv4 >> 16) & 255) + "," +
         std::to_string((ipv4 >> 8) & 255) + "," + std::to_string(ipv4 & 255) + "," +
         std::to_string(port >> 8) + "," + std::to_string(port & 255);
}

std::string QuotedDirectory(const std::string& reply) {
  size_t i = reply.find('"');
  if (i == std::string::npos) return {};
  std::string dir;
  for (++i; i < reply.size(); ++i) {
    if (reply[i] != '"') {
      dir += reply[i];
    } else if (i + 1 < reply.size() && reply[i + 1] == '"') {
      dir += '"';
      ++i;
    } else {
      return dir;
    }
  }
  return {};  // no closing quote
}

bool IsSafeArgument(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

int64_t ParseSizeReply(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int64_t size = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    if (size > (INT64_MAX - 9) / 10) return -1;
    size = size * 10 + (text[i] - '0');
  }
  bool ends = i == text.size() || text[i] == '\r' || text[i] == '\n' || text[i] == ' ';
  return digits > 0 && ends ? size : -1;
}

std::string ParseModTimeReply(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (text.size() < i + 14) return {};
  std::string digits = text.substr(i, 14);
  for (char c : digits)
    if (c < '0' || c > '9') return {};
  return digits;
}

int64_t ModTimeSeconds(const std::string& digits) {
  if (digits.size() != 14) return -1;
  auto field = [&](size_t at, size_t n) { return std::stoi(digits.substr(at, n)); };
  for (char c : digits)
    if (c < '0' || c > '9') return -1;
  struct tm t {};
  t.tm_year = field(0, 4) - 1900;
  t.tm_mon = field(4, 2) - 1;
  t.tm_mday = field(6, 2);
  t.tm_hour = field(8, 2);
  t.tm_min = field(10, 2);
  t.tm_sec = field(12, 2);
  if (t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 ||
      t.tm_sec > 60)
    return -1;
  const time_t seconds = ::timegm(&t);
  return seconds < 0 ? -1 : static_cast<int64_t>(seconds);
}

namespace {
// The lines of a reply without their line ends, each without a reply code in front of it
// ("211-", "250 ", as some servers send inside a multi-line reply) and the blanks after it.
std::vector<std::string> BodyLinesOf(const std::string& reply) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < reply.size();) {
    size_t end = reply.find('\n', start);
    if (end == std::string::npos) end = reply.size();
    std::string line = reply.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 4 && ReplyCodeOf(line) != 0 && (line[3] == '-' || line[3] == ' ')) line.erase(0, 4);
    line.erase(0, std::min(line.size(), line.find_first_not_of(' ')));
    lines.push_back(std::move(line));
  }
  return lines;
}
}  // namespace

bool OffersMlstFacts(const std::string& reply) {
  for (const std::string& body : BodyLinesOf(reply)) {
    const std::string line = host::UpperCase(body);
    if (line.compare(0, 5, "MLST ") == 0)
      return line.find("SIZE") != std::string::npos && line.find("MODIFY") != std::string::npos;
  }
  return false;
}

bool IsFolderType(const std::string& type) {
  const std::string upper = host::UpperCase(type);
  return upper == "DIR" || upper == "CDIR" || upper == "PDIR";
}

namespace {
// "size=12;modify=20240131120000;type=file;": false, with nothing read, when the type fact
// names anything but a plain file.
bool ReadFacts(const std::string& facts, int64_t& size, std::string& modTime, std::string* type) {
  int64_t factSize = -1;
  std::string factTime;
  for (size_t f = 0; f < facts.size();) {
    size_t semi = facts.find(';', f);
    if (semi == std::string::npos) semi = facts.size();
    const std::string fact = facts.substr(f, semi - f);
    f = semi + 1;
    const size_t eq = fact.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = host::UpperCase(fact.substr(0, eq));
    if (key == "TYPE" && type) *type = fact.substr(eq + 1);
    if (key == "TYPE" && host::UpperCase(fact.substr(eq + 1)) != "FILE") return false;
    if (key == "SIZE") factSize = ParseSizeReply(fact.substr(eq + 1));
    if (key == "MODIFY") factTime = ParseModTimeReply(fact.substr(eq + 1));
  }
  size = factSize;
  modTime = factTime;
  return true;
}

bool HoldsFacts(const std::string& facts) {
  return facts.find('=') != std::string::npos && facts.find(';') != std::string::npos;
}
}  // namespace

bool ParseMlstFacts(const std::string& reply, int64_t& size, std::string& modTime, std::string* type) {
  for (const std::string& line : BodyLinesOf(reply)) {
    const std::string facts = line.substr(0, line.find(' '));
    if (HoldsFacts(facts)) return ReadFacts(facts, size, modTime, type);
  }
  return true;
}

bool ParseMlsdLine(std::string line, std::string& name, int64_t& size, std::string& modTime, std::string& type) {
  name.clear();
  type.clear();
  size = -1;
  modTime.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t blank = line.find(' ');
  if (blank == std::string::npos || blank + 1 >= line.size()) return false;
  const std::string facts = line.substr(0, blank);
  if (!HoldsFacts(facts)) return false;
  name = line.substr(blank + 1);
  return ReadFacts(facts, size, modTime, &type);
}

bool IsListingVerb(const std::string& verb) { return verb == "NLST" || verb == "LIST" || verb == "MLSD"; }

}  // namespace quodra::ftp
