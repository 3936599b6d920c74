// The library's main queue away from Apple platforms: tasks run one after
// another on the thread that runs the loop, in the order they were posted
// (delayed tasks when they fall due). Any thread may post; only one thread
// runs the loop at a time. Platform events (BLE, HTTP) reach the host on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace quillon {

class RunLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Task = std::function<void()>;

  RunLoop() = default;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Queues a task to run as soon as possible. Thread-safe.
  void post(Task task);
  // Queues a task to run once `delay` has passed (to the clock's own
  // resolution, so 7.5 ms is 7.5 ms). Thread-safe.
  void post_after(Clock::duration delay, Task task);

  // Runs every task that is due now, including those that the tasks post
  // while it runs, and returns how many ran. Does not wait for delayed tasks.
  std::size_t run_until_idle();
  // Runs tasks as they fall due for `duration`, waiting between them.
  void run_for(std::chrono::milliseconds duration);
  // Runs tasks until `done()` is true (checked after every task) or until
  // `timeout` has passed; returns whether `done()` became true.
  bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  // Number of tasks waiting, delayed ones included. Thread-safe.
  std::size_t pending() const;

 private:
  bool run_one_due(Clock::time_point now);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> ready_;
  std::multimap<Clock::time_point, Task> delayed_;
  std::uint64_t posts_ = 0;  // counts every post, so that a waiting run sees new ones
};

}  // namespace quillon
