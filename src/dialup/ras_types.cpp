#include "dialup/ras_types.h"

namespace quodra::dialup {

bool DialParamsFit(const TRasDialParams& p) {
  return p.EntryName.size() <= kRasMaxEntryName && p.PhoneNumber.size() <= kRasMaxPhoneNumber &&
         p.CallBackNumber.size() <= kRasMaxCallbackNumber && p.UserName.size() <= kRasMaxUserName &&
         p.Password.size() <= kRasMaxPassword && p.Domain.size() <= kRasMaxDomain;
}

uint32_t DialExtensionOptions(const TQpRasDialOptions& options, TQpRasSpeakerMode speaker,
                              TQpRasCompressionMode compression) {
  uint32_t bits = 0;
  for (TQpRasDialOption o : options) {
    switch (o) {
      case doPrefixSuffix: bits |= kRdeoUsePrefixSuffix; break;
      case doPausedStates: bits |= kRdeoPausedStates; break;
      case doDisableConnectedUI: bits |= kRdeoDisableConnectedUI; break;
      case doDisableReconnectUI: bits |= kRdeoDisableReconnectUI; break;
      case doNoUser: bits |= kRdeoNoUser; break;
      case doPauseOnScript: bits |= kRdeoPauseOnScript; break;
    }
  }
  // "Ignore" means "do not use the entry's own setting": the explicit modes override it.
  if (speaker != smDefault) {
    bits |= kRdeoIgnoreModemSpeaker;
    if (speaker == smSpeakerOn) bits |= kRdeoSetModemSpeaker;
  }
  if (compression != cmDefault) {
    bits |= kRdeoIgnoreSoftwareCompression;
    if (compression == cmCompressionOn) bits |= kRdeoSetSoftwareCompression;
  }
  return bits;
}

}  // namespace quodra::dialup
