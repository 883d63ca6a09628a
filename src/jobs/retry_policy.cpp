#include "retry_policy.h"

#include "jobs/job_profile.h"

namespace quodra::jobs {

int32_t RetryDelaySeconds(int32_t firstDelay, int32_t attempt) {
  int64_t delay = firstDelay < 0 ? 0 : firstDelay;
  for (int32_t i = 1; i < attempt && delay < TJobProfile::kMaxRetryDelay; ++i) delay *= 2;
  return static_cast<int32_t>(delay < TJobProfile::kMaxRetryDelay ? delay : TJobProfile::kMaxRetryDelay);
}

TFailureKind FtpFailureKind(int32_t code) {
  // The client's own codes: 101 the local file cannot be written (trying again writes the
  // same disk), 102 TLS refused or a certificate that does not verify, 103 a transfer shorter
  // than announced (a cut connection), 104 one longer (the file grew meanwhile).
  if (code == 101 || code == 102) return TFailureKind::Permanent;
  if (code == 103 || code == 104 || code == -1) return TFailureKind::Transient;
  if (code >= 400 && code < 500) return TFailureKind::Transient;
  if (code >= 500 && code < 600) return TFailureKind::Permanent;
  // Socket error numbers (10050-10065: network down, reset, time-out, refused, host
  // unreachable) and name look-ups that failed for the moment (11002).
  if ((code >= 10050 && code <= 10065) || code == 11002) return TFailureKind::Transient;
  return TFailureKind::Permanent;
}

std::string RetryLine(int32_t attempt, int32_t retries, int32_t delaySeconds, const std::string& reason) {
  return "Retry " + std::to_string(attempt) + " of " + std::to_string(retries) + " in " +
         std::to_string(delaySeconds) + " s: " + reason;
}

}  // namespace quodra::jobs
