// SIGINT and SIGTERM as events rather than sudden death, for both tools:
// the signals are blocked in every thread and read from a signalfd, either
// by the tool's own event loop (quillon-module polls it with the bus) or by
// a StopSignalWatcher thread that hands the first one to a callback
// (quillon-ota posts it to its main queue). Either way the tool finishes
// its work on its own thread: unregistering from BlueZ, a progress line
// ended, "aborted" said, a half-written download removed.
#pragma once

#include <functional>
#include <thread>

namespace quillon::tools {

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread
// it starts afterwards. Call first thing in main, before any thread exists.
void block_stop_signals();

// A signalfd for SIGINT and SIGTERM (blocking them in the calling thread).
// Throws std::runtime_error when the kernel refuses one.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable (poll) once a signal is pending.
  int fd() const { return fd_; }
  // The signal that arrived (SIGINT or SIGTERM), or 0 when none has.
  int take() const;

 private:
  int fd_ = -1;
};

// Calls `on_signal` with the signal's number, on the watcher's own thread,
// for the first SIGINT or SIGTERM while it exists. A second one while the
// first is being handled ends the process at once with the status a shell
// expects (128 + the signal's number). Signals that come while no watcher
// exists stay pending for the next one. Needs block_stop_signals() first.
class StopSignalWatcher {
 public:
  explicit StopSignalWatcher(std::function<void(int)> on_signal);
  // Ends the watcher's thread and waits for it.
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

 private:
  StopSignals signals_;
  // Written by the destructor to wake the thread.
  int wake_fd_ = -1;
  std::function<void(int)> on_signal_;
  std::thread thread_;
};

}  // namespace quillon::tools
