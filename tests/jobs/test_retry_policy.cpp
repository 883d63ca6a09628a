// Which failures a fetch job tries again and how long it waits: a row per class of failure
// as the FTP client reports it, and the growth of the pause up to its cap.
#include <gtest/gtest.h>

#include "jobs/retry_policy.h"

using namespace quodra::jobs;

TEST(RetryPolicy, TransientFailuresAreRetriedPermanentOnesNot) {
  const struct {
    const char* What;
    int32_t Code;
    TFailureKind Kind;
  } rows[] = {
      {"421 too many users", 421, TFailureKind::Transient},
      {"425 data connection failed", 425, TFailureKind::Transient},
      {"450 file busy", 450, TFailureKind::Transient},
      {"connection refused", 10061, TFailureKind::Transient},
      {"connection reset", 10054, TFailureKind::Transient},
      {"socket time-out", 10060, TFailureKind::Transient},
      {"connect time-out", -1, TFailureKind::Transient},
      {"short transfer", 103, TFailureKind::Transient},
      {"530 login refused", 530, TFailureKind::Permanent},
      {"550 no such file", 550, TFailureKind::Permanent},
      {"certificate not verified", 102, TFailureKind::Permanent},
      {"local file not writable", 101, TFailureKind::Permanent},
      {"unknown host", 11001, TFailureKind::Permanent},
  };
  for (const auto& r : rows) EXPECT_EQ(FtpFailureKind(r.Code), r.Kind) << r.What;
}

TEST(RetryPolicy, DelayDoublesUpToFiveMinutes) {
  const struct {
    int32_t First, Attempt, Seconds;
  } rows[] = {{10, 1, 10}, {10, 2, 20}, {10, 3, 40}, {10, 6, 300}, {10, 1000, 300},
              {0, 5, 0},   {-4, 2, 0},  {400, 1, 300}, {1, 31, 300}};
  for (const auto& r : rows) EXPECT_EQ(RetryDelaySeconds(r.First, r.Attempt), r.Seconds) << r.First << " " << r.Attempt;
  EXPECT_EQ(RetryLine(2, 5, 20, "421 Too many users"), "Retry 2 of 5 in 20 s: 421 Too many users");
}
