// AcquireNotify's socket: bluetoothd writes each notification of one
// characteristic into it as one packet, for this client alone (no
// PropertiesChanged is sent for it, so no other subscriber's copy reaches
// us). The socket is ours while this object lives: destroying it closes
// the descriptor, which is how bluetoothd learns that the subscription
// ended. sdbus-c++'s event loop cannot watch other descriptors, so a thread
// of its own reads the socket and posts each notification to the main
// queue, in order.
#pragma once

#include <functional>
#include <memory>

#include "bluez_poll_thread.h"
#include "bluez_unique_fd.h"
#include "quillon/ble/ns_data.h"
#include "quillon/platform/run_loop.h"

namespace quillon::bluez {

class NotifySocket {
 public:
  using Value = std::function<void(const NSData& value)>;
  // The socket hung up: the link ended, or bluetoothd let go of the
  // subscription (any client's StopNotify on the characteristic does that).
  using Closed = std::function<void()>;

  // Takes `fd` over. `value` and then, at most once, `closed` run on
  // `queue`, never after this object is destroyed. Destroying it stops the
  // reader, then closes the descriptor.
  NotifySocket(UniqueFd fd, std::shared_ptr<RunLoop> queue, Value value, Closed closed);

 private:
  UniqueFd fd_;
  PollThread reader_;  // after fd_: stopped before the descriptor closes
};

}  // namespace quillon::bluez
