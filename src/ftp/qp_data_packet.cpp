#include "ftp/qp_data_packet.h"

#include <algorithm>
#include <exception>

#include "ftp/qp_data_packet_manager.h"
#include "port/qp_dispatch_log.h"
#include "port/qp_error_codes.h"
#include "port/qp_except.h"

namespace quodra::ftp {

using port::TQpBaseComponent;
using port::TQpCustomComPort;

namespace {
uint8_t UpperAscii(uint8_t b) { return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 32) : b; }
}  // namespace

void BuildPacketPattern(const std::string& text, bool ignoreCase, std::string& match, std::string& mask) {
  match.clear();
  mask.clear();
  std::string src = text;
  if (ignoreCase)
    for (char& c : src) c = static_cast<char>(UpperAscii(static_cast<uint8_t>(c)));
  for (size_t k = 0; k < src.size(); ++k) {
    char c = src[k];
    if (c == '\\') {
      if (k + 1 >= src.size()) break;  // a trailing single backslash is dropped
      match += src[++k];
      mask += '0';
    } else if (c == '?') {
      match += c;
      mask += '1';
    } else {
      match += c;
      mask += '0';
    }
  }
}

TQpDataPacket::TQpDataPacket(TQpBaseComponent* owner)
    : TQpBaseComponent(owner), Alive(std::make_shared<bool>(true)) {}

TQpDataPacket::~TQpDataPacket() {
  *Alive = false;
  OnPacket = nullptr;
  OnStringPacket = nullptr;
  OnTimeout = nullptr;
  SetComPort(nullptr);
}

// --- properties -----------------------------------------------------------------------------

void TQpDataPacket::SetEnabled(bool on) {
  if (on == EnabledProp) return;
  if (on) {
    Start();  // throws on inconsistent settings; Enabled stays false then
    EnabledProp = true;
  } else {
    EnabledProp = false;
    Stop();
  }
}

void TQpDataPacket::SetEndString(const std::string& s) {
  Stop();
  EndStringProp = s;
  if (EnabledProp) Restart();
}

void TQpDataPacket::SetEndCond(TPacketEndSet e) {
  Stop();
  EndCondProp = e;
  if (EnabledProp) Restart();
}

void TQpDataPacket::Restart() {
  try {
    Start();
  } catch (...) {
    EnabledProp = false;
    throw;
  }
}

void TQpDataPacket::SetComPort(TQpCustomComPort* port) {
  if (port == Port) return;
  if (Port) {
    Stop();
    RemoveFreeNotification(Port);
    TQpDataPacketManager* m = Manager;
    Manager = nullptr;
    if (m) m->RemovePacket(this);
  }
  Port = port;
  if (Port) {
    FreeNotification(Port);
    Manager = TQpDataPacketManager::ForPort(Port, true);
    Manager->AddPacket(this);
    if (EnabledProp && Manager->Enabled()) {
      try {
        Start();
      } catch (...) {
        EnabledProp = false;
      }
    }
  }
}

void TQpDataPacket::Loaded() {
  if (EnablePending) {
    EnablePending = false;
    try {
      Start();
    } catch (...) {
      EnabledProp = false;
      throw;
    }
  }
}

void TQpDataPacket::Notification(TQpBaseComponent* component, port::TOperation operation) {
  if (operation == port::opRemove && component == Port) {
    SetComPort(nullptr);
  } else if (operation == port::opInsert && !Port) {
    if (auto* p = dynamic_cast<TQpCustomComPort*>(component)) SetComPort(p);
  }
}

// --- events ---------------------------------------------------------------------------------

void TQpDataPacket::DoPacket(const char* data, int size) {
  if (OnPacket) OnPacket(this, data, size);
}

void TQpDataPacket::DoStringPacket(const std::string& data) {
  if (OnStringPacket) OnStringPacket(this, data);
}

void TQpDataPacket::DoTimeout() {
  if (OnTimeout) OnTimeout(this);
}

void TQpDataPacket::LogEntry(uint8_t subtype, const std::string* bytes) {
  if (!Manager) return;
  port::TQpBaseDispatcher* d = Manager->Dispatcher();
  if (!d || !d->LogOn()) return;
  if (bytes) {
    d->AddDispatchEntry(port::ltPacket, subtype, static_cast<uint32_t>(bytes->size()), bytes->data(),
                        static_cast<uint32_t>(bytes->size()));
  } else {
    std::string text = "Packet:" + Name();
    d->AddDispatchEntry(port::ltPacket, subtype, 0, text.data(), static_cast<uint32_t>(text.size()));
  }
}

