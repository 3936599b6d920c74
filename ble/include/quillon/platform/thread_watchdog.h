// The real watchdog: one std::thread per watchdog, waiting its period on a
// condition variable so that cancel() wakes it at once.
#pragma once

#include <chrono>

#include "quillon/platform/watchdog.h"

namespace quillon {

class ThreadWatchdogFactory final : public WatchdogFactory {
 public:
  // `period` is the wait between checks; shorter periods are for tests that
  // need real threads but not real waiting.
  explicit ThreadWatchdogFactory(std::chrono::milliseconds period = std::chrono::seconds(3))
      : period_(period) {}
  std::shared_ptr<WatchdogThread> start(Body body) override;

 private:
  std::chrono::milliseconds period_;
};

}  // namespace quillon
