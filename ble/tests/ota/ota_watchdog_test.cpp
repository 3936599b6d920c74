// The time-out watchdog: its rule as a pure function, its periods stepped on
// a fake clock, its life on real threads (short periods, fake clock), and
// one run in real time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ota_test_support.h"
#include "quillon/ota/ota_watchdog_rule.h"

namespace quillon::test {
namespace {

using ::testing::ElementsAre;

TEST(OtaWatchdogRule, SilenceMustExceedThreeWholeSeconds) {
  struct Case {
    std::int64_t now, sent, received;
    bool timed_out;
  };
  for (const Case& c : {
           Case{100, 100, 0, false},  // the check as the watchdog starts
           Case{103, 100, 0, false},  // 3 whole seconds: not yet
           Case{104, 100, 0, true},
           Case{104, 100, 101, false},  // once a chunk came, only it counts
           Case{105, 100, 101, true},
           Case{105, 104, 101, true},  // a recent send does not help then
           Case{108, 104, 105, false},
           Case{100, 0, 0, false},  // a restart has cleared the counters
       }) {
    SCOPED_TRACE(testing::Message() << c.now << "," << c.sent << "," << c.received);
    EXPECT_EQ(ota_watchdog_timed_out(c.now, c.sent, c.received), c.timed_out);
  }
}

struct Stepped {
  Stepped() {
    controller.setDelegate(delegate);
    clock->set(100);
    controller.start(10);
    log->clear();
  }
  SteppedWatchdog& watchdog() { return *watchdogs->started.back(); }

