// End to end: the app finds the printer's data module in the simulated
// world, connects, discovers, subscribes to FF11 and runs a whole firmware
// update through a BLEServiceHandler and the OTA controller.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "quillon/dis/device_information_reader.h"
#include "quillon/manager/ble_manager.h"
#include "quillon/ota/ble_ota_controller.h"
#include "support/idle_watchdog.h"
#include "support/memory_image.h"
#include "quillon/sim/sim_data_module.h"
#include "quillon/sim/sim_world.h"

namespace quillon::sim {
namespace {

using ::testing::ElementsAre;

// The app's OTA service handler: carries the controller's packets to FF11
// and FF11's notifications back to the controller.
class OtaServiceHandler final : public BLEServiceHandler,
                                public BLEOTADelegate,
                                public std::enable_shared_from_this<OtaServiceHandler> {
 public:
  OtaServiceHandler(BLEManager& manager, NSData image) : manager_(manager), image_(std::move(image)) {
    OtaPlatform platform;
    platform.log = std::make_shared<NullLogSink>();
    platform.watchdogs = std::make_shared<quillon::test::IdleWatchdogFactory>();
    controller_ = std::make_unique<BLEOTAController>(std::move(platform));
  }

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
      peripheral_ = peripheral;
      ota_ = characteristic;
      peripheral->setNotifyValue_forCharacteristic(true, characteristic);
      controller_->setDelegate(std::weak_ptr<BLEOTADelegate>(shared_from_this()));
      controller_->download_firmware_from_file(std::make_shared<quillon::test::MemoryImage>(image_));
    }
  }
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>& characteristic,
                                                        const std::optional<NSError>&) override {
    if (characteristic == ota_ && characteristic->value()) controller_->pkt_received(*characteristic->value());
  }
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {
    ++confirmedWrites;
  }

  void ota_send_data(std::vector<std::uint8_t> packet) override {
    ++packetsSent;
    peripheral_->writeValue_forCharacteristic_type(packet, ota_, CBCharacteristicWriteWithoutResponse);
  }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    if (state == OTA_STATE_DATAING) return;
    reports.emplace_back(state, parameter);
    if (state == OTA_STATE_COMPLETED) manager_.disconnect(peripheral_);
  }

  std::vector<std::pair<int, std::int64_t>> reports;
  int packetsSent = 0;
  int confirmedWrites = 0;

 private:
  BLEManager& manager_;
  NSData image_;
  std::unique_ptr<BLEOTAController> controller_;
  std::shared_ptr<CBPeripheral> peripheral_;
  std::shared_ptr<CBCharacteristic> ota_;
};

class UpdatingApp final : public BLEManagerDelegate {
 public:
  explicit UpdatingApp(BLEManager& manager) : manager_(manager) {}
  void didUpdateState(CBManagerState state) override {
    if (state == CBManagerStatePoweredOn) manager_.scanForPeripherals("FF00");
  }
  void didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                 const std::shared_ptr<BLEAdvertisementData>&, int) override {
    manager_.stopScan();
    manager_.connect(peripheral);
  }
  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) override {
    manager_.discoverServices(peripheral);
  }
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {}
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>& error) override {
    disconnected = true;
    disconnectError = error;
  }
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&, const std::optional<CBServiceList>&) override {}

  bool disconnected = false;
  std::optional<NSError> disconnectError;

 private:
  BLEManager& manager_;
};

// What an app that checks versions does: once every service is known, it
// reads the module's Device Information (a handler of its own while it
// reads), then hands the services to its update.
class ReadFirstThenUpdate final : public BLEServiceHandler {
 public:
  ReadFirstThenUpdate(BLEManager& manager, std::shared_ptr<RunLoop> queue, std::shared_ptr<OtaServiceHandler> update)
      : manager_(manager), queue_(std::move(queue)), update_(std::move(update)) {}

  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                      const std::optional<NSError>&) override {
    if (reader_) return;
    reader_ = DeviceInformationReader::create(queue_);
    manager_.bleServices().push_back(reader_);
    reader_->read(peripheral, std::chrono::seconds(5), [this, peripheral](const DeviceInformationReadResult& read) {
      this->read = read;
      auto& handlers = manager_.bleServices();
      std::erase(handlers, std::static_pointer_cast<BLEServiceHandler>(reader_));
      handlers.push_back(update_);
      update_->peripheral_didDiscoverServices(peripheral, std::nullopt);
    });
  }
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>&,
                                                             const std::shared_ptr<CBService>&,
                                                             const std::optional<NSError>&) override {}
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>&,
                                                        const std::optional<NSError>&) override {}
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {}

  std::optional<DeviceInformationReadResult> read;

 private:
  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  std::shared_ptr<OtaServiceHandler> update_;
  std::shared_ptr<DeviceInformationReader> reader_;
};

