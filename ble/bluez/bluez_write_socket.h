// AcquireWrite's socket: each packet sent is one write without response,
// which bluetoothd reads and carries to the module. The socket is
// non-blocking, so a link slower than the writer fills it; a thread of its
// own then waits, off the main queue, for room again or for the hang-up,
// and posts the outcome once. The socket is ours while this object lives;
// destroying it closes the descriptor, which ends bluetoothd's hold on the
// characteristic. Main queue only.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "bluez_poll_thread.h"
#include "bluez_unique_fd.h"
#include "quillon/ble/ns_data.h"
#include "quillon/platform/run_loop.h"

namespace quillon::bluez {

class WriteSocket {
 public:
  enum class Send {
    Sent,    // the whole packet was taken
    Full,    // nothing was taken: send it again once there is room
    Failed,  // the socket is of no more use (bluetoothd let go of it)
  };
  // `hungUp` is true when the socket closed or failed rather than drained.
  using Outcome = std::function<void(bool hungUp)>;

  explicit WriteSocket(UniqueFd fd) : fd_(std::move(fd)) {}

  Send send(const NSData& packet);
  // Bytes sent that bluetoothd has not read yet (0 when that is unknown).
  std::size_t unread() const;
  // Waits for room or the hang-up; `outcome` runs on `queue` once, unless
  // the wait is stopped or this socket is destroyed first.
  void waitWritable(std::shared_ptr<RunLoop> queue, Outcome outcome);
  bool waiting() const { return watch_ != nullptr; }
  void stopWaiting() { watch_.reset(); }

 private:
  UniqueFd fd_;
  std::unique_ptr<PollThread> watch_;  // after fd_: stopped before the descriptor closes
};

}  // namespace quillon::bluez
