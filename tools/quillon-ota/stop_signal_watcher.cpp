#include "stop_signal_watcher.h"

#include <signal.h>

#include <cstdlib>
#include <ctime>

namespace quillon::ota_tool {
namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void StopSignalWatcher::block_stop_signals() {
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatcher::StopSignalWatcher(std::function<void(int)> on_signal) : on_signal_(std::move(on_signal)) {
  thread_ = std::thread([this] {
    const sigset_t set = stop_signals();
    bool seen = false;
    // Waits in short slices so that the destructor can end the thread.
    const timespec slice{0, 200'000'000};
    while (!stop_.load()) {
      const int signal = sigtimedwait(&set, nullptr, &slice);
      if (signal <= 0) continue;
      if (seen) std::_Exit(128 + signal);
      seen = true;
      on_signal_(signal);
    }
  });
}

StopSignalWatcher::~StopSignalWatcher() {
  stop_.store(true);
  thread_.join();
}

}  // namespace quillon::ota_tool
