// How a fleet run ends: each module's result, the table that lists them, the
// process exit status and the closing verdict line, as pure functions so
// that every combination can be checked without a radio.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exit_status.h"
#include "json_events.h"
#include "version_policy.h"

namespace quillon::ota_tool {

struct ModuleResult {
  std::string identifier;
  std::string name;
  Outcome outcome = Outcome::ModuleNotFound;
  std::string detail;
  // Image bytes handed to the module, and the transfer's time.
  std::int64_t bytes = 0;
  double seconds = 0;
  // What the module said it runs and what the version policy made of it,
  // when the run asked (see UpdateSession::plan).
  std::optional<ModulePlan> plan;
};

// "success", or the outcome's name and its single-module status:
// "timed_out (exit 6)".
std::string result_text(const ModuleResult& result);

// The summary table, a line each: a header ("module  name  result  bytes
// time  speed"), one row per module in the order given, then, for every
// module that failed, a line with its identifier and why. Every header
// starts where its column does; numbers are right-aligned under it. The
// identifier is always given in full; a table wider than `columns` (0: no
// limit) leaves out the names, then the results' exit statuses, then gives
// a failed module's result as its exit status alone ("exit 6"), which the
// lines below explain.
std::vector<std::string> format_summary_table(const std::vector<ModuleResult>& results, std::size_t columns = 0);

// 0 when every module was updated or already current (or, with --dry-run,
// would be updated), kExitNothingToDo when every one was already current;
// the stop signal's status (130, 143) when the user stopped the run;
// otherwise kExitFleet: a refused module counts as not updated.
int fleet_exit_status(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped);

// The line that ends a fleet run: "quillon-ota: success: all 3 modules
// updated" ("1 module updated" for one), "quillon-ota: failed (exit 10): 1 of 3 modules not updated", or
// "quillon-ota: aborted (exit 130): interrupted (SIGINT): 1 of 3 modules
// updated".
std::string fleet_verdict_line(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped);

// One module's verdict for --json: "module", "name", "outcome",
// "exit_status", "summary", "detail", "bytes", "seconds", and with a plan
// those of add_plan_fields.
JsonEvent module_verdict(const ModuleResult& result);

// A plan row's JSON fields: "model", "version" (what it ran), "new_version"
// (read after the update; null when not read), "action", "reason".
void add_plan_fields(JsonEvent& fields, const ModulePlan& plan);

// The run's last JSON event's fields: "outcome" (success, nothing_to_do,
// failed, interrupted, terminated), "exit_status", "modules" (each module_verdict).
JsonEvent fleet_summary(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped);

}  // namespace quillon::ota_tool
