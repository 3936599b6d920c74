#include "bluez_poll_thread.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <stdexcept>

namespace quillon::bluez {

PollThread::PollThread(int fd, short events, std::shared_ptr<RunLoop> queue, Ready ready)
    : alive_(std::make_shared<bool>(true)) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  stopRead_ = UniqueFd(pipe[0]);
  stopWrite_ = UniqueFd(pipe[1]);
  Post post = [queue = std::move(queue), alive = std::weak_ptr<bool>(alive_)](std::function<void()> task) {
    queue->post([alive, task = std::move(task)] {
      if (alive.lock()) task();
    });
  };
  thread_ = std::thread([fd, events, stop = stopRead_.get(), post = std::move(post), ready = std::move(ready)] {
    pollfd fds[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        ready(POLLNVAL, post);
        return;
      }
      if (fds[1].revents) return;
      if (!fds[0].revents) continue;
      if (!ready(fds[0].revents, post)) return;
    }
  });
}

PollThread::~PollThread() {
  alive_.reset();
  const char stop = 1;
  (void)!::write(stopWrite_.get(), &stop, 1);
  if (thread_.joinable()) thread_.join();
}

}  // namespace quillon::bluez
