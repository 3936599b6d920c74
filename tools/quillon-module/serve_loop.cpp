#include "serve_loop.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace quillon::module_tool {
namespace {

// poll's timeout for sd-bus's absolute CLOCK_MONOTONIC deadline.
int poll_timeout_ms(std::uint64_t deadline_usec) {
  if (deadline_usec == std::numeric_limits<std::uint64_t>::max()) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t now_usec =
      static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
  if (deadline_usec <= now_usec) return 0;
  const std::uint64_t ms = (deadline_usec - now_usec + 999) / 1000;
  return ms > 60000 ? 60000 : static_cast<int>(ms);
}

}  // namespace

int serve_until(sdbus::IConnection& bus, const StopSignals& signals, const std::function<bool()>& done,
                const std::function<int()>& timers) {
  for (;;) {
    while (!done() && bus.processPendingRequest()) {
    }
    if (done()) return 0;
    const int next = timers ? timers() : -1;
    const auto data = bus.getEventLoopPollData();
    int timeout = poll_timeout_ms(data.timeout_usec);
    if (next >= 0 && (timeout < 0 || next < timeout)) timeout = next;
    pollfd fds[2] = {{data.fd, data.events, 0}, {signals.fd(), POLLIN, 0}};
    if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
      throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "poll failed");
    }
    if (fds[1].revents & POLLIN) {
      if (const int signal = signals.take()) return signal;
    }
  }
}

int pause_for(const StopSignals& signals, int ms) {
  pollfd fd{signals.fd(), POLLIN, 0};
  if (poll(&fd, 1, ms) > 0 && (fd.revents & POLLIN)) return signals.take();
  return 0;
}

}  // namespace quillon::module_tool
