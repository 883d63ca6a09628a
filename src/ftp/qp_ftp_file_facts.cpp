// What a retrieve needs to know and check about a remote file: SIZE and MDTM (FileFacts), a
// refused REST of a resumed download, the byte count of a finished retrieve, and the local
// file held for the caller after a retrieve (CommitHeldFile, DiscardHeldFile).
#include <cerrno>
#include <cstdint>
#include <string>

#include "ftp/qp_ftp_client.h"
#include "host/local_output_file.h"

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

}  // namespace

bool TQpCustomFtpClient::FileFacts(const std::string& name) {
  if (State != TFtpSessionState::Ready || name.empty() || !IsSafeArgument(name)) return false;
  ChangeState(TFtpSessionState::Commanding);
  RemoteName = name;
  FactSize = -1;
  FactModTime.clear();
  PushCommand("MDTM " + name);
  PushCommand("SIZE " + name);
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
  if (verb != "TYPE" && verb != "SIZE" && verb != "MDTM") return false;
  if (code < 200) return true;
  if (verb == "TYPE") {
    if (code >= 300) return false;
    SessionType = PendingType;
    SendNextCommand();
    return true;
  }
  // A 5xx says the server has no answer (command unknown, not a plain file): that is a fact.
  if (code >= 300 && code < 500) return false;
  std::string text = ReplyTextOf(Reply.Reply());
  if (verb == "SIZE") {
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
