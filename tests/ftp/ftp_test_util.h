#pragma once
// Shared by the FTP client tests: an event recorder and waits that handle events.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ftp/qp_ftp_client.h"
#include "host/clock.h"
#include "host/event_wait.h"

namespace quodra::ftp::test {

inline const char* StatusName(TFtpStatusCode c) {
  static const char* const names[] = {"Closed",   "Connected",   "LoggedOut",   "LoggedIn", "CommandDone",
                                      "CurrentDir", "TextReady", "Progress", "TransferDone", "Timeout",
                                      "FileFacts"};
  return c <= fsFileFacts ? names[c] : "?";
}

// Records every event of a client, in order, as short texts ("LoggedIn", "error 530",
// "reply 220", "log 4") next to the full data.
struct TFtpRecorder {
  struct TStatus {
    TFtpStatusCode Code;
    std::optional<std::string> Text;
    int64_t Bytes;  // BytesTransferred when raised
  };
  struct TError {
    int32_t Code;
    std::optional<std::string> Text;
  };
  std::vector<std::string> Events;
  std::vector<TStatus> Statuses;
  std::vector<TError> Errors;
  std::vector<std::string> Replies;
  std::vector<TFtpLogCode> Logs;
  std::vector<std::string> Notices;

  void Attach(TQpCustomFtpClient& c) {
    c.OnFtpStatus = [this](TQpCustomFtpClient* s, TFtpStatusCode code, const char* text) {
      if (code != fsProgress) Events.push_back(StatusName(code));
      Statuses.push_back({code, text ? std::optional<std::string>(text) : std::nullopt, s->BytesTransferred()});
    };
    c.OnFtpError = [this](TQpCustomFtpClient*, int32_t code, const char* text) {
      Events.push_back("error " + std::to_string(code));
      Errors.push_back({code, text ? std::optional<std::string>(text) : std::nullopt});
    };
    c.OnFtpReply = [this](TQpCustomFtpClient*, int32_t code, const char* text) {
      Events.push_back("reply " + std::to_string(code));
      Replies.push_back(text);
    };
    c.OnFtpLog = [this](TQpCustomFtpClient*, TFtpLogCode code) { Logs.push_back(code); };
    c.OnFtpNotice = [this](TQpCustomFtpClient*, const char* text) { Notices.push_back(text); };
  }

  size_t Count(TFtpStatusCode code) const {
    size_t n = 0;
    for (const auto& s : Statuses) n += s.Code == code;
    return n;
  }
  bool Has(TFtpStatusCode code) const { return Count(code) > 0; }
  const TStatus* Last(TFtpStatusCode code) const {
    for (auto it = Statuses.rbegin(); it != Statuses.rend(); ++it)
      if (it->Code == code) return &*it;
    return nullptr;
  }
  // Events without the replies, joined by blanks: the sequence the application sees.
  std::string Sequence() const {
    std::string s;
    for (const auto& e : Events) {
      if (e.rfind("reply ", 0) == 0) continue;
      if (!s.empty()) s += ' ';
      s += e;
    }
    return s;
  }
};

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 15000) {
  return host::WaitUntil(done, host::NowMs() + timeoutMs);
}

// Handles events for a while, for checks that something does not happen.
inline void Settle(int ms) { host::WaitMs(ms); }

// A scripted server's side of the login as the test sessions make it (user tester, password
// secret).
inline const std::vector<std::string> kLogin = {"send 220 ready", "expect USER tester", "send 331 password please",
                                                "expect PASS secret", "send 230 welcome"};

}  // namespace quodra::ftp::test
