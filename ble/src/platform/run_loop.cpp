#include "quillon/platform/run_loop.h"

#include <utility>

namespace quillon {

void RunLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(task));
    ++posts_;
  }
  wake_.notify_all();
}

void RunLoop::post_after(Clock::duration delay, Task task) {
  {
    std::lock_guard lock(mutex_);
    delayed_.emplace(Clock::now() + delay, std::move(task));
    ++posts_;
  }
  wake_.notify_all();
}

std::size_t RunLoop::pending() const {
  std::lock_guard lock(mutex_);
  return ready_.size() + delayed_.size();
}

// Moves due delayed tasks behind the ready ones, then runs the first ready
// task outside the lock so that it may post more.
bool RunLoop::run_one_due(Clock::time_point now) {
  Task task;
  {
    std::lock_guard lock(mutex_);
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      ready_.push_back(std::move(delayed_.begin()->second));
      delayed_.erase(delayed_.begin());
    }
    if (ready_.empty()) return false;
    task = std::move(ready_.front());
    ready_.pop_front();
  }
  task();
  return true;
}

std::size_t RunLoop::run_until_idle() {
  std::size_t ran = 0;
  while (run_one_due(Clock::now())) ++ran;
  return ran;
}

bool RunLoop::run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  if (done && done()) return true;
  for (;;) {
    while (run_one_due(Clock::now())) {
      if (done && done()) return true;
    }
    std::unique_lock lock(mutex_);
    auto wake_at = deadline;
    if (!delayed_.empty() && delayed_.begin()->first < wake_at) wake_at = delayed_.begin()->first;
    // Any post wakes the wait: a delayed task posted meanwhile (from another
    // thread) may fall due before the time this wait was planned to end.
    const auto posts_seen = posts_;
    if (ready_.empty()) wake_.wait_until(lock, wake_at, [&] { return posts_ != posts_seen; });
    lock.unlock();
    if (Clock::now() >= deadline) {
      while (run_one_due(Clock::now())) {
        if (done && done()) return true;
      }
      return done && done();
    }
  }
}

void RunLoop::run_for(std::chrono::milliseconds duration) {
  run_until(nullptr, duration);
}

}  // namespace quillon
