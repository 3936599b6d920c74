// Ctrl-C and SIGTERM as events rather than sudden death: the signals are
// blocked in every thread and a watcher thread waits for them, so the run
// can finish its progress line, say "aborted" and clean up on the main
// thread. A second signal while the first is being handled ends the process
// at once, with the status a shell expects (128 + the signal's number).
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace quillon::ota_tool {

class StopSignalWatcher {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread, and so in every thread
  // it starts afterwards. Call first thing in main, before any thread exists.
  static void block_stop_signals();

  // Calls `on_signal` with the signal's number, on the watcher's own thread,
  // for the first SIGINT or SIGTERM.
  explicit StopSignalWatcher(std::function<void(int)> on_signal);
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

 private:
  std::function<void(int)> on_signal_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace quillon::ota_tool
