#include "quillon/platform/shared_timer_watchdog.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace quillon {
namespace {

using SteadyClock = std::chrono::steady_clock;
class Entry;

// What the timer thread and the watchdogs share. The thread holds it, so it
// outlives a timer whose last owner is dropped on the timer thread itself.
struct TimerCore {
  explicit TimerCore(std::chrono::milliseconds p) : period(p) {}

  const std::chrono::milliseconds period;
  std::mutex mutex;
  std::condition_variable wake;   // the timer: a watchdog is due sooner, or stop
  std::condition_variable ended;  // join(): a watchdog has ended
  std::multimap<SteadyClock::time_point, std::shared_ptr<Entry>> due;
  std::thread::id timer_thread;
  bool stopping = false;
};

// One watchdog as its body sees it. Its state is guarded by the core's
// mutex; the body itself runs outside it.
class Entry final : public WatchdogThread, public std::enable_shared_from_this<Entry> {
 public:
  Entry(std::shared_ptr<TimerCore> core, WatchdogFactory::Body body)
      : core_(std::move(core)), body_(std::move(body)) {}

  void cancel() override {
    std::lock_guard lock(core_->mutex);
    cancelled_ = true;
    if (scheduled_) {
      core_->due.erase(slot_);
      scheduled_ = false;
    }
    // Waiting for its period, the body never runs again: it has ended.
    if (!running_) end_locked();
  }
  bool isCancelled() const override {
    std::lock_guard lock(core_->mutex);
    return cancelled_ || (parked_ && std::this_thread::get_id() == core_->timer_thread);
  }
  bool finished() const override {
    std::lock_guard lock(core_->mutex);
    return finished_;
  }
  void join() override {
    std::unique_lock lock(core_->mutex);
    // On the timer thread the body is the one running (or none is): waiting
    // there would wait for itself.
    if (std::this_thread::get_id() == core_->timer_thread) return;
    core_->ended.wait(lock, [this] { return finished_; });
  }
  void sleep_period() override {
    std::lock_guard lock(core_->mutex);
    if (running_) parked_ = true;
  }

  // --- the timer's side, all under the core's mutex ------------------------

  void schedule_locked(SteadyClock::time_point at) {
    slot_ = core_->due.emplace(at, shared_from_this());
    scheduled_ = true;
  }
  // Takes the entry off the schedule to run its body.
  void begin_run_locked() {
    scheduled_ = false;
    running_ = true;
    parked_ = false;
  }
  // After a run: parked and not cancelled means "again one period from now".
  // Otherwise the entry stays running until finish_locked, so that its body
  // is let go before anyone waiting in join() hears that it has ended.
  bool again_locked() {
    const bool again = parked_ && !cancelled_ && !core_->stopping;
    parked_ = false;
    if (again) running_ = false;
    return again;
  }
  void finish_locked() {
    running_ = false;
    end_locked();
  }
  // The timer is going away: a waiting watchdog will never run again.
  void abandon_locked() {
    scheduled_ = false;
    if (!running_) end_locked();
  }
  void run_body() { body_(*this); }
  // Drops the body's captures once it can no longer run; outside the lock,
  // as they may be anything.
  void release_body() { WatchdogFactory::Body().swap(body_); }

 private:
  void end_locked() {
    finished_ = true;
    core_->ended.notify_all();
  }

  const std::shared_ptr<TimerCore> core_;
  WatchdogFactory::Body body_;
  std::multimap<SteadyClock::time_point, std::shared_ptr<Entry>>::iterator slot_;
  bool scheduled_ = false;
  bool running_ = false;
  bool parked_ = false;
  bool cancelled_ = false;
  bool finished_ = false;
};

// The timer thread: runs each due body, one at a time, and puts it back on
// the schedule one period after its run when it parked.
void run_timer(const std::shared_ptr<TimerCore>& core) {
  std::unique_lock lock(core->mutex);
  for (;;) {
    if (core->stopping) return;
    if (core->due.empty()) {
      core->wake.wait(lock);
      continue;
    }
    const auto first = core->due.begin();
    // A copy: the wait reads the deadline again after waking, when a cancel
    // may have erased the entry that held it.
    if (const SteadyClock::time_point at = first->first; at > SteadyClock::now()) {
      core->wake.wait_until(lock, at);
      continue;
    }
    std::shared_ptr<Entry> entry = std::move(first->second);
    core->due.erase(first);
    entry->begin_run_locked();
    lock.unlock();
    entry->run_body();
    lock.lock();
    if (entry->again_locked()) {
      entry->schedule_locked(SteadyClock::now() + core->period);
    } else {
      lock.unlock();
      entry->release_body();
      lock.lock();
      entry->finish_locked();
      lock.unlock();
      entry.reset();
      lock.lock();
    }
  }
}

}  // namespace

class SharedWatchdogTimer {
 public:
  explicit SharedWatchdogTimer(std::chrono::milliseconds period) : core_(std::make_shared<TimerCore>(period)) {}

  ~SharedWatchdogTimer() {
    std::vector<std::shared_ptr<Entry>> waiting;
    {
      std::lock_guard lock(core_->mutex);
      core_->stopping = true;
      for (auto& [at, entry] : core_->due) {
        entry->abandon_locked();
        waiting.push_back(std::move(entry));
      }
      core_->due.clear();
    }
    core_->wake.notify_all();
    for (auto& entry : waiting) entry->release_body();
    if (!thread_.joinable()) return;
    // The last owner may be dropped by a body, on the timer thread itself:
    // the thread then ends on its own, holding the core it still reads.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  std::shared_ptr<Entry> add(WatchdogFactory::Body body) {
    auto entry = std::make_shared<Entry>(core_, std::move(body));
    {
      std::lock_guard lock(core_->mutex);
      if (!thread_.joinable()) {
        // The thread's first step takes the mutex, so it sees its own id set.
        thread_ = std::thread([core = core_] { run_timer(core); });
        core_->timer_thread = thread_.get_id();
      }
      entry->schedule_locked(SteadyClock::now());  // the first check runs at once
    }
    core_->wake.notify_all();
    return entry;
  }

 private:
  std::shared_ptr<TimerCore> core_;
  std::thread thread_;
};

namespace {

// The handle a caller holds: dropping it cancels the watchdog and waits for
// a running body to return (not on the timer thread, where the body is the
// caller). It keeps the timer alive, so the factory may go first.
class SharedTimerWatchdog final : public WatchdogThread {
 public:
  SharedTimerWatchdog(std::shared_ptr<SharedWatchdogTimer> timer, std::shared_ptr<Entry> entry)
      : timer_(std::move(timer)), entry_(std::move(entry)) {}
  ~SharedTimerWatchdog() override {
    entry_->cancel();
    entry_->join();
  }

  void cancel() override { entry_->cancel(); }
  bool isCancelled() const override { return entry_->isCancelled(); }
  bool finished() const override { return entry_->finished(); }
  void join() override { entry_->join(); }
  void sleep_period() override { entry_->sleep_period(); }

 private:
  std::shared_ptr<SharedWatchdogTimer> timer_;
  std::shared_ptr<Entry> entry_;
};

}  // namespace

SharedTimerWatchdogFactory::SharedTimerWatchdogFactory(std::chrono::milliseconds period)
    : timer_(std::make_shared<SharedWatchdogTimer>(period)) {}

SharedTimerWatchdogFactory::~SharedTimerWatchdogFactory() = default;

std::shared_ptr<WatchdogThread> SharedTimerWatchdogFactory::start(Body body) {
  return std::make_shared<SharedTimerWatchdog>(timer_, timer_->add(std::move(body)));
}

}  // namespace quillon
