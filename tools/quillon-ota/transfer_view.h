// Where one transfer's progress and messages go: the single module's
// ProgressDisplay, or that module's row of a fleet run's board. Main thread
// only.
#pragma once

#include <chrono>
#include <cstdint>

namespace quillon::ota_tool {

// How progress is drawn: a bar redrawn in place (a terminal), plain lines
// (logs and pipes), or not at all (--json, --progress none). Messages are
// printed in every style.
enum class ProgressStyle { Bar, Lines, None };

class TransferView {
 public:
  virtual ~TransferView() = default;
  // The transfer (or download) began `ago` before now (a download is first
  // shown once bytes have come); `total` bytes (0 or less: unknown).
  virtual void begin(std::int64_t total, std::chrono::steady_clock::duration ago = {}) = 0;
  // `sent` bytes have gone out so far.
  virtual void update(std::int64_t sent) = 0;
  // Ends the display of this transfer. Safe to call more than once, and
  // without begin().
  virtual void end() = 0;
  // One line of text about this transfer.
  virtual void message(const char* text) = 0;
};

}  // namespace quillon::ota_tool
