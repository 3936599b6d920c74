// The exit statuses both tools give the same meaning: success, a usage
// error, and a run a stop signal ended (128 + the signal's number, as a
// shell reports a process the signal killed). Each tool adds its own
// failures between 2 and 128.
#pragma once

#include <signal.h>

namespace quillon::tools {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 128 + SIGINT;   // 130
inline constexpr int kExitTerminated = 128 + SIGTERM;   // 143

// The status of a run that SIGINT or SIGTERM stopped.
constexpr int stop_signal_exit_status(int signal) { return signal == SIGINT ? kExitInterrupted : kExitTerminated; }

}  // namespace quillon::tools
