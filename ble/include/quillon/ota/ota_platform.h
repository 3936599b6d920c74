// The platform pieces an OTA controller works with, handed to its constructor
// as one value. Every member defaults to the real thing, so a caller names
// only what it replaces (tests: a memory log, a fake clock, stepped watchdogs).
#pragma once

#include <memory>

#include "quillon/platform/clock.h"
#include "quillon/platform/log_sink.h"
#include "quillon/platform/thread_watchdog.h"
#include "quillon/platform/watchdog.h"

namespace quillon {

struct OtaPlatform {
  // Receives the controller's log lines (no prefix). Stderr by default.
  std::shared_ptr<LogSink> log = std::make_shared<StderrLogSink>();
  // Whole-second wall clock for the watchdog's timestamps.
  std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  // Makes the one watchdog thread of each transfer (3-second periods).
  std::shared_ptr<WatchdogFactory> watchdogs = std::make_shared<ThreadWatchdogFactory>();
};

}  // namespace quillon
