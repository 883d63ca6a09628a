// What a retrieve needs to know and check about a remote file: SIZE and MDTM, or MLST
// (FileFacts), a refused REST of a resumed download, the byte count of a finished retrieve,
// and the local file held for the caller after a retrieve (CommitHeldFile, DiscardHeldFile).
#include <cerrno>
#include <cstdint>
#include <string>

#include "ftp/ftp_reply_text.h"
#include "ftp/qp_ftp_client.h"
#include "host/local_output_file.h"
#include "host/text_util.h"

namespace quodra::ftp {
namespace {

// "213 12345": the size, -1 when the text is not a plain number.
int64_t SizeOf(const std::string& text) {
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

// "213 20240131120000.123": the 14 digits, "" when the text does not begin with them.
std::string ModTimeOf(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (text.size() < i + 14) return {};
  std::string digits = text.substr(i, 14);
  for (char c : digits)
    if (c < '0' || c > '9') return {};
  return digits;
}

// The reply to FEAT: does it list MLST with the size and modify facts?
bool OffersMlstFacts(const std::string& reply) {
  size_t start = 0;
  while (start < reply.size()) {
    size_t end = reply.find('\n', start);
    if (end == std::string::npos) end = reply.size();
    std::string line = host::UpperCase(reply.substr(start, end - start));
    start = end + 1;
    if (line.size() >= 4 && ReplyCodeOf(line) != 0 && line[3] == '-') line.erase(0, 4);
    size_t i = line.find_first_not_of(' ');
    if (i == std::string::npos || line.compare(i, 5, "MLST ") != 0) continue;
    return line.find("SIZE", i) != std::string::npos && line.find("MODIFY", i) != std::string::npos;
  }
  return false;
}

// The facts of an MLST reply, from the line "␠size=12;modify=20240131120000;type=file; NAME"
// (a line with the reply code in front, as some servers send, is read the same way). False,
// with nothing read, when the type fact names anything but a plain file: the size of a link
// may be the link's own.
bool ReadMlstFacts(const std::string& reply, int64_t& size, std::string& modTime) {
  size_t start = 0;
  while (start < reply.size()) {
    size_t end = reply.find('\n', start);
    if (end == std::string::npos) end = reply.size();
    std::string line = reply.substr(start, end - start);
    start = end + 1;
    if (line.size() >= 4 && ReplyCodeOf(line) != 0 && (line[3] == '-' || line[3] == ' ')) line.erase(0, 4);
    size_t i = line.find_first_not_of(' ');
    if (i == std::string::npos) continue;
    const std::string facts = line.substr(i, line.find(' ', i) - i);
    if (facts.find('=') == std::string::npos || facts.find(';') == std::string::npos) continue;
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
      if (key == "TYPE" && host::UpperCase(fact.substr(eq + 1)) != "FILE") return false;
      if (key == "SIZE") factSize = SizeOf(fact.substr(eq + 1));
      if (key == "MODIFY") factTime = ModTimeOf(fact.substr(eq + 1));
    }
    size = factSize;
    modTime = factTime;
    return true;
  }
  return true;
}

}  // namespace

void TQpCustomFtpClient::PushSizeAndMdtm() {
  // Commands go out from the back: SIZE first.
  PushCommand("MDTM " + RemoteName);
  PushCommand("SIZE " + RemoteName);
}

void TQpCustomFtpClient::PushFactsCommands() {
  switch (FactsCommand) {
    case TFactsCommand::NotAsked:
      PushCommand("FEAT");
      break;
    case TFactsCommand::SizeAndMdtm:
      PushSizeAndMdtm();
      break;
    case TFactsCommand::Mlst:
      PushCommand("MLST " + RemoteName);
      break;
  }
}

bool TQpCustomFtpClient::FileFacts(const std::string& name) {
  if (State != TFtpSessionState::Ready || name.empty() || !IsSafeArgument(name)) return false;
  ChangeState(TFtpSessionState::Commanding);
  RemoteName = name;
  FactSize = -1;
  FactModTime.clear();
  PushFactsCommands();
  FactsBeforeRetrieve = true;
  if (SessionType == 'I') {
    SendNextCommand();
  } else {
    PendingType = 'I';
    SendCommand("TYPE I");
  }
  return true;
}

// The replies to FileFacts' commands; false for any other command, and for replies that fail
// it as they would fail any command (a refused TYPE, 4xx).
bool TQpCustomFtpClient::FactsReply(const std::string& verb, int code) {
  if (verb != "TYPE" && verb != "SIZE" && verb != "MDTM" && verb != "FEAT" && verb != "MLST") return false;
  if (code < 200) return true;
  if (verb == "FEAT") {
    // Any answer but a list naming MLST (a 500 of a server without FEAT, say) means SIZE and MDTM.
    const bool mlst = code == 211 && OffersMlstFacts(Reply.Reply());
    FactsCommand = mlst ? TFactsCommand::Mlst : TFactsCommand::SizeAndMdtm;
    PushFactsCommands();
    SendNextCommand();
    return true;
  }
  if (verb == "MLST" && (code == 500 || code == 502)) {
    // Listed in FEAT, yet not understood.
    FactsCommand = TFactsCommand::SizeAndMdtm;
    PushFactsCommands();
    SendNextCommand();
    return true;
  }
  if (verb == "TYPE") {
    if (code >= 300) return false;
    SessionType = PendingType;
    SendNextCommand();
    return true;
  }
  // A 5xx says the server has no answer (command unknown, not a plain file): that is a fact.
  if (code >= 300 && code < 500) return false;
  std::string text = ReplyTextOf(Reply.Reply());
  if (verb == "MLST") {
    if (code == 250 && !ReadMlstFacts(Reply.Reply(), FactSize, FactModTime)) {
      // Not a plain file (a link, a folder): SIZE and MDTM say what a retrieve of it brings.
      PushSizeAndMdtm();
      SendNextCommand();
      return true;
    }
  } else if (verb == "SIZE") {
    FactSize = code == 213 ? SizeOf(text) : -1;
    if (!Commands.empty()) {
      SendNextCommand();
      return true;
    }
  } else {
    FactModTime = code == 213 ? ModTimeOf(text) : std::string();
  }
  Commands.clear();
  PostStatus(fsFileFacts, nullptr);
  return true;
}

// A server that will not continue a kept partial: it is emptied and the file fetched whole.
bool TQpCustomFtpClient::RestRefused() {
  if (!Resuming || State != TFtpSessionState::Retrieving || !Local || !Local->IsOpen()) return false;
  Resuming = false;
  if (int err = Local->RestartFromZero(); err != 0) {
    LocalWriteFailed(err);
    return true;
  }
  RetrieveOffset = 0;
  SyncedUpTo = 0;
  PostNotice("Server refused REST: starting " + RemoteName + " over");
  SendNextCommand();  // RETR
  return true;
}

// A retrieve the server called complete that did not bring the size it was expected to have
// (fewer bytes: cut short; more: the file grew meanwhile).
bool TQpCustomFtpClient::ShortTransfer() {
  if (RetrieveExpected < 0) return false;
  const int64_t total = RetrieveOffset + Transferred;
  if (total == RetrieveExpected) return false;
  // More bytes than announced: the file was written to after its size was asked.
  if (total > RetrieveExpected) {
    TransferFailed(kFtpShortTransfer, "Transfer of " + RemoteName + " brought " + std::to_string(total) + " bytes, not the " +
                                          std::to_string(RetrieveExpected) + " announced: it changed while it was fetched");
    return true;
  }
  TransferFailed(kFtpShortTransfer, "Transfer of " + RemoteName + " incomplete: " + std::to_string(total) + " of " +
                                        std::to_string(RetrieveExpected) + " bytes");
  return true;
}

int TQpCustomFtpClient::CommitHeldFile() {
  if (!LocalHeld || !Local) return EBADF;
  LocalHeld = false;
  return Local->Commit();
}

void TQpCustomFtpClient::DiscardHeldFile() {
  if (!LocalHeld || !Local) return;
  LocalHeld = false;
  Local->Rollback();
}

}  // namespace quodra::ftp
