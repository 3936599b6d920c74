// The words and bar of quillon-ota's progress display, as pure functions of
// the bytes sent, the image size and the time so far, so that rounding,
// clamping and unknown sizes can be tested without a terminal or a clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillon::ota_tool {

struct ProgressSample {
  std::int64_t sent = 0;
  // The image size; 0 or less when unknown (a server that announced none).
  std::int64_t total = -1;
  double elapsed_seconds = 0;
};

// "512 B", "1.5 KiB", "12.0 MiB", "1.0 GiB".
std::string format_bytes(std::int64_t bytes);
// "0:07", "12:34", "1:02:03"; "--:--" when not a finite, non-negative time.
std::string format_duration(double seconds);
// Whole percent sent, rounded down and kept within 0..100; nothing when the
// size is unknown.
std::optional<int> percent_sent(const ProgressSample& sample);
// Bytes per second so far; nothing before any time has passed.
std::optional<double> bytes_per_second(const ProgressSample& sample);
// Seconds still to go at the speed so far; nothing when it cannot be told.
std::optional<double> seconds_left(const ProgressSample& sample);

// The pieces of a progress bar's line, which progress_layout.h lines up:
// "[########............]" (`bar_width` cells, at least 1; the size must be
// known), " 40%", "120.0 KiB / 300.0 KiB", "61.2 KiB/s" ("-- B/s" before
// any time has passed), "ETA 0:03" ("ETA --:--" when it cannot be told).
std::string progress_bar_cells(const ProgressSample& sample, int bar_width);
std::string percent_text(const ProgressSample& sample);
std::string sizes_text(const ProgressSample& sample);
std::string rate_text(const ProgressSample& sample);
std::string eta_text(const ProgressSample& sample);

// One terminal line (redrawn in place), `bar_width` cells of bar:
// "[########............]  40%  120.0 KiB / 300.0 KiB  61.2 KiB/s  ETA 0:03"
// With an unknown size: "120.0 KiB sent  61.2 KiB/s".
std::string format_progress_bar(const ProgressSample& sample, int bar_width);

// Where a transfer stands for progress lines, which are printed each time
// it grows: the tenth of the image sent, or with an unknown size the 64 KiB.
int progress_line_step(const ProgressSample& sample);

// One line for logs and pipes:
// "progress:  40% (122880 of 307200 bytes, 61.2 KiB/s, 0:03 left)"
std::string format_progress_line(const ProgressSample& sample);

}  // namespace quillon::ota_tool
