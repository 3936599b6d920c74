// Several transfers whose downloads land under one name in the cache (one
// URL for several modules): a transfer reads its image through the file it
// downloaded, so a later download that replaces the name, fails and removes
// its own half-written file never cuts the earlier transfer short.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>

#include "loopback_http_server.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/run_loop.h"
#include "quillon/module/ota_module.h"
#include "scratch_directory.h"
#include "support/idle_watchdog.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// One module's host. The module's answers wait in `held` until released, so
// a test can keep a transfer in the middle while other downloads run.
class HeldHost final : public BLEOTADelegate {
 public:
  explicit HeldHost(std::shared_ptr<RunLoop> loop) : loop_(std::move(loop)) {
    module.set_output([this](std::vector<std::uint8_t> chunk) {
      if (holding) {
        held.push_back(std::move(chunk));
        return;
      }
      loop_->post([this, chunk = std::move(chunk)] { controller->pkt_received(chunk); });
    });
  }
  void release() {
    holding = false;
    for (auto& chunk : held) loop_->post([this, chunk = std::move(chunk)] { controller->pkt_received(chunk); });
    held.clear();
  }
  void ota_send_data(std::vector<std::uint8_t> packet) override { module.receive(packet); }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    if (state == OTA_STATE_STARTING) starting = true;
    if (state == OTA_STATE_COMPLETED) result = parameter;
  }

  std::unique_ptr<BLEOTAController> controller;
  OtaModule module;
  bool holding = true;
  std::deque<std::vector<std::uint8_t>> held;
  bool starting = false;
  std::optional<std::int64_t> result;

 private:
  std::shared_ptr<RunLoop> loop_;
};

TEST(SameNameDownloads, ALaterFailedDownloadOfTheSameNameLeavesARunningTransferWhole) {
  test_support::ScratchDirectory scratch;
  test_support::ScopedEnv cache_env("XDG_CACHE_HOME", (scratch.path() / "cache").c_str());
  test_support::LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, scratch.path() / "requests.log");
  auto loop = std::make_shared<RunLoop>();
  auto make_host = [&] {
    auto host = std::make_shared<HeldHost>(loop);
    OtaPlatform platform;
    platform.log = std::make_shared<NullLogSink>();
    platform.watchdogs = std::make_shared<test::IdleWatchdogFactory>();
    platform.main_queue = loop;
    host->controller = std::make_unique<BLEOTAController>(std::move(platform));
    host->controller->setDelegate(host);
    return host;
  };

  // The first module's image is downloaded and its transfer has begun.
  auto first = make_host();
  first->controller->download_firmware_from_url(server.url("/fw/fw.bin?size=60000"));
  ASSERT_TRUE(loop->run_until([&] { return first->starting; }, 60s));

  // A second module's download of the same name replaces the file, then
  // breaks off and removes what it wrote.
  auto second = make_host();
  second->controller->download_firmware_from_url(server.url("/fw/fw.bin?size=90000&cut=30000"));
  ASSERT_TRUE(loop->run_until([&] { return second->result.has_value(); }, 60s));
  EXPECT_EQ(*second->result, OTA_ERR_OTHER);
  EXPECT_FALSE(fs::exists(scratch.path() / "cache" / "quillon" / "fw.bin"));

  first->release();
  ASSERT_TRUE(loop->run_until([&] { return first->result.has_value(); }, 60s));
  EXPECT_EQ(*first->result, OTA_SUCCESS);
  EXPECT_EQ(first->module.image_length(), 60000u);
  EXPECT_TRUE(test_support::is_served_body(first->module.image()));
  EXPECT_TRUE(first->module.violations().empty());
}

}  // namespace
}  // namespace quillon
