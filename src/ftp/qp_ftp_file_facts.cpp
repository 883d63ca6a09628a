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
  FactsFromMlst = false;
  FactIsFolder = false;
  FeaturesForListing = false;  // a FEAT for a listing that an abort cut short is this one's now
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
    if (FeaturesForListing) {
      FeaturesForListing = false;
      ListFactsOrNothing();
      return true;
    }
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
    std::string type;
    const bool plainFile = code != 250 || ParseMlstFacts(Reply.Reply(), FactSize, FactModTime, &type);
    if (!plainFile && IsFolderType(type)) {
      // A folder has nothing to retrieve (a server may not even let us into it to tell).
      FactIsFolder = true;
      Commands.clear();
      PostStatus(fsFileFacts, nullptr);
      return true;
    }
    if (!plainFile) {
      // Not a plain file (a link): SIZE and MDTM say what a retrieve of it brings.
      PushSizeAndMdtm();
      SendNextCommand();
      return true;
    }
    FactsFromMlst = code == 250 && FactSize >= 0;
  } else if (verb == "SIZE") {
    FactSize = code == 213 ? ParseSizeReply(text) : -1;
    if (!Commands.empty()) {
      SendNextCommand();
      return true;
    }
  } else {
    FactModTime = code == 213 ? ParseModTimeReply(text) : std::string();
  }
  Commands.clear();
  PostStatus(fsFileFacts, nullptr);
  return true;
}

// A server that will not continue a kept partial: it is emptied and the file fetched whole.
bool TQpCustomFtpClient::RestRefused() {
  if (!Resuming || State != TFtpSessionState::Retrieving || !Local || !Local->IsOpen()) return false;
  if (!StartLocalOver()) return true;
  PostNotice("Server refused REST: starting " + RemoteName + " over");
  SendNextCommand();  // RETR
  return true;
}

// A server that takes REST but then will not send from there ("451 Restart not permitted"):
// the kept bytes go and the file is asked for whole, once, on a new data connection. A
// refusal that says nothing of the restart (the data connection, the session's end) fails
// the retrieve as it is, and the kept bytes wait for the next attempt.
bool TQpCustomFtpClient::ResumeRefused(int code) {
  if (code < 400 || code == 421 || code == 425 || code == 426) return false;
  if (!Resuming || State != TFtpSessionState::Retrieving || !Local || !Local->IsOpen()) return false;
  const std::string refusal = host::TrimRight(ReplyTextOf(Reply.Reply()));
  if (!StartLocalOver()) return true;
  PostNotice("Server refused to resume " + RemoteName + " (" + std::to_string(code) + " " + refusal + "): starting it over");
  // The refused connection's end (a reset, say) belongs to the attempt given up.
  CloseDataSockets();
  HeldDataError = 0;
  ResetTransferState();
  Commands.clear();
  PushCommand("RETR " + RemoteName);
  PushCommand("REST 0");  // a server may keep the refused offset for the next transfer
  if (PassiveMode) PushCommand(PassiveCommand());
  if (!DataConnect()) TransferFailed(code, refusal);
  return true;
}

bool TQpCustomFtpClient::StartLocalOver() {
  Resuming = false;
  if (int err = Local->RestartFromZero(); err != 0) {
    LocalWriteFailed(err);
    return false;
  }
  RestartAt = RetrieveOffset = 0;
  return true;
}

// A retrieve the server called complete that did not bring the size it was expected to have
// (fewer bytes: cut short; more: the file grew meanwhile).
bool TQpCustomFtpClient::ShortTransfer() {
  if (RetrieveExpected < 0) return false;
  const int64_t total = RetrieveOffset + Transferred;
  if (total == RetrieveExpected) return false;
  if (MlstSizeDoubted()) return true;
  // More bytes than announced: the file was written to after its size was asked.
  if (total > RetrieveExpected) {
    TransferFailed(kFtpFileChanged, "Transfer of " + RemoteName + " brought " + std::to_string(total) + " bytes, not the " +
                                          std::to_string(RetrieveExpected) + " announced: it changed while it was fetched");
    return true;
  }
  TransferFailed(kFtpShortTransfer, "Transfer of " + RemoteName + " incomplete: " + std::to_string(total) + " of " +
                                        std::to_string(RetrieveExpected) + " bytes");
  return true;
}

// A size from MLST that the retrieve did not bring is looked at once more before the
// retrieve fails: some servers give a link's own size and time in MLST (with its target's
// type), where a retrieve sends the target. MLST, SIZE and MDTM are asked again. True while
// that check is under way.
bool TQpCustomFtpClient::MlstSizeDoubted() {
  if (!ExpectedFromMlst) return false;
  ExpectedFromMlst = false;
  RecheckingSize = true;
  RecheckedMlstSize = RecheckedSize = -1;
  RecheckedMlstTime.clear();
  Commands.clear();
  PushSizeAndMdtm();
  PushCommand("MLST " + RemoteName);  // goes first
  SendNextCommand();
  return true;
}

void TQpCustomFtpClient::SizeRecheckReply(const std::string& verb, int code) {
  const std::string text = ReplyTextOf(Reply.Reply());
  if (verb == "MLST") {
    if (code != 250 || !ParseMlstFacts(Reply.Reply(), RecheckedMlstSize, RecheckedMlstTime)) RecheckedMlstSize = -1;
    SendNextCommand();  // SIZE
    return;
  }
  if (verb == "SIZE") {
    RecheckedSize = code == 213 ? ParseSizeReply(text) : -1;
    SendNextCommand();  // MDTM
    return;
  }
  RecheckingSize = false;
  const int64_t total = RetrieveOffset + Transferred;
  // MLST still says what it said before, so the file it describes did not change; SIZE says
  // what was received. A file written to meanwhile has another MLST size or time by now and
  // fails as before.
  if (RecheckedMlstSize == FactSize && RecheckedMlstTime == FactModTime && RecheckedSize == total) {
    PostNotice("MLST gave " + RemoteName + " as " + std::to_string(FactSize) + " bytes, SIZE as " +
               std::to_string(total) + ": sizes are asked with SIZE and MDTM from here on");
    FactsCommand = TFactsCommand::SizeAndMdtm;
    RetrieveExpected = FactSize = total;
    FactModTime = code == 213 ? ParseModTimeReply(text) : std::string();
    FactsFromMlst = false;
    FactsRenewed = true;
  }
  FinishRetrieveIfComplete();
}

int TQpCustomFtpClient::CommitHeldFile(const std::string& deliveryKey) {
  if (!LocalHeld || !Local) return EBADF;
  LocalHeld = false;
  Local->NoteDeliveryOf(deliveryKey);
  return Local->Commit();
}

void TQpCustomFtpClient::DiscardHeldFile() {
  if (!LocalHeld || !Local) return;
  LocalHeld = false;
  Local->Rollback();
}

}  // namespace quodra::ftp
