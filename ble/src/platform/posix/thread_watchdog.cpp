#include "quillon/platform/thread_watchdog.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace quillon {
namespace {

// What the running thread and its handle share. The thread keeps it alive,
// so the body may outlive the handle (a handle dropped from inside the body).
class WatchdogState final : public WatchdogThread {
 public:
  explicit WatchdogState(std::chrono::milliseconds period) : period_(period) {}

  void cancel() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    wake_.notify_all();
  }
  bool isCancelled() const override {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }
  bool finished() const override {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  void join() override {}  // the handle joins; the body never needs to
  void sleep_period() override {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, period_, [this] { return cancelled_; });
  }
  void mark_finished() {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }

 private:
  const std::chrono::milliseconds period_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  bool finished_ = false;
};

class ThreadWatchdog final : public WatchdogThread {
 public:
  ThreadWatchdog(std::chrono::milliseconds period, WatchdogFactory::Body body)
      : state_(std::make_shared<WatchdogState>(period)) {
    thread_ = std::thread([state = state_, body = std::move(body)] {
      body(*state);
      state->mark_finished();
    });
  }
  ~ThreadWatchdog() override {
    state_->cancel();
    join();
    if (thread_.joinable()) thread_.detach();  // dropped from its own body
  }

  void cancel() override { state_->cancel(); }
  bool isCancelled() const override { return state_->isCancelled(); }
  bool finished() const override { return state_->finished(); }
  void join() override {
    std::lock_guard lock(join_mutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }
  void sleep_period() override { state_->sleep_period(); }

 private:
  std::shared_ptr<WatchdogState> state_;
  std::mutex join_mutex_;  // join() may be called from two threads at once
  std::thread thread_;
};

}  // namespace

std::shared_ptr<WatchdogThread> ThreadWatchdogFactory::start(Body body) {
  return std::make_shared<ThreadWatchdog>(period_, std::move(body));
}

}  // namespace quillon
