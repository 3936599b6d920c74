#include "progress_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quillon::ota_tool {

std::string format_bytes(std::int64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    return text;
  }
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  // Move up a unit before printing would show "1024.0".
  while (value >= 1023.95 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string format_duration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 359999) return "--:--";
  const auto whole = static_cast<long>(std::lround(seconds));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  }
  return text;
}

std::optional<int> percent_sent(const ProgressSample& sample) {
  if (sample.total <= 0) return std::nullopt;
  const auto sent = std::clamp<std::int64_t>(sample.sent, 0, sample.total);
  // In long double: sent * 100 may not fit 64 bits for absurd sizes.
  return static_cast<int>(static_cast<long double>(sent) * 100 / static_cast<long double>(sample.total));
}

std::optional<double> bytes_per_second(const ProgressSample& sample) {
  if (!(sample.elapsed_seconds > 0) || sample.sent < 0) return std::nullopt;
  return static_cast<double>(sample.sent) / sample.elapsed_seconds;
}

std::optional<double> seconds_left(const ProgressSample& sample) {
  const auto speed = bytes_per_second(sample);
  if (sample.total <= 0 || !speed || !(*speed > 0)) return std::nullopt;
  const auto remaining = std::max<std::int64_t>(sample.total - sample.sent, 0);
  return static_cast<double>(remaining) / *speed;
}

std::string rate_text(const ProgressSample& sample) {
  const auto speed = bytes_per_second(sample);
  return speed ? format_bytes(static_cast<std::int64_t>(*speed)) + "/s" : "-- B/s";
}

std::string progress_bar_cells(const ProgressSample& sample, int bar_width) {
  bar_width = std::max(bar_width, 1);
  const auto sent = std::clamp<std::int64_t>(sample.sent, 0, std::max<std::int64_t>(sample.total, 0));
  const int filled =
      sample.total > 0
          ? static_cast<int>(static_cast<long double>(sent) * bar_width / static_cast<long double>(sample.total))
          : 0;
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(bar_width - filled), '.') + "]";
}

std::string percent_text(const ProgressSample& sample) {
  char text[8];
  std::snprintf(text, sizeof text, "%3d%%", percent_sent(sample).value_or(0));
  return text;
}

std::string sizes_text(const ProgressSample& sample) {
  return format_bytes(sample.sent) + " / " + format_bytes(sample.total);
}

std::string eta_text(const ProgressSample& sample) {
  const auto left = seconds_left(sample);
  return "ETA " + (left ? format_duration(*left) : std::string("--:--"));
}

std::string format_progress_bar(const ProgressSample& sample, int bar_width) {
  if (!percent_sent(sample)) return format_bytes(sample.sent) + " sent  " + rate_text(sample);
  return progress_bar_cells(sample, bar_width) + " " + percent_text(sample) + "  " + sizes_text(sample) + "  " +
         rate_text(sample) + "  " + eta_text(sample);
}

int progress_line_step(const ProgressSample& sample) {
  const auto percent = percent_sent(sample);
  return percent ? *percent / 10 : static_cast<int>(sample.sent / (64 * 1024));
}

std::string format_progress_line(const ProgressSample& sample) {
  const auto percent = percent_sent(sample);
  const auto left = seconds_left(sample);
  char head[64];
  if (percent) {
    std::snprintf(head, sizeof head, "progress: %3d%% (%lld of %lld bytes, ", *percent, static_cast<long long>(sample.sent),
                  static_cast<long long>(sample.total));
  } else {
    std::snprintf(head, sizeof head, "progress: %lld bytes (", static_cast<long long>(sample.sent));
  }
  std::string text = head + rate_text(sample);
  if (left) text += ", " + format_duration(*left) + " left";
  return text + ")";
}

}  // namespace quillon::ota_tool
