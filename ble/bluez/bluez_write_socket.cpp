#include "bluez_write_socket.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace quillon::bluez {

WriteSocket::Send WriteSocket::send(const NSData& packet) {
  ssize_t sent;
  do {
    sent = ::send(fd_.get(), packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent == static_cast<ssize_t>(packet.size())) return Send::Sent;
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) return Send::Full;
  return Send::Failed;
}

std::size_t WriteSocket::unread() const {
  int unread = 0;
  if (::ioctl(fd_.get(), SIOCOUTQ, &unread) != 0 || unread < 0) return 0;
  return static_cast<std::size_t>(unread);
}

void WriteSocket::waitWritable(std::shared_ptr<RunLoop> queue, Outcome outcome) {
  watch_ = std::make_unique<PollThread>(
      fd_.get(), POLLOUT, std::move(queue),
      [outcome = std::move(outcome)](short revents, const PollThread::Post& post) {
        const bool hungUp = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        post([outcome, hungUp] { outcome(hungUp); });
        return false;
      });
}

}  // namespace quillon::bluez
