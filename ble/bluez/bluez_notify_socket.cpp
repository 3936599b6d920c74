#include "bluez_notify_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace quillon::bluez {
namespace {

// One packet is one notification, at most ATT MTU - 3 bytes (514 at the
// largest MTU); a packet longer than the buffer would be cut short.
constexpr std::size_t kLargestValue = 1024;

}  // namespace

NotifySocket::NotifySocket(UniqueFd fd, std::shared_ptr<RunLoop> queue, Value value, Closed closed)
    : fd_(std::move(fd)),
      reader_(fd_.get(), POLLIN, std::move(queue),
              [fd = fd_.get(), value = std::move(value), closed = std::move(closed)](
                  short revents, const PollThread::Post& post) {
                if (revents & POLLNVAL) {
                  post(closed);
                  return false;
                }
                // What bluetoothd wrote before hanging up is still read, then
                // the hang-up shows as the end of the stream.
                NSData packet(kLargestValue);
                const ssize_t got = ::recv(fd, packet.data(), packet.size(), MSG_DONTWAIT);
                if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
                // An empty notification is a packet of length 0; the end of
                // the stream comes with the hang-up.
                if (got < 0 || (got == 0 && (revents & (POLLHUP | POLLERR)))) {
                  post(closed);
                  return false;
                }
                packet.resize(static_cast<std::size_t>(got));
                post([value, packet = std::move(packet)] { value(packet); });
                return true;
              }) {}

}  // namespace quillon::bluez
