// Watchdogs sharing one timer thread: many bodies on one extra thread, each
// once per period; cancelling or dropping one that waits ends it at once;
// the timer outlives its factory; and the OTA controller's own body times
// out on that thread, which may destroy the controller and the last owner
// of the timer from inside the report.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "ota_test_support.h"
#include "quillon/platform/shared_timer_watchdog.h"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

// What the bodies of one test record, and a wait for a condition on it.
struct Runs {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> count;
  std::set<std::thread::id> threads;

  void ran(std::size_t i) {
    std::lock_guard lock(mutex);
    ++count[i];
    threads.insert(std::this_thread::get_id());
    changed.notify_all();
  }
  template <typename Pred>
  bool wait(Pred pred) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 30s, [&] { return pred(); });
  }
};

// A body shaped like the OTA controller's: check, wait a period, and end
// once cancelled.
WatchdogFactory::Body counting_body(Runs& runs, std::size_t i) {
  return [&runs, i](WatchdogThread& self) {
    for (;;) {
      if (self.isCancelled()) return;
      runs.ran(i);
      self.sleep_period();
    }
  };
}

TEST(SharedTimerWatchdog, ManyWatchdogsShareOneThreadAndEachChecksEveryPeriod) {
  constexpr std::size_t kCount = 64;
  Runs runs;
  runs.count.assign(kCount, 0);
  auto factory = std::make_unique<SharedTimerWatchdogFactory>(2ms);
  std::vector<std::shared_ptr<WatchdogThread>> dogs;
  for (std::size_t i = 0; i < kCount; ++i) dogs.push_back(factory->start(counting_body(runs, i)));

  ASSERT_TRUE(runs.wait([&] { return std::ranges::all_of(runs.count, [](int n) { return n >= 3; }); }));
  {
    std::lock_guard lock(runs.mutex);
    ASSERT_EQ(runs.threads.size(), 1u);
    EXPECT_NE(*runs.threads.begin(), std::this_thread::get_id());
  }

  for (auto& dog : dogs) dog->cancel();
  for (auto& dog : dogs) {
    dog->join();
    EXPECT_TRUE(dog->finished());
  }
  std::vector<int> at_join;
  {
    std::lock_guard lock(runs.mutex);
    at_join = runs.count;
  }
  dogs.clear();
  factory.reset();  // the last owner: joins the timer thread
  EXPECT_EQ(runs.count, at_join) << "no body ran after its watchdog was joined";
}

TEST(SharedTimerWatchdog, AWaitingWatchdogEndsAtOnceWhenCancelledOrDropped) {
  // An hour-long period: only ending without waiting it out lets this pass.
  Runs runs;
  runs.count.assign(2, 0);
  SharedTimerWatchdogFactory factory(1h);
  auto captured = std::make_shared<int>(0);
  auto cancelled = factory.start(counting_body(runs, 0));
  auto dropped = factory.start([&runs, captured](WatchdogThread& self) { counting_body(runs, 1)(self); });
  ASSERT_TRUE(runs.wait([&] { return runs.count[0] == 1 && runs.count[1] == 1; }));

  cancelled->cancel();
  cancelled->join();
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_TRUE(cancelled->finished());

  dropped.reset();
  EXPECT_EQ(captured.use_count(), 1) << "an ended watchdog lets go of its body";
  EXPECT_EQ(runs.count, (std::vector<int>{1, 1}));
}

TEST(SharedTimerWatchdog, WatchdogsKeepTheTimerAfterTheFactoryHasGone) {
  Runs runs;
  runs.count.assign(1, 0);
  auto factory = std::make_unique<SharedTimerWatchdogFactory>(1ms);
  auto dog = factory->start(counting_body(runs, 0));
  ASSERT_TRUE(runs.wait([&] { return runs.count[0] >= 1; }));
  factory.reset();
  ASSERT_TRUE(runs.wait([&] { return runs.count[0] >= 3; }));
  EXPECT_FALSE(dog->finished());
}

TEST(SharedTimerWatchdog, ControllerTimesOutOnTheTimerThreadAndMayBeDestroyedThere) {
  auto clock = std::make_shared<FakeClock>(100);
  auto log = std::make_shared<MemoryLogSink>();
  auto factory = std::make_shared<SharedTimerWatchdogFactory>(1ms);
  auto controller = std::make_unique<BLEOTAController>(platform_with(log, clock, factory));
  // The controllers are the timer's last owners once the factory is dropped:
  // the report below then ends the timer from its own thread.
  factory.reset();

  std::promise<std::thread::id> reported;
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->keep_dataing = false;
  delegate->on_report = [&](std::uint8_t state, std::int64_t parameter) {
    EXPECT_EQ((Report{state, parameter}), (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
    controller.reset();  // inside the report, on the timer thread
    reported.set_value(std::this_thread::get_id());
  };
  controller->setDelegate(delegate);
  controller->start(10);
  clock->set(104);  // more than 3 silent seconds

  auto report = reported.get_future();
  ASSERT_EQ(report.wait_for(30s), std::future_status::ready);
  EXPECT_NE(report.get(), std::this_thread::get_id());
  for (int i = 0; i < 3000 && (log->lines().empty() || log->lines().back() != "exit thread"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(log->lines().back(), "exit thread");
}

}  // namespace
}  // namespace quillon::test
