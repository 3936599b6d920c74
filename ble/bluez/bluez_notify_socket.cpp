#include "bluez_notify_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace quillon::bluez {
namespace {

// One packet is one notification, at most ATT MTU - 3 bytes (514 at the
// largest MTU); a packet longer than the buffer would be cut short.
constexpr std::size_t kLargestValue = 1024;

}  // namespace

NotifySocket::NotifySocket(int fd, std::shared_ptr<RunLoop> queue, Value value, Closed closed)
    : fd_(fd), alive_(std::make_shared<bool>(true)) {
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    ::close(fd_);
    throw std::runtime_error("pipe2 failed");
  }
  // `alive` is read only on the queue thread, where the destructor also runs.
  thread_ = std::thread([fd, stop = stopPipe_[0], queue = std::move(queue), value = std::move(value),
                         closed = std::move(closed), alive = std::weak_ptr<bool>(alive_)] {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents) return;
      if (!fds[0].revents) continue;
      // What bluetoothd wrote before hanging up is still read, then the
      // hang-up shows as the end of the stream.
      NSData packet(kLargestValue);
      const ssize_t got = ::recv(fd, packet.data(), packet.size(), MSG_DONTWAIT);
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      // An empty notification is a packet of length 0; the end of the
      // stream comes with the hang-up.
      if (got < 0 || (got == 0 && (fds[0].revents & (POLLHUP | POLLERR)))) break;
      packet.resize(static_cast<std::size_t>(got));
      queue->post([alive, value, packet = std::move(packet)] {
        if (alive.lock()) value(packet);
      });
    }
    queue->post([alive, closed] {
      if (alive.lock()) closed();
    });
  });
}

NotifySocket::~NotifySocket() {
  alive_.reset();
  const char stop = 1;
  (void)!::write(stopPipe_[1], &stop, 1);
  if (thread_.joinable()) thread_.join();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::close(fd_);
}

}  // namespace quillon::bluez
