#include "exit_status.h"

#include "quillon/ota/ota_codes.h"

namespace quillon::ota_tool {

int exit_status_for(Outcome outcome) {
  switch (outcome) {
    case Outcome::Success: return kExitSuccess;
    case Outcome::UsageError: return kExitUsage;
    case Outcome::ModuleNotFound: return kExitNotFound;
    case Outcome::ImageUnavailable: return kExitImage;
    case Outcome::ChecksumFailure: return kExitChecksum;
    case Outcome::TimedOut: return kExitTimeout;
    case Outcome::ModuleRejected: return kExitRejected;
    case Outcome::LinkFailed: return kExitLink;
    case Outcome::VerifyMismatch: return kExitVerify;
    case Outcome::DigestMismatch: return kExitDigest;
    case Outcome::SignatureRefused: return kExitSignature;
    case Outcome::AlreadyCurrent: return kExitNothingToDo;
    case Outcome::PolicyRefused: return kExitPolicyRefused;
    case Outcome::Planned: return kExitSuccess;
    case Outcome::Interrupted: return kExitInterrupted;
    case Outcome::Terminated: return kExitTerminated;
  }
  return kExitLink;
}

Outcome classify_completion(std::int64_t result, bool from_watchdog_thread, bool image_ready) {
  // Only the watchdog reports from its own thread, and only a time-out.
  if (from_watchdog_thread) return Outcome::TimedOut;
  if (!image_ready) return Outcome::ImageUnavailable;
  if (result == OTA_SUCCESS) return Outcome::Success;
  if (result == OTA_ERR_CHECK_SUM_FAIL) return Outcome::ChecksumFailure;
  return Outcome::ModuleRejected;
}

Outcome image_failure_outcome(const ImageFailure& failure, Outcome outcome, std::int64_t result) {
  if (failure.reason == ImageFailureReason::DigestMismatch) {
    return outcome == Outcome::ImageUnavailable ? Outcome::DigestMismatch : outcome;
  }
  if (outcome == Outcome::ModuleRejected && result == OTA_ERR_OTHER) return Outcome::ImageUnavailable;
  return outcome;
}

std::string outcome_summary(Outcome outcome) {
  switch (outcome) {
    case Outcome::Success: return "firmware updated";
    case Outcome::UsageError: return "usage error";
    case Outcome::ModuleNotFound: return "module not found";
    case Outcome::ImageUnavailable: return "firmware image not available";
    case Outcome::ChecksumFailure: return "checksum failure";
    case Outcome::TimedOut: return "timed out: the module stopped answering";
    case Outcome::ModuleRejected: return "the module rejected the image";
    case Outcome::LinkFailed: return "BLE link failed";
    case Outcome::VerifyMismatch: return "the module does not hold the image";
    case Outcome::DigestMismatch: return "image digest mismatch";
    case Outcome::SignatureRefused: return "image signature refused";
    case Outcome::AlreadyCurrent: return "nothing to do";
    case Outcome::PolicyRefused: return "refused by the version policy";
    case Outcome::Planned: return "would be updated (dry run)";
    case Outcome::Interrupted: return "interrupted (SIGINT)";
    case Outcome::Terminated: return "terminated (SIGTERM)";
  }
  return "unknown outcome";
}

std::string outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::Success: return "success";
    case Outcome::UsageError: return "usage_error";
    case Outcome::ModuleNotFound: return "module_not_found";
    case Outcome::ImageUnavailable: return "image_unavailable";
    case Outcome::ChecksumFailure: return "checksum_failure";
    case Outcome::TimedOut: return "timed_out";
    case Outcome::ModuleRejected: return "module_rejected";
    case Outcome::LinkFailed: return "link_failed";
    case Outcome::VerifyMismatch: return "verify_mismatch";
    case Outcome::DigestMismatch: return "digest_mismatch";
    case Outcome::SignatureRefused: return "signature_refused";
    case Outcome::AlreadyCurrent: return "already_current";
    case Outcome::PolicyRefused: return "policy_refused";
    case Outcome::Planned: return "planned";
    case Outcome::Interrupted: return "interrupted";
    case Outcome::Terminated: return "terminated";
  }
  return "unknown";
}

std::string verdict_text(Outcome outcome, const std::string& detail) {
  if (outcome == Outcome::Success) {
    return "success: " + outcome_summary(outcome) + (detail.empty() ? "" : " (" + detail + ")");
  }
  // Neither is a failure: the module is as it should be, or would be made so.
  if (outcome == Outcome::AlreadyCurrent) {
    return "nothing to do (exit " + std::to_string(kExitNothingToDo) + "): " + (detail.empty() ? "already current" : detail);
  }
  if (outcome == Outcome::Planned) return "dry run: would update" + (detail.empty() ? "" : " (" + detail + ")");
  const bool stopped = outcome == Outcome::Interrupted || outcome == Outcome::Terminated;
  return std::string(stopped ? "aborted" : "failed") + " (exit " + std::to_string(exit_status_for(outcome)) +
         "): " + outcome_summary(outcome) + (detail.empty() ? "" : ": " + detail);
}

std::string verdict_line(Outcome outcome, const std::string& detail) {
  return "quillon-ota: " + verdict_text(outcome, detail);
}

}  // namespace quillon::ota_tool
