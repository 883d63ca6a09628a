#include "port/telnet_filter.h"

#include "port/qp_dispatch_log.h"

namespace quodra::port {
namespace {
constexpr uint8_t kCR = 13, kLF = 10, kNUL = 0;
}

void TTelnetFilter::Reset() {
  Phase = phData;
  Verb = 0;
  SbOption = -1;
  StateBinary = StateEcho = StateSga = tsOff;
}

uint8_t TTelnetFilter::OptionState(uint8_t option) const {
  switch (option) {
    case kTelnetOptBinary: return StateBinary;
    case kTelnetOptEcho: return StateEcho;
    case kTelnetOptSuppressGoAhead: return StateSga;
    default: return tsOff;
  }
}

void TTelnetFilter::SetOptionState(uint8_t option, uint8_t state) {
  switch (option) {
    case kTelnetOptBinary: StateBinary = state; break;
    case kTelnetOptEcho: StateEcho = state; break;
    case kTelnetOptSuppressGoAhead: StateSga = state; break;
    default: break;
  }
}

void TTelnetFilter::Log(uint8_t subtype, uint32_t data, const uint8_t* payload, uint32_t length) {
  if (OnLog) OnLog(subtype, data, payload, length);
}

void TTelnetFilter::Reply(uint8_t verb, uint8_t option) {
  const uint8_t bytes[3] = {kTelnetIAC, verb, option};
  if (OnSend) OnSend(bytes, 3);
  Log(static_cast<uint8_t>(lsSentWill + (verb - kTelnetWILL)), option);
}

void TTelnetFilter::Negotiate(uint8_t verb, uint8_t option) {
  Log(static_cast<uint8_t>(lsRecvWill + (verb - kTelnetWILL)), option);
  const bool known = option == kTelnetOptBinary || option == kTelnetOptEcho || option == kTelnetOptSuppressGoAhead;
  const uint8_t state = OptionState(option);
  switch (verb) {
    case kTelnetWILL:
      if (!known) {
        Reply(kTelnetDONT, option);
      } else if (state == tsRequested) {
        SetOptionState(option, tsOn);
      } else {
        Reply(kTelnetDO, option);
        if (option == kTelnetOptBinary) SetOptionState(option, tsOn);
      }
      break;
    case kTelnetWONT:
      if (!known) {
        Reply(kTelnetDONT, option);
      } else {
        if (state != tsRequested) Reply(kTelnetDONT, option);
        SetOptionState(option, tsOff);
      }
      break;
    case kTelnetDO:
      if (option == kTelnetOptTerminalType) {
        Reply(kTelnetWILL, option);
      } else if (option == kTelnetOptSuppressGoAhead) {
        if (state == tsRequested)
          SetOptionState(option, tsOn);
        else
          Reply(state == tsOn ? kTelnetWILL : kTelnetWONT, option);
      } else if (option == kTelnetOptBinary) {
        if (state == tsRequested) {
          SetOptionState(option, tsOn);
        } else {
          Reply(kTelnetWILL, option);
          SetOptionState(option, tsOn);
        }
      } else {
        Reply(kTelnetWONT, option);
      }
      break;
    case kTelnetDONT:
      if (option == kTelnetOptBinary || option == kTelnetOptSuppressGoAhead) {
        if (state != tsRequested) Reply(kTelnetWONT, option);
        SetOptionState(option, tsOff);
      } else {
        Reply(kTelnetWONT, option);
      }
      break;
    default: break;
  }
}

bool TTelnetFilter::HandleDataByte(uint8_t byte, uint8_t& out) {
  if (byte == kTelnetIAC) {
    Phase = phIac;
    return false;
  }
  // Outside binary mode the sender turned a bare CR into CR NUL: drop the NUL that follows.
  Phase = (byte == kCR && StateBinary == tsOff) ? phCr : phData;
  out = byte;
  return true;
}

bool TTelnetFilter::Feed(uint8_t byte, uint8_t& out) {
  switch (Phase) {
    case phData:
      return HandleDataByte(byte, out);
    case phCr:
      Phase = phData;
      if (byte == kNUL) return false;
      return HandleDataByte(byte, out);
    case phIac:
      if (byte == kTelnetIAC) {
        Phase = phData;
        out = kTelnetIAC;
        return true;
      }
      if (byte == kTelnetSB) {
        Phase = phSb;
        SbOption = -1;
        return false;
      }
      if (byte >= kTelnetWILL && byte <= kTelnetDONT) {
        Verb = byte;
        Phase = phVerb;
        return false;
      }
      Phase = phData;
      Log(lsTelnetCommand, byte);
      return false;
    case phVerb:
      Phase = phData;
      Negotiate(Verb, byte);
      return false;
    case phSb:
      if (byte == kTelnetIAC)
        Phase = phSbIac;
      else if (SbOption < 0)
        SbOption = byte;
      return false;
    case phSbIac:
      if (byte == kTelnetSE) {
        Phase = phData;
        if (SbOption == kTelnetOptTerminalType) {
          std::string reply = {char(kTelnetIAC), char(kTelnetSB), char(kTelnetOptTerminalType), char(0)};
          reply += TerminalType;
          reply += char(kTelnetIAC);
          reply += char(kTelnetSE);
          if (OnSend) OnSend(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
          Log(lsSentTerm, 0, reinterpret_cast<const uint8_t*>(TerminalType.data()),
              static_cast<uint32_t>(TerminalType.size()));
        }
        SbOption = -1;
        return false;
      }
      // IAC IAC inside a subnegotiation is a data byte of it; anything else stays inside too.
      if (SbOption < 0 && byte == kTelnetIAC) SbOption = byte;
      Phase = phSb;
      return false;
  }
  return false;
}

size_t TTelnetFilter::Filter(const uint8_t* in, size_t count, uint8_t* out) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    uint8_t b;
    if (Feed(in[i], b)) out[n++] = b;
  }
  return n;
}

bool TTelnetFilter::NeedsTransform(const uint8_t* data, size_t count) const {
  const bool binary = StateBinary != tsOff;
  for (size_t i = 0; i < count; ++i)
    if (data[i] == kTelnetIAC || (!binary && data[i] == kCR)) return true;
  return false;
}

size_t TTelnetFilter::Transform(const uint8_t* data, size_t count, uint8_t* out, size_t outRoom,
                                size_t& written) const {
  const bool binary = StateBinary != tsOff;
  written = 0;
  size_t taken = 0;
  for (; taken < count; ++taken) {
    uint8_t b = data[taken];
    bool doubled = b == kTelnetIAC;
    bool bareCr = !binary && b == kCR && !(taken + 1 < count && data[taken + 1] == kLF);
    size_t need = (doubled || bareCr) ? 2 : 1;
    if (outRoom - written < need) break;
    out[written++] = b;
    if (doubled) out[written++] = kTelnetIAC;
    if (bareCr) out[written++] = kNUL;
  }
  return taken;
}

}  // namespace quodra::port