// --- starting and stopping ------------------------------------------------------------------

void TQpDataPacket::ResetCounters() {
  SizeLimit = PacketSizeProp > 0 ? static_cast<size_t>(PacketSizeProp) : 0;
  StartMatchPos = 1;
  StartIndex = -1;
  EndMatchPos = 1;
  EndAnchor = -1;
}

void TQpDataPacket::Start() {
  if (Designing()) return;
  if (Loading() || (Manager && Manager->Suspended())) {
    EnablePending = true;
    return;
  }
  if (!Manager || !Manager->Enabled()) {
    ResetCounters();
    return;
  }

  // Every setting is checked before anything changes, so a refused start leaves no trace.
  std::string startMatch, startMask, endMatch, endMask;
  if (StartCondProp == scString) {
    if (StartStringProp.empty()) port::RaiseForCode(port::ecStartStringEmpty);
    BuildPacketPattern(StartStringProp, IgnoreCaseProp, startMatch, startMask);
    if (startMatch.empty()) port::RaiseForCode(port::ecStartStringEmpty);
    if (EndCondProp.Contains(ecPacketSize) && static_cast<long>(startMatch.size()) > PacketSizeProp)
      port::RaiseForCode(port::ecPacketTooSmall);
  } else if (EndCondProp.Empty()) {
    port::RaiseForCode(port::ecNoEndCharCount);
  }
  if (EndCondProp.Contains(ecString)) {
    if (EndStringProp.empty()) port::RaiseForCode(port::ecEmptyEndString);
    BuildPacketPattern(EndStringProp, IgnoreCaseProp, endMatch, endMask);
    if (endMatch.empty()) port::RaiseForCode(port::ecEmptyEndString);
  }
  if (EndCondProp.Contains(ecPacketSize) && PacketSizeProp <= 0) port::RaiseForCode(port::ecZeroSizePacket);

  LogEntry(port::lsPacketEnable);
  ResetCounters();
  if (EndCondProp.Contains(ecString)) {
    EndMatch = endMatch;
    EndMask = endMask;
    LogEntry(port::lsEndStr, &EndStringProp);
  }
  if (StartCondProp == scString) {
    StartMatch = startMatch;
    StartMask = startMask;
    LogEntry(port::lsStartStr, &StartStringProp);
    SetMode(dpWaiting);
  } else if (Manager->OwnerPacket() && Manager->OwnerPacket() != this) {
    StartPending = true;
  } else {
    SetMode(dpCollecting);
  }
}

void TQpDataPacket::Stop() {
  if (!EnablePending && !StartPending && ModeProp == dpIdle) return;
  EnablePending = false;
  StartPending = false;
  SetMode(dpIdle);
  LogEntry(port::lsPacketDisable);
}

void TQpDataPacket::SetMode(TPacketMode mode) {
  if (mode == ModeProp) return;
  TPacketMode old = ModeProp;
  ModeProp = mode;
  LogEntry(mode == dpIdle ? port::lsIdle : mode == dpWaiting ? port::lsWaiting : port::lsCollecting);
  if (!Manager) return;
  if (mode == dpCollecting) {
    Manager->TakeOwnership(this);
  } else if (old == dpCollecting && Manager->OwnerPacket() == this) {
    Manager->ReleaseOwnership(this);
  }
}

bool TQpDataPacket::HasPartialStart() const {
  return EnabledProp && ModeProp == dpWaiting && StartIndex >= 0;
}

bool TQpDataPacket::ByteMatches(const std::string& pat, const std::string& mask, size_t pos, uint8_t b) const {
  if (pos >= pat.size()) return false;
  if (mask[pos] == '1') return true;
  if (IgnoreCaseProp) b = UpperAscii(b);
  return static_cast<uint8_t>(pat[pos]) == b;
}

// --- scanning -------------------------------------------------------------------------------

