#include "stop_signals.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <future>

#include "exit_codes.h"

namespace quillon::tools {
namespace {

TEST(StopSignals, ASignalSentToTheProcessReachesTheWatcherOrTheLoopAsAnEvent) {
  // Blocked before this test starts any thread, as main() does.
  block_stop_signals();
  {
    std::promise<int> got;
    StopSignalWatcher watcher([&got](int signal) { got.set_value(signal); });
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    EXPECT_EQ(got.get_future().get(), SIGTERM);
  }
  // With no watcher, a signal waits on the loop's descriptor.
  StopSignals signals;
  EXPECT_EQ(signals.take(), 0);
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  pollfd ready{signals.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, -1), 1);
  const int signal = signals.take();
  EXPECT_EQ(signal, SIGINT);
  EXPECT_EQ(stop_signal_exit_status(signal), 130);
  EXPECT_EQ(stop_signal_exit_status(SIGTERM), 143);
}

}  // namespace
}  // namespace quillon::tools
