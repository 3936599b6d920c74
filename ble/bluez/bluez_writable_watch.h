// Waits, off the main queue, for a non-blocking socket that was full
// (send gave EAGAIN) to take data again or to hang up, and posts the
// outcome to the queue once. sdbus-c++'s event loop cannot watch other
// descriptors, so a short-lived thread of its own polls the socket.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "quillon/platform/run_loop.h"

namespace quillon::bluez {

class WritableWatch {
 public:
  // `hungUp` is true when the socket closed or failed instead.
  using Outcome = std::function<void(bool hungUp)>;

  // Starts polling `fd` (not owned; it must stay open until this watch is
  // destroyed). `outcome` runs on `queue`, unless the watch is gone by then.
  WritableWatch(int fd, std::shared_ptr<RunLoop> queue, Outcome outcome);
  // Stops the thread and waits for it; a posted outcome not yet run is dropped.
  ~WritableWatch();
  WritableWatch(const WritableWatch&) = delete;
  WritableWatch& operator=(const WritableWatch&) = delete;

 private:
  int stopPipe_[2] = {-1, -1};
  std::shared_ptr<bool> alive_;
  std::thread thread_;
};

}  // namespace quillon::bluez
