#include "stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace quillon::tools {
namespace {

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void block_stop_signals() {
  const sigset_t set = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals() {
  const sigset_t set = stop_signal_set();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) throw std::runtime_error("cannot block SIGINT and SIGTERM");
  fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd_ < 0) throw std::runtime_error("cannot make a signalfd");
}

StopSignals::~StopSignals() {
  if (fd_ >= 0) close(fd_);
}

int StopSignals::take() const {
  signalfd_siginfo info{};
  if (read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

StopSignalWatcher::StopSignalWatcher(std::function<void(int)> on_signal) : on_signal_(std::move(on_signal)) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  if (wake_fd_ < 0) throw std::runtime_error("cannot make an eventfd");
  thread_ = std::thread([this] {
    bool seen = false;
    for (;;) {
      pollfd fds[2] = {{signals_.fd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      const int signal = signals_.take();
      if (signal == 0) continue;
      if (seen) std::_Exit(128 + signal);
      seen = true;
      on_signal_(signal);
    }
  });
}

StopSignalWatcher::~StopSignalWatcher() {
  const std::uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
    // An eventfd write fails only on overflow, which one write cannot reach.
  }
  thread_.join();
  close(wake_fd_);
}

}  // namespace quillon::tools
