#include "fleet_summary.h"

#include <algorithm>
#include <cstdio>

#include "progress_format.h"
#include "terminal_text.h"

namespace quillon::ota_tool {
namespace {

std::size_t succeeded(const std::vector<ModuleResult>& results) {
  return static_cast<std::size_t>(
      std::count_if(results.begin(), results.end(), [](const auto& r) { return r.outcome == Outcome::Success; }));
}

std::string modules_text(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " module" : " modules");
}

using tools::text_columns;

}  // namespace

std::string result_text(const ModuleResult& result) {
  if (result.outcome == Outcome::Success) return outcome_name(result.outcome);
  return outcome_name(result.outcome) + " (exit " + std::to_string(exit_status_for(result.outcome)) + ")";
}

namespace {

// How much of each module's result the table gives, fullest first.
enum class Detail { Full, NoName, OutcomeOnly, ExitOnly };

std::vector<std::string> summary_lines(const std::vector<ModuleResult>& results, Detail detail) {
  std::vector<std::string> header{"module", "name", "result", "bytes", "time", "speed"};
  std::vector<std::vector<std::string>> rows;
  for (const auto& r : results) {
    char time[32] = "-";
    std::string speed = "-";
    if (r.seconds > 0) {
      std::snprintf(time, sizeof time, "%.1f s", r.seconds);
      speed = format_bytes(static_cast<std::int64_t>(static_cast<double>(r.bytes) / r.seconds)) + "/s";
    }
    std::string result = result_text(r);
    if (r.outcome != Outcome::Success && detail == Detail::OutcomeOnly) result = outcome_name(r.outcome);
    if (r.outcome != Outcome::Success && detail == Detail::ExitOnly) {
      result = "exit " + std::to_string(exit_status_for(r.outcome));
    }
    rows.push_back({r.identifier, r.name.empty() ? "-" : tools::printable(r.name), result, std::to_string(r.bytes), time, speed});
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
  if (!results.empty() && succeeded(results) == results.size()) return kExitSuccess;
  return kExitFleet;
}

std::string fleet_verdict_line(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped) {
  const int status = fleet_exit_status(results, stopped);
  const std::size_t ok = succeeded(results);
  if (stopped) {
    return "quillon-ota: aborted (exit " + std::to_string(status) + "): " + outcome_summary(*stopped) + ": " +
           std::to_string(ok) + " of " + modules_text(results.size()) + " updated";
  }
  if (status == kExitSuccess) {
    return "quillon-ota: success: " + std::string(results.size() == 1 ? "" : "all ") + modules_text(results.size()) +
           " updated";
  }
  return "quillon-ota: failed (exit " + std::to_string(status) + "): " + std::to_string(results.size() - ok) + " of " +
         modules_text(results.size()) + " not updated";
}

JsonEvent module_verdict(const ModuleResult& result) {
  return {{"module", result.identifier},
          {"name", result.name},
          {"outcome", outcome_name(result.outcome)},
          {"exit_status", exit_status_for(result.outcome)},
          {"summary", outcome_summary(result.outcome)},
          {"detail", result.detail},
          {"bytes", result.bytes},
          {"seconds", result.seconds}};
}

JsonEvent fleet_summary(const std::vector<ModuleResult>& results, std::optional<Outcome> stopped) {
  const int status = fleet_exit_status(results, stopped);
  JsonEvent modules = JsonEvent::array();
  for (const auto& r : results) modules.push_back(module_verdict(r));
  return {{"outcome", stopped ? outcome_name(*stopped) : status == kExitSuccess ? "success" : "failed"},
          {"exit_status", status},
          {"modules", std::move(modules)}};
}

}  // namespace quillon::ota_tool
