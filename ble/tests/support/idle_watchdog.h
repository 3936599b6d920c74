// A watchdog whose body never runs, for tests and fuzzers that exercise a
// transfer or a download without the time-out: nothing there then depends
// on 3-second periods or real time. Cancelling it is remembered so that a
// test can see that the controller asked.
#pragma once

#include <atomic>
#include <memory>

#include "quillon/platform/watchdog.h"

namespace quillon::test {

class IdleWatchdog final : public WatchdogThread {
 public:
  void cancel() override { cancelled_ = true; }
  bool isCancelled() const override { return cancelled_; }
  bool finished() const override { return true; }
  void join() override {}
  void sleep_period() override {}

 private:
  std::atomic<bool> cancelled_{false};
};

class IdleWatchdogFactory final : public WatchdogFactory {
 public:
  std::shared_ptr<WatchdogThread> start(Body) override { return std::make_shared<IdleWatchdog>(); }
};

}  // namespace quillon::test
