// Watchdogs that share one timer thread: a host running many transfers at
// once keeps one sleeping thread instead of one per transfer. Every
// watchdog's body runs on that thread, so a body's reports (the OTA
// controller's time-out) still come from a watchdog thread, never from the
// host's.
//
// How a body runs here. A body is written as a loop that checks, calls
// sleep_period() and returns once isCancelled() is set (see watchdog.h).
// The timer thread runs it once per period: sleep_period() parks the body,
// isCancelled() then reads true on the timer thread so that the body
// returns, and the timer calls it afresh one period later. A body therefore
// keeps nothing in local variables from one period to the next, and checks
// isCancelled() after each sleep_period(). A body that returns without
// having called sleep_period() has ended, as a thread's body would.
//
// The periods of different watchdogs never overlap: a body that blocks
// delays every other watchdog's check, so a report posts its work to the
// host's queue rather than doing it there.
#pragma once

#include <chrono>
#include <memory>

#include "quillon/platform/watchdog.h"

namespace quillon {

class SharedWatchdogTimer;  // the thread and the watchdogs waiting for their period

class SharedTimerWatchdogFactory final : public WatchdogFactory {
 public:
  // `period` is the wait between a body's checks (each body's first check
  // runs at once). The timer thread starts with the first watchdog.
  explicit SharedTimerWatchdogFactory(std::chrono::milliseconds period = std::chrono::seconds(3));
  ~SharedTimerWatchdogFactory() override;

  // Any thread. The watchdog keeps the timer running after the factory has
  // gone; the thread ends when the factory and every watchdog have gone.
  std::shared_ptr<WatchdogThread> start(Body body) override;

 private:
  std::shared_ptr<SharedWatchdogTimer> timer_;
};

}  // namespace quillon
