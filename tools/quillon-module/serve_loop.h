// quillon-module's one thread: it runs the bus's event processing (every
// D-Bus call to the module is served here, one at a time, in the order it
// arrived) and watches the stop signals in the same poll, so no handler ever
// runs on another thread.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <functional>

#include "stop_signals.h"

namespace quillon::module_tool {

using tools::StopSignals;

// Serves `bus` until `done()` is true (0) or a stop signal arrives (its
// number). `timers`, when given, runs what is due on each turn and says in
// how many milliseconds it wants to run next (-1: not before an event).
// Throws sdbus::Error when the connection fails.
int serve_until(sdbus::IConnection& bus, const StopSignals& signals, const std::function<bool()>& done,
                const std::function<int()>& timers = {});

// Waits `ms` milliseconds serving nothing; a stop signal ends it early (its
// number, else 0).
int pause_for(const StopSignals& signals, int ms);

}  // namespace quillon::module_tool
