// Reply lines as a server sends them, through the code reader and the multi-line assembler,
// and every completed reply through the readers of a file's facts. Besides memory safety: the
// collected reply never outgrows the buffer, a reply completes only on a single line or on the
// closing line of its code, the assembled text starts with the reply's first line, a size is
// -1 or a number, a time is "" or 14 digits (in seconds -1 or more), and facts refused for a non-file change nothing.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ftp/ftp_reply_text.h"

using namespace quodra::ftp;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsTime(const std::string& t) {
  if (t.empty()) return true;
  if (t.size() != 14) return false;
  for (char c : t)
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

void CheckFacts(const std::string& reply) {
  const std::string text = ReplyTextOf(reply);
  Check(ParseSizeReply(text) >= -1);
  Check(IsTime(ParseModTimeReply(text)));
  Check(ModTimeSeconds(ParseModTimeReply(text)) >= -1);
  OffersMlstFacts(reply);
  int64_t size = -7;
  std::string time = "untouched";
  if (ParseMlstFacts(reply, size, time)) {
    Check(size >= -1 || (size == -7 && time == "untouched"));
    Check(IsTime(time) || time == "untouched");
  } else {
    Check(size == -7 && time == "untouched");
  }
}

// A line of an MLSD listing (the text before its line end): a plain file always with a name,
// taken from the line's end.
void CheckListingLine(const std::string& text) {
  const std::string line = text.substr(0, text.find('\n'));
  std::string name, time, type;
  int64_t size = -7;
  const bool file = ParseMlsdLine(line, name, size, time, type);
  Check(size >= -1 && IsTime(time) && (name.empty() || name.size() < line.size()));
  Check(!file || !name.empty());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  TFtpReplyAssembler assembler;
  std::string first;
  int openCode = 0;
  size_t start = 0;
  // The first byte, when odd, makes every line long, to reach the buffer's limit.
  const size_t repeat = size && (data[0] & 1) ? 1 + data[0] : 1;
  while (start < stream.size()) {
    size_t end = stream.find('\n', start);
    end = end == std::string::npos ? stream.size() : end + 1;
    std::string line;
    for (size_t r = 0; r < repeat; ++r) line += stream.substr(start, end - start);
    start = end;
    const int code = ReplyCodeOf(line);
    const bool digits = line.size() >= 3 && isdigit(static_cast<unsigned char>(line[0])) &&
                        isdigit(static_cast<unsigned char>(line[1])) && isdigit(static_cast<unsigned char>(line[2]));
    Check(code == (digits ? std::stoi(line.substr(0, 3)) : 0));
    CheckListingLine(line);
    const std::string text = ReplyTextOf(line);
    Check(text.size() + 4 == line.size() || (line.size() <= 4 && text.empty()));
    const bool wasMulti = assembler.InMultiLine();
    const bool done = assembler.Add(line, code);
    Check(assembler.Reply().size() <= TFtpReplyAssembler::kCapacity);
    if (!wasMulti) {
      first = line.substr(0, TFtpReplyAssembler::kCapacity);
      openCode = code;
      Check(done == !(line.size() > 3 && line[3] == '-'));
    } else if (done) {
      const std::string terminator = std::to_string(openCode) + " ";
      Check(line.compare(0, terminator.size(), terminator) == 0);
    }
    Check(assembler.Reply().compare(0, first.size(), first) == 0);
    if (done) {
      Check(!assembler.InMultiLine());
      CheckFacts(assembler.Reply());
    }
  }
  assembler.SetReply(stream + stream);
  Check(assembler.Reply().size() <= TFtpReplyAssembler::kCapacity);
  assembler.Reset();
  Check(!assembler.InMultiLine() && assembler.Reply().empty());
  return 0;
}
