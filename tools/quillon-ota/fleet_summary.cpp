#include "fleet_summary.h"

#include <algorithm>
#include <cstdio>

#include "progress_format.h"

namespace quillon::ota_tool {
namespace {

std::size_t succeeded(const std::vector<ModuleResult>& results) {
  return static_cast<std::size_t>(
      std::count_if(results.begin(), results.end(), [](const auto& r) { return r.outcome == Outcome::Success; }));
}

std::string modules_text(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " module" : " modules");
}

std::string pad(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string pad_left(const std::string& text, std::size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

}  // namespace

std::string result_text(const ModuleResult& result) {
  if (result.outcome == Outcome::Success) return outcome_name(result.outcome);
  return outcome_name(result.outcome) + " (exit " + std::to_string(exit_status_for(result.outcome)) + ")";
}

std::vector<std::string> format_summary_table(const std::vector<ModuleResult>& results) {
  const std::vector<std::string> header{"module", "name", "result", "bytes", "time", "speed"};
  std::vector<std::vector<std::string>> rows;
  for (const auto& r : results) {
    char time[32] = "-";
    std::string speed = "-";
    if (r.seconds > 0) {
      std::snprintf(time, sizeof time, "%.1f s", r.seconds);
      speed = format_bytes(static_cast<std::int64_t>(static_cast<double>(r.bytes) / r.seconds)) + "/s";
    }
    rows.push_back({r.identifier, r.name.empty() ? "-" : r.name, result_text(r), std::to_string(r.bytes), time, speed});
  }
  std::vector<std::size_t> width(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
  }
  // Numbers are right-aligned, words left-aligned.
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) text += "  ";
      const bool number = c >= 3;
      text += number ? pad_left(cells[c], width[c]) : (c + 1 == cells.size() ? cells[c] : pad(cells[c], width[c]));
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  std::vector<std::string> lines{line(header)};
  for (const auto& row : rows) lines.push_back(line(row));
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
