// The BLEServiceHandler that does the OTA service's share of the GATT work
// for one peripheral: finds the OTA characteristic (FF11 of service FF10),
// subscribes to its notifications, hands every notified chunk on and writes
// packets to it. BLEManager forwards the GATT events of every peripheral to
// every handler; this one acts only on the peripheral it was given.
// Main thread only, as all of BLEManager's events.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "quillon/manager/ble_service_handler.h"

namespace quillon::ota_tool {

class OtaCharacteristicHandler final : public BLEServiceHandler {
 public:
  struct Callbacks {
    // The characteristic is found and its notifications are on: writes may
    // start, and the module's answers will be heard.
    std::function<void()> ready;
    // One chunk the module sent on the OTA characteristic.
    std::function<void(std::span<const std::uint8_t> chunk)> chunk;
    // The OTA service or characteristic is missing, discovery failed, or
    // the platform refused to switch its notifications on (a module that
    // could not answer would look silent).
    std::function<void(const std::string& why)> failed;
  };

  explicit OtaCharacteristicHandler(Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

  // The peripheral whose events count; others are ignored.
  void watch(std::shared_ptr<CBPeripheral> peripheral) { peripheral_ = std::move(peripheral); }
  // Writes one packet, without response, as the OTA characteristic expects.
  // Ignored before ready(). A packet the link cannot take yet
  // (canSendWriteWithoutResponse) is kept and sent, in order, when the
  // peripheral is ready again, so that a burst as large as the module's
  // credit never overruns the link.
  void write(const std::vector<std::uint8_t>& packet);
  // Packets kept until the link takes them.
  std::size_t waiting() const { return waiting_.size(); }

  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                      const std::optional<NSError>& error) override;
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>& error) override;
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                        const std::shared_ptr<CBCharacteristic>& characteristic,
                                                        const std::optional<NSError>& error) override;
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {}
  void peripheral_didUpdateNotificationStateForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
      const std::optional<NSError>& error) override;
  void peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>& peripheral) override;

 private:
  Callbacks callbacks_;
  std::shared_ptr<CBPeripheral> peripheral_;
  std::shared_ptr<CBCharacteristic> characteristic_;
  bool readyReported_ = false;
  std::deque<std::vector<std::uint8_t>> waiting_;
};

}  // namespace quillon::ota_tool
