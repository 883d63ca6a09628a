#pragma once
// When a failed fetch is tried again, and after how long: transient failures (the server
// busy, a lost connection, a time-out) are retried after a pause that doubles each time;
// permanent ones (login refused, no such file, an untrusted certificate) never are.
#include <cstdint>
#include <string>

#include "jobs/remote_side.h"

namespace quodra::jobs {

// Seconds to wait before retry number `attempt` (1 for the first): `firstDelay` doubled for
// each further retry, at most TJobProfile::kMaxRetryDelay; never negative.
int32_t RetryDelaySeconds(int32_t firstDelay, int32_t attempt);

// The kind of an FTP failure as the FTP client reports it (OnFtpError's code, a socket
// error number through OnWsError, -1 for the connect time-out).
TFailureKind FtpFailureKind(int32_t code);

// The log line of a retry: "Retry 2 of 5 in 20 s: <reason>".
std::string RetryLine(int32_t attempt, int32_t retries, int32_t delaySeconds, const std::string& reason);

}  // namespace quodra::jobs
