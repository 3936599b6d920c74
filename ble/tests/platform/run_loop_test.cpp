#include "quillon/platform/run_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace quillon {
namespace {

using namespace std::chrono_literals;

TEST(RunLoop, RunsTasksInPostOrderIncludingThosePostedWhileRunning) {
  RunLoop loop;
  std::vector<std::string> order;
  loop.post([&] {
    order.push_back("a");
    loop.post([&] { order.push_back("c"); });
  });
  loop.post([&] { order.push_back("b"); });
  EXPECT_EQ(loop.run_until_idle(), 3u);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(loop.pending(), 0u);
}

TEST(RunLoop, IdleRunLeavesDelayedTasksForLater) {
  RunLoop loop;
  bool ran = false;
  loop.post_after(50ms, [&] { ran = true; });
  EXPECT_EQ(loop.run_until_idle(), 0u);
  EXPECT_FALSE(ran);
  EXPECT_EQ(loop.pending(), 1u);
  EXPECT_TRUE(loop.run_until([&] { return ran; }, 5s));
}

TEST(RunLoop, DelayedTasksRunInDueOrder) {
  RunLoop loop;
  std::vector<int> order;
  loop.post_after(30ms, [&] { order.push_back(2); });
  loop.post_after(1ms, [&] { order.push_back(1); });
  EXPECT_TRUE(loop.run_until([&] { return order.size() == 2; }, 5s));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(RunLoop, TasksPostedFromAnotherThreadRunOnTheLoopThread) {
  RunLoop loop;
  std::atomic<int> count{0};
  std::thread::id ran_on;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) {
      loop.post([&] {
        ran_on = std::this_thread::get_id();
        ++count;
      });
    }
  });
  EXPECT_TRUE(loop.run_until([&] { return count == 100; }, 10s));
  poster.join();
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// A delayed task posted from another thread while the loop waits for its
// deadline must run when it falls due, not when the deadline ends the wait.
// The task itself ends the run; a missed wake-up would hang for the 60 s.
TEST(RunLoop, DelayedTaskPostedFromAnotherThreadWakesAWaitingRun) {
  RunLoop loop;
  std::atomic<bool> ran{false};
  std::atomic<bool> waiting{false};
  loop.post([&] { waiting = true; });
  std::thread poster([&] {
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);  // lets the loop settle into its wait
    loop.post_after(1ms, [&] { ran = true; });
  });
  const auto start = RunLoop::Clock::now();
  EXPECT_TRUE(loop.run_until([&] { return ran.load(); }, 60s));
  poster.join();
  EXPECT_LT(RunLoop::Clock::now() - start, 30s) << "the run waited for its deadline";
}

TEST(RunLoop, RunUntilGivesUpAtTheTimeoutWhenNothingHappens) {
  RunLoop loop;
  EXPECT_FALSE(loop.run_until([] { return false; }, 20ms));
  bool ran = false;
  loop.post([&] { ran = true; });
  loop.run_for(1ms);
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace quillon
