// The controller against peers and hosts that do not follow the happy path:
// stale acknowledgements, a link that answers inside the send, a new
// acquisition during a transfer, a time-out racing the module's END, and
// images whose reads fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "ota_test_support.h"
#include "quillon/platform/run_loop.h"
#include "support/memory_image.h"

namespace quillon::test {
namespace {

std::size_t count_completed(const std::vector<Report>& reports) {
  return static_cast<std::size_t>(
      std::count_if(reports.begin(), reports.end(), [](const Report& r) { return r.state == OTA_STATE_COMPLETED; }));
}

std::vector<std::int64_t> data_indices(const std::vector<Bytes>& sent) {
  std::vector<std::int64_t> indices;
  for (const auto& p : sent) {
    if (p[0] == OTA_CMD_DATA) indices.push_back(p[1] | (p[2] << 8));
  }
  return indices;
}

TEST(OtaHostilePeer, AckOfDataBeforeAckOfStartIsIgnored) {
  OtaPair pair(module_config(20, 3));
  pair.controller->download_firmware_from_file(std::make_shared<MemoryImage>(make_image(100)));
  pair.to_module.clear();  // START stays unanswered for now
  pair.delegate->sent.clear();

  pair.controller->pkt_received(kAckData);
  EXPECT_TRUE(pair.delegate->sent.empty()) << "no window, and above all no END, before START is acknowledged";
  EXPECT_EQ(pair.controller->current_id(), 0);

  pair.controller->pkt_received(kAckStart20x3);
  EXPECT_EQ(data_indices(pair.delegate->sent), (std::vector<std::int64_t>{0, 1, 2}));
}

TEST(OtaHostilePeer, ModuleAnsweringInsideTheSendGetsEveryIndexOnce) {
  // A loopback link: the module's answer reaches pkt_received while the
  // controller is still inside ota_send_data.
  OtaPair pair(module_config(20, 3));
  int depth = 0;
  std::int64_t lowest_credit = 0;
  pair.delegate->on_send = [&](Bytes packet) {
    ++depth;
    pair.module.receive(packet);
    while (auto chunk = pair.module.take_output()) {
      pair.controller->pkt_received(*chunk);
      lowest_credit = std::min(lowest_credit, pair.controller->credit());
    }
    --depth;
  };
  const Bytes image = make_image(1000);
  pair.controller->download_firmware_from_file(std::make_shared<MemoryImage>(image));

  EXPECT_EQ(depth, 0);
  EXPECT_TRUE(pair.module.violations().empty()) << pair.module.violations().front();
  EXPECT_TRUE(pair.module.image() == image);
  std::vector<std::int64_t> expected(63);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(data_indices(pair.delegate->sent), expected);
  EXPECT_GE(lowest_credit, 0);
  EXPECT_EQ(pair.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_SUCCESS}));
}

// An HTTP client whose downloads stay silent until the test says otherwise.
class HeldHttpClient final : public HttpClient {
 public:
  class Held final : public HttpConnection {
   public:
    void cancel() override {}
  };
  std::unique_ptr<HttpConnection> get(const std::string&, const HttpHeaders&, HttpConnectionDelegate&,
                                      RunLoop&) override {
    auto connection = std::make_unique<Held>();
    last = connection.get();
    return connection;
  }
  HttpConnection* last = nullptr;
};

TEST(OtaHostilePeer, NewAcquisitionEndsTheRunningTransfer) {
  for (bool from_url : {true, false}) {
    SCOPED_TRACE(from_url ? "download" : "file");
    auto http = std::make_shared<HeldHttpClient>();
    auto loop = std::make_shared<RunLoop>();
    auto log = std::make_shared<MemoryLogSink>();
    auto clock = std::make_shared<FakeClock>(100);
    auto watchdogs = std::make_shared<SteppedWatchdogFactory>();
    OtaPlatform platform = platform_with(log, clock, watchdogs);
    platform.http = http;
    platform.main_queue = loop;
    BLEOTAController controller(platform);
    auto delegate = std::make_shared<RecordingDelegate>();
    controller.setDelegate(delegate);

    controller.download_firmware_from_file(std::make_shared<MemoryImage>(make_image(1000)));
    controller.pkt_received(kAckStart20x3);
    auto old_watchdog = watchdogs->started.back();

    if (from_url) {
      controller.download_firmware_from_url("http://127.0.0.1:1/fw.bin");
    } else {
      auto held_image = std::make_shared<MemoryImage>(make_image(10));
      // The new image's START goes out at once; its module has not answered.
      controller.download_firmware_from_file(held_image);
    }
    EXPECT_TRUE(old_watchdog->isCancelled());
    // The old watchdog, late, finds silence: it must not speak.
    old_watchdog->run(*clock, {200});
    delegate->sent.clear();
    delegate->reports.clear();

    // The old module's acknowledgement arrives late: no window goes out
    // over the new image (whose START, if sent, is unacknowledged).
    controller.pkt_received(kAckData);
    EXPECT_THAT(data_indices(delegate->sent), ::testing::IsEmpty());
    EXPECT_TRUE(delegate->reports.empty());
    if (from_url) {
      // While the image downloads, even the old module's verdict is no
      // verdict on anything.
      controller.pkt_received(kModuleEndOk);
      EXPECT_TRUE(delegate->reports.empty());
      EXPECT_TRUE(delegate->sent.empty());
    }
  }
}

// A watchdog whose cancel check lets the host's thread run in between the
// check and what follows it: the module's END arriving just then.
TEST(OtaHostilePeer, TimeOutRacingTheModuleEndReportsOnce) {
  OtaPair pair(module_config(20, 3));
  pair.controller->download_firmware_from_file(std::make_shared<MemoryImage>(make_image(40)));
  pair.to_module.clear();
  pair.controller->pkt_received(kAckStart20x3);

  SteppedWatchdog& dog = *pair.watchdogs->started.back();
  // The first check opens the period; the second is the last look before
  // the time-out report, and the END slips in right after it.
  int checks = 0;
  bool delivered = false;
  dog.after_cancel_check = [&] {
    if (++checks != 2) return;
    delivered = true;
    pair.controller->pkt_received(kModuleEndOk);
  };
  // No chunk for more than 3 seconds: the check at 1005 times out.
  dog.run(*pair.clock, {1005});

  EXPECT_TRUE(delivered);
  EXPECT_EQ(count_completed(pair.delegate->reports), 1u);
}

TEST(OtaHostilePeer, ReadErrorEndsTheTransferAsAFailure) {
  // 100 KiB, unreadable from 70,000 on: what could be read goes out, then
  // END with an error, whatever the module answers afterwards.
  OtaPair pair(module_config(247, 3));
  auto image = std::make_shared<MemoryImage>(make_image(100 * 1024));
  image->fail_reads_past(70000);
  pair.controller->download_firmware_from_file(image);
  pair.run_until_idle();

  const auto& last = pair.delegate->sent.back();
  EXPECT_EQ(Bytes(last.begin(), last.end()), bytes_of(encode_end(OTA_ERR_OTHER)));
  EXPECT_GT(pair.module.image_length(), 60000u);
  EXPECT_LT(pair.module.image_length(), 70000u);
  EXPECT_EQ(count_completed(pair.delegate->reports), 1u);
  EXPECT_EQ(pair.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
  EXPECT_THAT(pair.memory_log->lines(), ::testing::Contains(::testing::EndsWith(" of 102400 bytes")));
  EXPECT_TRUE(pair.watchdogs->started.back()->isCancelled());
}

}  // namespace
}  // namespace quillon::test
