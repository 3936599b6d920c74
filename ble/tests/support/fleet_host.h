// A host that updates every module it finds at once, as a fleet-updating
// app would: one BLEManager, one BLEOTAController per module, each module's
// GATT events routed to its own update through a BLEPeripheralRouter, and
// every report acted on on the main queue (the time-out comes from a
// watchdog thread). Shared by the fleet tests and the fleet benchmark.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "quillon/manager/ble_manager.h"
#include "quillon/manager/ble_peripheral_router.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/sim/sim_data_module.h"
#include "support/memory_image.h"

namespace quillon::test {

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
      if (service->UUID() == sim::kOtaServiceUUID) peripheral->discoverCharacteristics_forService(std::nullopt, service);
    }
  }
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>&) override {
    for (const auto& characteristic : *service->characteristics()) {
      if (characteristic->UUID() != sim::kOtaUUID) continue;
      ota_ = characteristic;
      peripheral->setNotifyValue_forCharacteristic(true, characteristic);
      controller_->setDelegate(std::weak_ptr<BLEOTADelegate>(shared_from_this()));
      controller_->download_firmware_from_file(std::make_shared<MemoryImage>(image_));
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
    if (std::this_thread::get_id() == mainThread_) {
      on_report(state, parameter);
      return;
    }
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
  const std::thread::id mainThread_ = std::this_thread::get_id();  // made on the main thread
};

// Finds every module advertising FF10 that has an image in `images`,
// connects each, and gives each its own update (a controller on
// `platform()`) through the router.
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

  // Whether every module with an image has ended its update and its link.
  bool allDone() const { return disconnected == images_.size(); }

  std::map<NSUUID, std::shared_ptr<ModuleUpdate>> updates;
  std::size_t disconnected = 0;

 private:
  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  std::map<NSUUID, NSData> images_;
  std::function<OtaPlatform()> platform_;
  std::shared_ptr<BLEPeripheralRouter> router_ = std::make_shared<BLEPeripheralRouter>();
};

}  // namespace quillon::test