// Reading Device Information after every service was discovered leaves the
// OTA service in place, whether the module offers Device Information or
// not (the reader then looks for it alone).
TEST(FirmwareUpdateTest, AnUpdateAfterTheDeviceInformationReadReachesTheModule) {
  for (const bool informs : {false, true}) {
    SCOPED_TRACE(informs ? "module with Device Information" : "module without Device Information");
    const NSData image(3000, 0x5A);
    auto world = SimWorld::create();
    SimDataModuleConfig moduleConfig;
    if (informs) moduleConfig.deviceInformation = {{DeviceInformationField::FirmwareRevision, {'1', '.', '0'}}};
    auto module = std::make_shared<SimDataModule>(moduleConfig);
    world->addDevice(module);
    BLEManager manager(BLEPlatform{world->centralFactory(), world->queue(), std::make_shared<MemoryUserDefaults>(),
                                   std::make_shared<FixedSystemVersion>("8.0"), std::make_shared<NullLogSink>()});
    auto app = std::make_shared<UpdatingApp>(manager);
    auto update = std::make_shared<OtaServiceHandler>(manager, image);
    auto readFirst = std::make_shared<ReadFirstThenUpdate>(manager, world->queue(), update);
    manager.setDelegate(app);
    manager.bleServices().push_back(readFirst);

    ASSERT_TRUE(world->queue()->run_until([&] { return app->disconnected; }, std::chrono::seconds(60)));

    ASSERT_TRUE(readFirst->read.has_value());
    EXPECT_EQ(readFirst->read->ending, informs ? DeviceInformationReadResult::Ending::Complete
                                               : DeviceInformationReadResult::Ending::NoService);
    EXPECT_EQ(readFirst->read->values.size(), informs ? 1u : 0u);
    EXPECT_EQ(module->otaModule().verdict(), OTA_SUCCESS);
    EXPECT_EQ(module->otaModule().image(), image);
  }
}

TEST(FirmwareUpdateTest, AWholeImageReachesTheModuleOverTheManagedLink) {
  const struct {
    std::size_t length;
    std::uint8_t mtu;
    std::uint8_t credit;
  } cases[] = {{5000, 23, 3}, {70000, 247, 8}, {1, 20, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.length << " bytes, mtu " << int(c.mtu));
    NSData image(c.length);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>((i * 131 + i / 7) & 0xFF);

    auto world = SimWorld::create();
    SimDataModuleConfig moduleConfig;
    moduleConfig.ota.mtu = c.mtu;
    moduleConfig.ota.credit = c.credit;
    auto module = std::make_shared<SimDataModule>(moduleConfig);
    world->addDevice(module);
    auto log = std::make_shared<MemoryLogSink>();
    BLEManager manager(BLEPlatform{world->centralFactory(), world->queue(), std::make_shared<MemoryUserDefaults>(),
                                   std::make_shared<FixedSystemVersion>("8.0"), log});
    auto app = std::make_shared<UpdatingApp>(manager);
    auto handler = std::make_shared<OtaServiceHandler>(manager, image);
    manager.setDelegate(app);
    manager.bleServices().push_back(handler);

    ASSERT_TRUE(world->queue()->run_until([&] { return app->disconnected; }, std::chrono::seconds(60)));

    EXPECT_EQ(module->otaModule().image(), image);
    EXPECT_TRUE(module->otaModule().violations().empty());
    EXPECT_EQ(module->otaModule().verdict(), OTA_SUCCESS);
    EXPECT_THAT(handler->reports,
                ElementsAre(std::pair<int, std::int64_t>{OTA_STATE_STARTING, 0},
                            std::pair<int, std::int64_t>{OTA_STATE_STARTED, static_cast<std::int64_t>(c.length)},
                            std::pair<int, std::int64_t>{OTA_STATE_COMPLETED, OTA_SUCCESS}));
    EXPECT_EQ(handler->confirmedWrites, 0) << "writes without response are not confirmed";
    EXPECT_EQ(static_cast<std::uint64_t>(handler->packetsSent), module->otaModule().packets_received());
    EXPECT_FALSE(app->disconnectError.has_value()) << "the app ended the link itself";
    EXPECT_EQ(module->connectionCount(), 0u);
    const auto lines = log->lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[BLEManager]0:FF11"), lines.end());
    EXPECT_EQ(lines.back(), "[BLEManager]Disconnected");
  }
}

}  // namespace
}  // namespace quillon::sim
