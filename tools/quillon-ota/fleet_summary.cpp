#include "fleet_summary.h"

#include <algorithm>
#include <cstdio>

#include "progress_format.h"
#include "terminal_text.h"

namespace quillon::ota_tool {
namespace {

std::size_t counted(const std::vector<ModuleResult>& results, Outcome outcome) {
  return static_cast<std::size_t>(
      std::count_if(results.begin(), results.end(), [outcome](const auto& r) { return r.outcome == outcome; }));
}

std::size_t succeeded(const std::vector<ModuleResult>& results) { return counted(results, Outcome::Success); }

// A module that was updated, needs no update, or (--dry-run) would be
// updated: none of them holds a fleet run back.
bool settled(const ModuleResult& result) {
  return result.outcome == Outcome::Success || result.outcome == Outcome::AlreadyCurrent ||
         result.outcome == Outcome::Planned;
}

// The module's version for the table: "1.0 → 2.0" once it said its new
// one, else what it ran, else "-".
std::string version_cell(const ModuleResult& result) {
  if (!result.plan) return "-";
  const auto& running = result.plan->facts.firmware_revision;
  if (result.plan->new_version) return running.value_or("?") + " \u2192 " + *result.plan->new_version;
  return running && !running->empty() ? *running : "-";
}

std::string modules_text(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " module" : " modules");
}

using tools::text_columns;

}  // namespace

std::string result_text(const ModuleResult& result) {
  if (settled(result)) return outcome_name(result.outcome);
  return outcome_name(result.outcome) + " (exit " + std::to_string(exit_status_for(result.outcome)) + ")";
}

namespace {

// How much of each module's result the table gives, fullest first.
enum class Detail { Full, NoName, OutcomeOnly, ExitOnly };

std::vector<std::string> summary_lines(const std::vector<ModuleResult>& results, Detail detail) {
  std::vector<std::string> header{"module", "name", "result", "bytes", "time", "speed"};
  // Where the run asked the modules what they run, their model and version.
  const bool planned = std::any_of(results.begin(), results.end(), [](const auto& r) { return r.plan.has_value(); });
  if (planned) header.insert(header.begin() + 2, {"model", "version"});
  std::vector<std::vector<std::string>> rows;
  for (const auto& r : results) {
    char time[32] = "-";
    std::string speed = "-";
    if (r.seconds > 0) {
      std::snprintf(time, sizeof time, "%.1f s", r.seconds);
      speed = format_bytes(static_cast<std::int64_t>(static_cast<double>(r.bytes) / r.seconds)) + "/s";
    }
    std::string result = result_text(r);
    if (!settled(r) && detail == Detail::OutcomeOnly) result = outcome_name(r.outcome);
    if (!settled(r) && detail == Detail::ExitOnly) {
      result = "exit " + std::to_string(exit_status_for(r.outcome));
    }
    std::vector<std::string> row{r.identifier, r.name.empty() ? "-" : tools::printable(r.name), result,
                                 std::to_string(r.bytes), time, speed};
    if (planned) {
      const std::string model = r.plan && r.plan->facts.model && !r.plan->facts.model->empty() ? *r.plan->facts.model : "-";
      row.insert(row.begin() + 2, {model, version_cell(r)});
    }
    rows.push_back(std::move(row));
  }
  if (detail != Detail::Full) {
    header.erase(header.begin() + 1);
    for (auto& row : rows) row.erase(row.begin() + 1);
  }
  const std::size_t first_number = header.size() - 3;
  std::vector<std::size_t> width(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto& row : rows) width[c] = std::max(width[c], text_columns(row[c]));
  }
  // Numbers are right-aligned, words and every header left-aligned.
  const auto line = [&](const std::vector<std::string>& cells, bool is_header) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) text += "  ";
      text += c >= first_number && !is_header ? tools::right_aligned(cells[c], width[c]) : tools::left_aligned(cells[c], width[c]);
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  std::vector<std::string> lines{line(header, true)};
  for (const auto& row : rows) lines.push_back(line(row, false));
  return lines;
}

}  // namespace