  std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::shared_ptr<SteppedWatchdogFactory> watchdogs = std::make_shared<SteppedWatchdogFactory>();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  BLEOTAController controller{platform_with(log, clock, watchdogs)};
};

TEST(OtaWatchdog, NoAnswerTimesOutAtTheFirstCheckFourSecondsAfterStart) {
  Stepped t;
  t.watchdog().run(*t.clock, {100, 103, 106, 109});
  EXPECT_EQ(t.watchdog().periods(), 2);
  EXPECT_THAT(t.log->lines(), ElementsAre("100,0,100", "100,0,103", "exit thread"));
  EXPECT_EQ(t.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
  ASSERT_EQ(t.delegate->sent.size(), 1u);  // nothing is sent again
}

TEST(OtaWatchdog, SilenceCountsFromTheLastChunkOnceOneArrived) {
  Stepped t;
  t.clock->set(102);
  t.controller.pkt_received(Bytes{0xFC, 0xF3});  // any chunk keeps the transfer alive
  t.log->clear();
  t.watchdog().run(*t.clock, {104, 105, 106});
  EXPECT_THAT(t.log->lines(), ElementsAre("100,102,104", "100,102,105", "exit thread"));
  EXPECT_EQ(t.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
}

TEST(OtaWatchdog, CancelledWatchdogNeverReports) {
  {
    SCOPED_TRACE("stopped by the module's END");
    Stepped t;
    t.controller.pkt_received(bytes_of(encode_end(0)));
    t.delegate->reports.clear();
    t.log->clear();
    t.watchdog().run(*t.clock, {200});
    EXPECT_TRUE(t.delegate->reports.empty());
    EXPECT_TRUE(t.log->lines().empty());
  }
  {
    SCOPED_TRACE("replaced by a new start");
    Stepped t;
    t.controller.start(10);
    ASSERT_EQ(t.watchdogs->started.size(), 2u);
    t.watchdogs->started[0]->run(*t.clock, {200});
    EXPECT_TRUE(t.delegate->reports.empty());
  }
}

// A real-thread watchdog with short periods on the fake clock.
struct Threaded {
  Threaded() {
    delegate->keep_dataing = false;
    delegate->on_report = [this](std::uint8_t state, std::int64_t parameter) {
      std::lock_guard lock(mutex);
      reports.push_back({state, parameter});
      changed.notify_all();
    };
  }
  bool wait_for_report(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return reports.size() >= count; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Report> reports;
  std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(100);
  std::shared_ptr<ThreadWatchdogFactory> watchdogs =
      std::make_shared<ThreadWatchdogFactory>(std::chrono::milliseconds(1));
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST(OtaWatchdogThread, TransferRunsBesideAPollingWatchdog) {
  // The watchdog reads the timestamps every millisecond while the transfer
  // writes them: ThreadSanitizer checks that they are shared safely.
  Threaded t;
  TempDir dir;
  OtaPair pair(module_config(23, 3), std::make_shared<NullLogSink>());
  auto controller = std::make_unique<BLEOTAController>(
      platform_with(std::make_shared<NullLogSink>(), t.clock, t.watchdogs));
  pair.controller = std::move(controller);
  pair.controller->setDelegate(pair.delegate);
  pair.delegate->keep_dataing = false;
  const Bytes image = make_image(50000);
  pair.controller->download_firmware_from_file(
      PosixFileImageHandle::open_for_reading(dir.write("image.bin", image)));
  pair.run_until_idle();
  EXPECT_TRUE(pair.module.image() == image);
  EXPECT_EQ(pair.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_SUCCESS}));
  pair.controller.reset();  // joins the cancelled watchdog
}

TEST(OtaWatchdogThread, TimeOutIsReportedFromTheWatchdogThread) {
  Threaded t;
  auto controller = std::make_unique<BLEOTAController>(platform_with(t.log, t.clock, t.watchdogs));
  controller->setDelegate(t.delegate);
  controller->start(10);
  t.clock->set(104);
  ASSERT_TRUE(t.wait_for_report(1));
  EXPECT_EQ(t.reports[0], (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
  controller.reset();
  EXPECT_EQ(t.log->lines().back(), "exit thread");
}

TEST(OtaWatchdogThread, ControllerMayBeDestroyedFromTheTimeOutReport) {
  Threaded t;
  auto controller = std::make_unique<BLEOTAController>(platform_with(t.log, t.clock, t.watchdogs));
  std::mutex controller_mutex;
  t.delegate->on_report = [&](std::uint8_t state, std::int64_t parameter) {
    {
      std::lock_guard lock(controller_mutex);
      controller.reset();  // on the watchdog thread, inside the report
    }
    std::lock_guard lock(t.mutex);
    t.reports.push_back({state, parameter});
    t.changed.notify_all();
  };
  controller->setDelegate(t.delegate);
  controller->start(10);
  t.clock->set(104);
  ASSERT_TRUE(t.wait_for_report(1));
  // "exit thread" comes after the report, once the controller is gone.
  auto last_line = [&] {
    const auto lines = t.log->lines();
    return lines.empty() ? std::string() : lines.back();
  };
  for (int i = 0; i < 3000 && last_line() != "exit thread"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(last_line(), "exit thread");
  std::lock_guard lock(controller_mutex);
  EXPECT_EQ(controller, nullptr);
}

TEST(OtaWatchdogThread, DestroyingARunningControllerStopsItsWatchdog) {
  // Real 3-second periods: destruction must not wait them out, and the
  // watchdog must never report afterwards.
  auto log = std::make_shared<MemoryLogSink>();
  auto delegate = std::make_shared<RecordingDelegate>();
  {
    BLEOTAController controller(platform_with(log, std::make_shared<SystemClock>()));
    controller.setDelegate(delegate);
    controller.start(10);
    controller.start(10);  // the first watchdog is retired, not awaited
  }
  EXPECT_EQ(delegate->reports.size(), 0u);
}

TEST(OtaWatchdogThread, RealTimeSilenceEndsTheTransfer) {
  // The one test on the real clock and real 3-second periods: takes about
  // 4 to 7 seconds.
  Threaded t;
  BLEOTAController controller(platform_with(t.log, std::make_shared<SystemClock>()));
  controller.setDelegate(t.delegate);
  controller.start(10);
  ASSERT_TRUE(t.wait_for_report(1));
  EXPECT_EQ(t.reports[0], (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
}

}  // namespace
}  // namespace quillon::test
