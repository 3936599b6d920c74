// The platform pieces an OTA controller works with, handed to its constructor
// as one value. Every member defaults to the real thing, so a caller names
// only what it replaces (tests: a memory log, a fake clock, stepped watchdogs).
#pragma once

#include <memory>

#include "quillon/net/curl_http_client.h"
#include "quillon/net/http_client.h"
#include "quillon/platform/clock.h"
#include "quillon/platform/log_sink.h"
#include "quillon/platform/run_loop.h"
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
  // Fetches the image for download_firmware_from_url. libcurl by default.
  std::shared_ptr<HttpClient> http = std::make_shared<CurlHttpClient>();
  // The run loop of the thread that calls download_firmware_from_url: the
  // download's events, and so START and the watchdog's creation, happen on
  // the thread that runs it. None by default: a download then fails at once.
  std::shared_ptr<RunLoop> main_queue;
};

}  // namespace quillon
