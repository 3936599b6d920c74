#include "bluez_writable_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace quillon::bluez {

WritableWatch::WritableWatch(int fd, std::shared_ptr<RunLoop> queue, Outcome outcome)
    : alive_(std::make_shared<bool>(true)) {
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  // `alive` is read only on the queue thread, where the destructor also runs.
  thread_ = std::thread([fd, stop = stopPipe_[0], queue = std::move(queue), outcome = std::move(outcome),
                         alive = std::weak_ptr<bool>(alive_)] {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      if (fds[0].revents) break;
    }
    const bool hungUp = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    queue->post([alive, outcome, hungUp] {
      if (alive.lock()) outcome(hungUp);
    });
  });
}

WritableWatch::~WritableWatch() {
  alive_.reset();
  const char stop = 1;
  (void)!::write(stopPipe_[1], &stop, 1);
  if (thread_.joinable()) thread_.join();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

}  // namespace quillon::bluez
