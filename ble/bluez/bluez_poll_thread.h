// A thread of its own that polls one descriptor, for the sockets
// bluetoothd hands over: sdbus-c++'s event loop cannot watch other
// descriptors. What the thread learns reaches the main queue as posted
// tasks, which never run once this object is gone.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "bluez_unique_fd.h"
#include "quillon/platform/run_loop.h"

namespace quillon::bluez {

class PollThread {
 public:
  // Posts `task` to the queue; it runs only if the PollThread still exists then.
  using Post = std::function<void(std::function<void()> task)>;
  // Runs on the thread each time the descriptor shows `events`, an error or a
  // hang-up (POLLNVAL when polling itself failed); false ends the thread.
  using Ready = std::function<bool(short revents, const Post& post)>;

  // Starts polling `fd` (not owned: it must stay open until this object is destroyed).
  PollThread(int fd, short events, std::shared_ptr<RunLoop> queue, Ready ready);
  // Stops the thread and waits for it; posted tasks not yet run are dropped.
  // On the queue's thread only, which is where posted tasks check that it lives.
  ~PollThread();
  PollThread(const PollThread&) = delete;
  PollThread& operator=(const PollThread&) = delete;

 private:
  UniqueFd stopRead_, stopWrite_;
  std::shared_ptr<bool> alive_;
  std::thread thread_;
};

}  // namespace quillon::bluez
