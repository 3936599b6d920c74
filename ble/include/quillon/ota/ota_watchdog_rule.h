// The OTA watchdog's decision, as a pure function of three whole-second
// timestamps so that it can be checked without clocks or threads.
//
// Until the first chunk after START arrives, silence is measured from the
// last packet sent; afterwards only from the last chunk received, so a module
// that keeps answering keeps the transfer alive. The comparison is strictly
// greater than 3 whole seconds.
#pragma once

#include <cstdint>

namespace quillon {

inline constexpr std::int64_t kOtaSilenceLimitSeconds = 3;

// `latest_received_time` 0 means no chunk since start; `last_sent_time` 0
// means nothing sent yet. The latter is only ever seen while start clears
// the counters for a new transfer, before START goes out: a watchdog of the
// previous transfer that looks then must not take it for silence since the
// epoch and report a time-out that belongs to no transfer.
constexpr bool ota_watchdog_timed_out(std::int64_t now, std::int64_t last_sent_time,
                                      std::int64_t latest_received_time) {
  if (latest_received_time > 0) return now - latest_received_time > kOtaSilenceLimitSeconds;
  if (last_sent_time == 0) return false;
  return now - last_sent_time > kOtaSilenceLimitSeconds;
}

}  // namespace quillon
