// Eight modules updated at once through one BLEManager over links with
// latency, one controller per module, one of the modules faulty: every
// healthy module holds exactly its own image, the faulty one's transfer
// fails with its own status, and nothing of one transfer reaches another.
// Run with each kind of watchdog, polling every millisecond so that the
// watchdogs read the transfers' timestamps all along.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "quillon/platform/shared_timer_watchdog.h"
#include "quillon/sim/sim_fleet.h"
#include "quillon/sim/sim_world.h"
#include "support/fleet_host.h"

namespace quillon::sim {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using quillon::test::FleetApp;
using quillon::test::ModuleUpdate;

enum class Watchdogs { OneThreadEach, OneSharedTimer };

class FleetUpdateTest : public ::testing::TestWithParam<Watchdogs> {};

TEST_P(FleetUpdateTest, EightModulesAtOnceEachGetOnlyTheirOwnImage) {
  constexpr std::size_t kModules = 8;
  constexpr std::size_t kFaulty = 5;
  auto world = SimWorld::create();
  SimFleetConfig fleet;
  fleet.count = kModules;
  fleet.answerLatency = 7500us;
  fleet.faultyIndex = kFaulty;
  fleet.faults.corrupt_end = true;  // it takes the image, but its verdict cannot be read
  // Every module has its own mtu and credit, so that a packet gone astray
  // would break framing or indices at its receiver.
  fleet.adjust = [](std::size_t i, SimDataModuleConfig& config) {
    const std::uint8_t mtus[] = {23, 247, 64, 185, 100, 247, 40, 150};
    const std::uint8_t credits[] = {1, 3, 8, 2, 3, 5, 4, 3};
    config.ota.mtu = mtus[i];
    config.ota.credit = credits[i];
  };
  const auto modules = addDataModules(*world, fleet);
  EXPECT_EQ(*modules.back()->name(), "Printer BLE 08");

  // Distinct lengths and bytes per module.
  std::map<NSUUID, NSData> images;
  for (std::size_t i = 0; i < kModules; ++i) {
    NSData image(2000 + 733 * i);
    for (std::size_t k = 0; k < image.size(); ++k) image[k] = static_cast<std::uint8_t>(k * (i + 3) + i);
    images.emplace(modules[i]->identifier(), std::move(image));
  }
  std::shared_ptr<WatchdogFactory> shared = std::make_shared<SharedTimerWatchdogFactory>(1ms);
  auto platform = [&] {
    OtaPlatform p;
    p.log = std::make_shared<NullLogSink>();
    p.watchdogs = GetParam() == Watchdogs::OneSharedTimer ? shared : std::make_shared<ThreadWatchdogFactory>(1ms);
    return p;
  };
  BLEManager manager(BLEPlatform{world->centralFactory(), world->queue(), std::make_shared<MemoryUserDefaults>(),
                                 std::make_shared<FixedSystemVersion>("8.0"), std::make_shared<NullLogSink>()});
  auto app = std::make_shared<FleetApp>(manager, world->queue(), images, platform);
  manager.setDelegate(app);

  ASSERT_TRUE(world->queue()->run_until([&] { return app->allDone(); }, 120s));

  ASSERT_EQ(app->updates.size(), kModules);
  for (const auto& device : modules) {
    const bool faulty = device == modules[kFaulty];
    SCOPED_TRACE(*device->name());
    const NSData& image = images.at(device->identifier());
    const auto length = static_cast<std::int64_t>(image.size());
    const ModuleUpdate& update = *app->updates.at(device->identifier());
    EXPECT_TRUE(device->otaModule().image() == image) << "the module holds exactly its own image";
    EXPECT_THAT(device->otaModule().violations(), ElementsAre());
    EXPECT_EQ(device->otaModule().verdict(), OTA_SUCCESS);
    EXPECT_EQ(update.highestProgress, length);
    EXPECT_EQ(update.foreignEvents, 0);
    EXPECT_THAT(update.reports,
                ElementsAre(std::pair<int, std::int64_t>{OTA_STATE_STARTING, 0},
                            std::pair<int, std::int64_t>{OTA_STATE_STARTED, length},
                            std::pair<int, std::int64_t>{OTA_STATE_COMPLETED,
                                                         faulty ? OTA_ERR_CHECK_SUM_FAIL : OTA_SUCCESS}));
    EXPECT_EQ(device->connectionCount(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Watchdogs, FleetUpdateTest,
                         ::testing::Values(Watchdogs::OneThreadEach, Watchdogs::OneSharedTimer),
                         [](const auto& info) {
                           return info.param == Watchdogs::OneThreadEach ? "OneThreadEach" : "OneSharedTimer";
                         });

}  // namespace
}  // namespace quillon::sim
