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
#include <set>

#include "quillon/manager/ble_manager.h"
#include "quillon/manager/ble_peripheral_router.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/shared_timer_watchdog.h"
#include "quillon/sim/sim_fleet.h"
#include "quillon/sim/sim_world.h"
#include "support/memory_image.h"

namespace quillon::sim {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Reports = std::vector<std::pair<int, std::int64_t>>;

// One module's update: carries its controller's packets to its FF11 and its
// FF11's chunks back. Registered for its own peripheral only.
class ModuleUpdate final : public BLEServiceHandler,
                           public BLEOTADelegate,
                           public std::enable_shared_from_this<ModuleUpdate> {
 public:
  ModuleUpdate(BLEManager& manager, std::shared_ptr<RunLoop> mainQueue, std::shared_ptr<CBPeripheral> peripheral,
               NSData image, OtaPlatform platform)
      : manager_(manager),
        mainQueue_(std::move(mainQueue)),
        peripheral_(std::move(peripheral)),
        image_(std::move(image)),
        controller_(std::make_unique<BLEOTAController>(std::move(platform))) {}

  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                      const std::optional<NSError>&) override {
    for (const auto& service : *peripheral->services()) {
      if (service->UUID() == kOtaServiceUUID) peripheral->discoverCharacteristics_forService(std::nullopt, service);
    }
  }
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>&) override {
    for (const auto& characteristic : *service->characteristics()) {
      if (characteristic->UUID() != kOtaUUID) continue;
      ota_ = characteristic;
      peripheral->setNotifyValue_forCharacteristic(true, characteristic);
      controller_->setDelegate(std::weak_ptr<BLEOTADelegate>(shared_from_this()));
      controller_->download_firmware_from_file(std::make_shared<quillon::test::MemoryImage>(image_));
    }
  }
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                        const std::shared_ptr<CBCharacteristic>& characteristic,
                                                        const std::optional<NSError>&) override {
    if (peripheral != peripheral_) foreignEvents++;
    if (characteristic == ota_ && characteristic->value()) controller_->pkt_received(*characteristic->value());
  }
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {}

  void ota_send_data(std::vector<std::uint8_t> packet) override {
    peripheral_->writeValue_forCharacteristic_type(packet, ota_, CBCharacteristicWriteWithoutResponse);
  }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    // A time-out comes from a watchdog thread: act on it on the main queue.
    mainQueue_->post([weak = weak_from_this(), state, parameter] {
      if (auto self = weak.lock()) self->on_report(state, parameter);
    });
  }

  Reports reports;
  std::int64_t highestProgress = 0;
  int foreignEvents = 0;
  bool done = false;

 private:
  void on_report(std::uint8_t state, std::int64_t parameter) {
    if (state == OTA_STATE_DATAING) {
      highestProgress = std::max(highestProgress, parameter);
      return;
    }
    reports.emplace_back(state, parameter);
    if (state == OTA_STATE_COMPLETED) {
      done = true;
      manager_.disconnect(peripheral_);
    }
  }

  BLEManager& manager_;
  std::shared_ptr<RunLoop> mainQueue_;
  std::shared_ptr<CBPeripheral> peripheral_;
  NSData image_;
  std::unique_ptr<BLEOTAController> controller_;
  std::shared_ptr<CBCharacteristic> ota_;
};

// Finds every module advertising FF10, connects each, and gives each its
// own update through the router.
class FleetApp final : public BLEManagerDelegate {
 public:
  FleetApp(BLEManager& manager, std::shared_ptr<RunLoop> queue, std::map<NSUUID, NSData> images,
           std::function<OtaPlatform()> platform)
      : manager_(manager), queue_(std::move(queue)), images_(std::move(images)), platform_(std::move(platform)) {
    manager_.bleServices().push_back(router_);
  }

  void didUpdateState(CBManagerState state) override {
    if (state == CBManagerStatePoweredOn) manager_.scanForPeripherals("FF10");
  }
  void didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                 const std::shared_ptr<BLEAdvertisementData>&, int) override {
    const NSUUID id = peripheral->identifier();
    if (updates.contains(id) || !images_.contains(id)) return;
    auto update = std::make_shared<ModuleUpdate>(manager_, queue_, peripheral, images_.at(id), platform_());
    updates.emplace(id, update);
    router_->setHandler_forPeripheral(update, id);
    if (updates.size() == images_.size()) manager_.stopScan();
    manager_.connect(peripheral);
  }
  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) override {
    manager_.discoverServices(peripheral);
  }
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {}
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                     const std::optional<NSError>&) override {
    router_->removeHandlerForPeripheral(peripheral->identifier());
    ++disconnected;
  }
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&, const std::optional<CBServiceList>&) override {}

  std::map<NSUUID, std::shared_ptr<ModuleUpdate>> updates;
  std::size_t disconnected = 0;

 private:
  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  std::map<NSUUID, NSData> images_;
  std::function<OtaPlatform()> platform_;
  std::shared_ptr<BLEPeripheralRouter> router_ = std::make_shared<BLEPeripheralRouter>();
};

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
  fleet.faults.corrupt_end = true;  // its verdict cannot be read
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

  ASSERT_TRUE(world->queue()->run_until([&] { return app->disconnected == kModules; }, 120s));

  ASSERT_EQ(app->updates.size(), kModules);
  std::set<std::uint8_t> mtusSeen;
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
