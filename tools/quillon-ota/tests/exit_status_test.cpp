#include "exit_status.h"

#include <gtest/gtest.h>

#include <set>

#include "quillon/ota/ota_codes.h"

namespace quillon::ota_tool {
namespace {

constexpr Outcome kAll[] = {Outcome::Success,         Outcome::UsageError,  Outcome::ModuleNotFound,
                            Outcome::ImageUnavailable, Outcome::ChecksumFailure, Outcome::TimedOut,
                            Outcome::ModuleRejected,  Outcome::LinkFailed,  Outcome::VerifyMismatch,
                            Outcome::DigestMismatch, Outcome::SignatureRefused, Outcome::AlreadyCurrent,
                            Outcome::PolicyRefused};

TEST(ExitStatusTest, EveryOutcomeHasItsOwnStatusAndOnlySuccessIsZero) {
  std::set<int> seen;
  for (Outcome outcome : kAll) {
    const int status = exit_status_for(outcome);
    EXPECT_TRUE(seen.insert(status).second) << "status " << status << " used twice";
    EXPECT_EQ(status == 0, outcome == Outcome::Success);
    EXPECT_LT(status, 126) << "126 and above mean other things to shells";
  }
}

TEST(ExitStatusTest, CompletionIsToldApartByThreadAndPhase) {
  // The watchdog's report is a time-out whatever code it carries.
  EXPECT_EQ(classify_completion(OTA_ERR_OTHER, true, true), Outcome::TimedOut);
  EXPECT_EQ(classify_completion(OTA_SUCCESS, true, true), Outcome::TimedOut);
  // Before the image was ready only the download can have failed.
  EXPECT_EQ(classify_completion(OTA_ERR_OTHER, false, false), Outcome::ImageUnavailable);
  // Afterwards, on the main thread, the code is the transfer's verdict.
  EXPECT_EQ(classify_completion(OTA_SUCCESS, false, true), Outcome::Success);
  EXPECT_EQ(classify_completion(OTA_ERR_CHECK_SUM_FAIL, false, true), Outcome::ChecksumFailure);
  EXPECT_EQ(classify_completion(OTA_ERR_OTHER, false, true), Outcome::ModuleRejected);
  EXPECT_EQ(classify_completion(0x7F, false, true), Outcome::ModuleRejected);
}

TEST(ExitStatusTest, TheVerdictLineNamesTheStatusOfAFailure) {
  EXPECT_EQ(verdict_line(Outcome::Success, "10 bytes"), "quillon-ota: success: firmware updated (10 bytes)");
  EXPECT_EQ(verdict_line(Outcome::ChecksumFailure, "bad ack"), "quillon-ota: failed (exit 5): checksum failure: bad ack");
}

}  // namespace
}  // namespace quillon::ota_tool
