// Shows a transfer's progress on one stream: a bar redrawn in place on a
// terminal, or a plain line at every tenth of the image for logs and pipes.
// Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "progress_layout.h"
#include "transfer_view.h"

namespace quillon::ota_tool {

class ProgressDisplay final : public TransferView {
 public:
  using Style = ProgressStyle;

  using Size = std::function<TerminalSize()>;

  // `size` gives the terminal's size at each draw, which the bar is fitted
  // to (none: no limit).
  ProgressDisplay(std::FILE* out, Style style, Size size = {}) : out_(out), style_(style), size_(std::move(size)) {}

  // The transfer begins now; `total` bytes (0 or less: unknown).
  void begin(std::int64_t total, std::chrono::steady_clock::duration ago = {}) override;
  // `sent` bytes have gone out so far.
  void update(std::int64_t sent) override;
  // Ends the display (a bar gets its final state and a line break), so that
  // what follows starts on a line of its own. Safe to call more than once.
  void end() override;

  // Writes a line of text without tearing a bar that is being drawn.
  void message(const char* text) override;

 private:
  ProgressSample sample() const;
  void draw_bar();

  std::FILE* out_;
  Style style_;
  Size size_;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point last_draw_{};
  std::int64_t total_ = -1;
  std::int64_t sent_ = 0;
  int last_step_ = -1;
  bool active_ = false;
  bool bar_on_screen_ = false;
};

}  // namespace quillon::ota_tool