void TQpDataPacket::Scan(size_t i) {
  TQpDataPacketManager* m = Manager;
  if (!m) return;
  const std::string& buf = m->Buf;
  while (EnabledProp && i < buf.size()) {
    if (ModeProp == dpIdle) {
      if (!StartPending) return;
      StartPending = false;
      SetMode(dpCollecting);
      if (ModeProp != dpCollecting) return;
      continue;
    }
    const uint8_t b = static_cast<uint8_t>(buf[i]);

    if (ModeProp == dpCollecting) {
      if (StartIndex < 0) StartIndex = static_cast<long>(i);
      if (EndCondProp.Contains(ecPacketSize) && i - static_cast<size_t>(StartIndex) + 1 >= SizeLimit) {
        Complete(i, false);
        return;
      }
      if (EndCondProp.Contains(ecString)) {
        if (EndMatchPos == 1) EndAnchor = static_cast<long>(i);
        if (ByteMatches(EndMatch, EndMask, EndMatchPos - 1, b)) {
          if (EndMatchPos == EndMatch.size()) {
            Complete(i, true);
            return;
          }
          ++EndMatchPos;
        } else {
          // The failed partial match may hide an occurrence that began inside it: resume with
          // the earliest later start whose bytes up to here still match the pattern's head.
          EndMatchPos = 1;
          long anchor = -1;
          for (size_t a = static_cast<size_t>(EndAnchor) + 1; a <= i; ++a) {
            size_t len = i - a + 1;
            if (len > EndMatch.size()) continue;
            bool ok = true;
            for (size_t k = 0; k < len && ok; ++k) ok = ByteMatches(EndMatch, EndMask, k, static_cast<uint8_t>(buf[a + k]));
            if (ok) {
              anchor = static_cast<long>(a);
              EndMatchPos = len + 1;
              break;
            }
          }
          EndAnchor = anchor;
          if (EndMatchPos > EndMatch.size()) {
            Complete(i, true);
            return;
          }
        }
      }
      ++i;
      continue;
    }

    // Waiting for the start string.
    if (ByteMatches(StartMatch, StartMask, StartMatchPos - 1, b)) {
      if (StartIndex < 0) StartIndex = static_cast<long>(i);
      if (StartMatchPos == StartMatch.size()) {
        if (EndCondProp.Empty()) {
          Complete(i, false);
          return;
        }
        // A size equal to the start string's length ends the packet with its last byte.
        if (EndCondProp.Contains(ecPacketSize) && i - static_cast<size_t>(StartIndex) + 1 >= SizeLimit) {
          Complete(i, false);
          return;
        }
        SetMode(dpCollecting);
        if (ModeProp != dpCollecting) return;
        EndMatchPos = 1;
        EndAnchor = -1;
        ++i;
        continue;
      }
      ++StartMatchPos;
      ++i;
    } else if (StartIndex >= 0) {
      // Try every start position: go back to the byte after the failed start.
      i = static_cast<size_t>(StartIndex) + 1;
      StartMatchPos = 1;
      StartIndex = -1;
    } else {
      ++i;
    }
  }
}

void TQpDataPacket::Complete(size_t last, bool endedByString) {
  TQpDataPacketManager* m = Manager;
  if (!m || StartIndex < 0) return;
  std::shared_ptr<bool> alive = Alive;
  std::shared_ptr<bool> managerAlive = m->Alive;
  const size_t start = static_cast<size_t>(StartIndex);
  const size_t full = last - start + 1;

  m->Suspend();
  Stop();

  size_t from = start;
  size_t len = full;
  if (StartCondProp == scString && !IncludeStringsProp) {
    size_t s = std::min(len, StartMatch.size());
    from += s;
    len -= s;
  }
  if (endedByString && !IncludeStringsProp) len -= std::min(len, EndMatch.size());
  // A copy: a handler may change the buffer (a port closed from inside the event).
  const std::string data = m->Buf.substr(from, len);
  const uint64_t generation = m->BufGeneration;

  if (endedByString) {
    LogEntry(port::lsStringPacket);
    LogEntry(port::lsStringPacket, &data);
  } else {
    LogEntry(port::lsSizePacket, &data);
  }
  FoundFlag = true;
  FoundLen = static_cast<int>(len);

  try {
    DoPacket(data.data(), static_cast<int>(data.size()));
    if (*alive) DoStringPacket(data);
  } catch (const std::exception&) {
    // The manager must come out of suspension whatever the handler did.
    if (*managerAlive) {
      if (m->BufGeneration == generation) m->ConsumeFront(std::min(start + full, m->Buf.size()));
      if (*alive && !AutoEnableProp) EnabledProp = false;
      m->Resume();
    }
    throw;
  }

  if (!*managerAlive) return;
  if (m->BufGeneration == generation) m->ConsumeFront(std::min(start + full, m->Buf.size()));
  if (*alive && !AutoEnableProp) EnabledProp = false;
  // What follows the packet is looked at again from the start.
  if (!m->Buf.empty()) {
    m->PendingProcess = true;
    m->PendingFrom = 0;
  }
  m->Resume();
}

void TQpDataPacket::TimeoutExpired() {
  LogEntry(port::lsPacketTimeout);
  Stop();
  TimedOutFlag = true;
  EnabledProp = false;  // not re-enabled, whatever AutoEnable says
  DoTimeout();
}

}  // namespace quodra::ftp
