// A background thread that runs one watchdog body: the body polls its own
// cancel flag and waits one period between checks. Cancelling wakes the wait
// at once, so a cancelled watchdog ends promptly. Behind an interface so that
// tests can step a watchdog period by period without real waiting.
//
// A body checks isCancelled() after every sleep_period() and returns once it
// is set, and keeps nothing in local variables across a period: watchdogs
// that share one timer thread (shared_timer_watchdog.h) run the body afresh
// for each period.
#pragma once

#include <functional>
#include <memory>

namespace quillon {

class WatchdogThread {
 public:
  // Dropping the last reference to a running watchdog cancels it and waits
  // for its body to end (which the interruptible wait makes quick); dropped
  // from inside its own body, it lets the body finish on its own instead.
  virtual ~WatchdogThread() = default;

  // Asks the body to end at its next check, and wakes its wait. Any thread.
  virtual void cancel() = 0;
  // Whether cancel() was called. Any thread; the body polls it.
  virtual bool isCancelled() const = 0;
  // Whether the body has returned. Any thread.
  virtual bool finished() const = 0;
  // Waits until the body has returned; from the body's own thread it returns
  // at once. Any thread.
  virtual void join() = 0;

  // Called by the body only: waits one period (3 seconds for real threads),
  // or less if cancel() is called meanwhile.
  virtual void sleep_period() = 0;
};

class WatchdogFactory {
 public:
  using Body = std::function<void(WatchdogThread& self)>;
  virtual ~WatchdogFactory() = default;
  // Starts a watchdog running `body`, which receives the watchdog itself.
  virtual std::shared_ptr<WatchdogThread> start(Body body) = 0;
};

}  // namespace quillon