std::vector<std::string> format_summary_table(const std::vector<ModuleResult>& results, std::size_t columns) {
  std::vector<std::string> lines;
  for (const Detail detail : {Detail::Full, Detail::NoName, Detail::OutcomeOnly, Detail::ExitOnly}) {
    lines = summary_lines(results, detail);
    const bool fits = std::all_of(lines.begin(), lines.end(), [&](const auto& l) { return text_columns(l) <= columns; });
    if (columns == 0 || fits) break;
  }
  for (const auto& r : results) {
    if (r.outcome == Outcome::Success) continue;
    lines.push_back(r.identifier + ": " + outcome_summary(r.outcome) + (r.detail.empty() ? "" : ": " + r.detail));
  }
  return lines;
}

int fleet_exit_status(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped) {
  if (stopped) return exit_status_for(*stopped);
  if (results.empty() || !std::all_of(results.begin(), results.end(), settled)) return kExitFleet;
  if (counted(results, Outcome::AlreadyCurrent) == results.size()) return kExitNothingToDo;
  return kExitSuccess;
}

std::string fleet_verdict_line(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped) {
  const int status = fleet_exit_status(results, stopped);
  const std::size_t ok = succeeded(results);
  const std::size_t current = counted(results, Outcome::AlreadyCurrent);
  const std::size_t planned = counted(results, Outcome::Planned);
  const std::string already = current == 0 ? "" : ", " + std::to_string(current) + " already current";
  if (stopped) {
    return "quillon-ota: aborted (exit " + std::to_string(status) + "): " + outcome_summary(*stopped) + ": " +
           std::to_string(ok) + " of " + modules_text(results.size()) + " updated" + already;
  }
  if (status == kExitNothingToDo) {
    return "quillon-ota: nothing to do (exit " + std::to_string(status) + "): " +
           (results.size() == 1 ? std::string("the module already runs") : "all " + modules_text(results.size()) + " already run") +
           " the image's version";
  }
  if (status == kExitSuccess && planned > 0) {
    return "quillon-ota: dry run: " + std::to_string(planned) + " of " + modules_text(results.size()) +
           " would be updated" + already + "; nothing was sent";
  }
  if (status == kExitSuccess) {
    if (current > 0) return "quillon-ota: success: " + modules_text(ok) + " updated" + already;
    return "quillon-ota: success: " + std::string(results.size() == 1 ? "" : "all ") + modules_text(results.size()) +
           " updated";
  }
  const auto unsettled = static_cast<std::size_t>(std::count_if(results.begin(), results.end(), [](const auto& r) { return !settled(r); }));
  return "quillon-ota: failed (exit " + std::to_string(status) + "): " + std::to_string(unsettled) + " of " +
         modules_text(results.size()) + " not updated" + already;
}

JsonEvent module_verdict(const ModuleResult& result) {
  JsonEvent verdict{{"module", result.identifier},
                    {"name", result.name},
                    {"outcome", outcome_name(result.outcome)},
                    {"exit_status", exit_status_for(result.outcome)},
                    {"summary", outcome_summary(result.outcome)},
                    {"detail", result.detail},
                    {"bytes", result.bytes},
                    {"seconds", result.seconds}};
  if (result.plan) add_plan_fields(verdict, *result.plan);
  return verdict;
}

void add_plan_fields(JsonEvent& fields, const ModulePlan& plan) {
  const auto or_null = [](const std::optional<std::string>& text) { return text ? JsonEvent(*text) : JsonEvent(nullptr); };
  fields["model"] = or_null(plan.facts.model);
  fields["version"] = or_null(plan.facts.firmware_revision);
  fields["new_version"] = or_null(plan.new_version);
  fields["action"] = plan_action_name(plan.decision.action);
  fields["reason"] = plan.decision.reason;
}

JsonEvent fleet_summary(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped) {
  const int status = fleet_exit_status(results, stopped);
  JsonEvent modules = JsonEvent::array();
  for (const auto& r : results) modules.push_back(module_verdict(r));
  return {{"outcome", stopped                        ? outcome_name(*stopped)
                     : status == kExitSuccess           ? "success"
                     : status == kExitNothingToDo       ? "nothing_to_do"
                                                        : "failed"},
          {"exit_status", status},
          {"modules", std::move(modules)}};
}

}  // namespace quillon::ota_tool
