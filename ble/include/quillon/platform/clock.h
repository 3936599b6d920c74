// Wall-clock time in whole seconds since the Unix epoch, behind an interface
// so that timing rules (the OTA watchdog's) can be tested on a fake clock.
#pragma once

#include <cstdint>

namespace quillon {

class Clock {
 public:
  virtual ~Clock() = default;
  // Whole seconds since 1970-01-01 UTC. Any thread.
  virtual std::int64_t now_seconds() = 0;
};

// The system's real-time clock (gettimeofday's seconds).
class SystemClock final : public Clock {
 public:
  std::int64_t now_seconds() override;
};

}  // namespace quillon
