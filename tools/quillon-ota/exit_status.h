// How a run of quillon-ota ends: the outcome, the status the process exits
// with (one per kind of failure, so scripts can tell them apart) and the
// words of the closing verdict line.
#pragma once

#include <cstdint>
#include <string>

#include "exit_codes.h"
#include "quillon/ota/image_failure.h"

namespace quillon::ota_tool {

enum class Outcome {
  Success,
  UsageError,
  ModuleNotFound,
  ImageUnavailable,   // the file cannot be read or the download failed
  ChecksumFailure,
  TimedOut,
  ModuleRejected,     // the module's END carried a verdict other than success
  LinkFailed,         // connection refused or lost, OTA service missing
  VerifyMismatch,     // the module does not hold exactly the image
  DigestMismatch,     // the image is not the one --sha256 names; nothing sent
  SignatureRefused,   // no valid signature by a trusted key; nothing connected
  AlreadyCurrent,     // the module runs the image's version already; nothing sent
  PolicyRefused,      // a downgrade, or an image for another model; nothing sent
  Planned,            // --dry-run: the module would be updated; nothing sent
  Interrupted,        // the user pressed Ctrl-C (SIGINT)
  Terminated,         // SIGTERM
};

// Process exit statuses; 0 only for a transfer the module accepted (or,
// with --dry-run, one that would be made).
enum ExitStatus : int {
  kExitSuccess = tools::kExitSuccess,
  kExitUsage = tools::kExitUsage,
  kExitNotFound = 3,
  kExitImage = 4,
  kExitChecksum = 5,
  kExitTimeout = 6,
  kExitRejected = 7,
  kExitLink = 8,
  kExitVerify = 9,
  // A fleet run in which one or more modules were not updated; each one's
  // own status is in the summary.
  kExitFleet = 10,
  kExitDigest = 11,
  kExitSignature = 12,
  // Nothing to do: every module already runs the image's version. Apart
  // from the failures above, so that a script's rerun can tell "done
  // before" from "done now" and from "failed".
  kExitNothingToDo = 20,
  // The version policy refused the module: the image would downgrade it,
  // or is for another model.
  kExitPolicyRefused = 21,
  // As a shell reports a process ended by the signal: 128 + its number.
  kExitInterrupted = tools::kExitInterrupted,
  kExitTerminated = tools::kExitTerminated,
};

int exit_status_for(Outcome outcome);

// What an OTA_STATE_COMPLETED report means. The report carries only a
// result code, and OTA_ERR_OTHER has three sources: the download failing
// (before the image was ready), the watchdog (on its own thread) and the
// module's own verdict (inside pkt_received).
Outcome classify_completion(std::int64_t result, bool from_watchdog_thread, bool image_ready);

// What the controller's own failure to have the image (its image_failure(),
// reported with that OTA_STATE_COMPLETED) makes of the `outcome`
// classify_completion found for `result`: a refused digest is
// DigestMismatch, an image that could not be had or read on is
// ImageUnavailable rather than the module's verdict.
Outcome image_failure_outcome(const ImageFailure& failure, Outcome outcome, std::int64_t result);

// A short sentence saying what went wrong (or right), without the details
// of this run.
std::string outcome_summary(Outcome outcome);

// A stable one-word name for scripts ("success", "timed_out", ...).
std::string outcome_name(Outcome outcome);

// One module's verdict without the program's name: "success: firmware
// updated (<detail>)", "failed (exit N): <summary>: <detail>",
// "aborted (exit N): ...", "nothing to do (exit 20): already V" or "dry
// run: would update (<detail>)" (a fleet run tags it with the module).
std::string verdict_text(Outcome outcome, const std::string& detail);

// The one-line verdict that ends every run:
// "quillon-ota: success: firmware updated (<detail>)" or
// "quillon-ota: failed (exit N): <summary>: <detail>", or for a run the
// user stopped "quillon-ota: aborted (exit N): <summary>: <detail>".
std::string verdict_line(Outcome outcome, const std::string& detail);

}  // namespace quillon::ota_tool
