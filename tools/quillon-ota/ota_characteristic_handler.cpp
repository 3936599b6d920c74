#include "ota_characteristic_handler.h"

#include "quillon/sim/sim_data_module.h"

namespace quillon::ota_tool {

using sim::kOtaServiceUUID;
using sim::kOtaUUID;

void OtaCharacteristicHandler::write(const std::vector<std::uint8_t>& packet) {
  if (!peripheral_ || !characteristic_) return;
  if (!waiting_.empty() || !peripheral_->canSendWriteWithoutResponse()) {
    waiting_.push_back(packet);
    return;
  }
  peripheral_->writeValue_forCharacteristic_type(packet, characteristic_, CBCharacteristicWriteWithoutResponse);
}

void OtaCharacteristicHandler::peripheralIsReadyToSendWriteWithoutResponse(
    const std::shared_ptr<CBPeripheral>& peripheral) {
  if (peripheral != peripheral_ || !characteristic_) return;
  while (!waiting_.empty() && peripheral_->canSendWriteWithoutResponse()) {
    peripheral_->writeValue_forCharacteristic_type(waiting_.front(), characteristic_,
                                                   CBCharacteristicWriteWithoutResponse);
    waiting_.pop_front();
  }
}

void OtaCharacteristicHandler::peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                                              const std::optional<NSError>& error) {
  if (peripheral != peripheral_) return;
  if (error) {
    callbacks_.failed("service discovery failed: " + error->description());
    return;
  }
  if (const auto& services = peripheral->services()) {
    for (const auto& service : *services) {
      if (service->UUID() == kOtaServiceUUID) {
        peripheral->discoverCharacteristics_forService(std::vector<CBUUID>{kOtaUUID}, service);
        return;
      }
    }
  }
  callbacks_.failed("the module offers no OTA service " + kOtaServiceUUID.UUIDString());
}

void OtaCharacteristicHandler::peripheral_didDiscoverCharacteristicsForService_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
    const std::optional<NSError>& error) {
  if (peripheral != peripheral_ || !service || service->UUID() != kOtaServiceUUID) return;
  if (error) {
    callbacks_.failed("characteristic discovery failed: " + error->description());
    return;
  }
  if (const auto& characteristics = service->characteristics()) {
    for (const auto& characteristic : *characteristics) {
      if (characteristic->UUID() == kOtaUUID) {
        characteristic_ = characteristic;
        peripheral->setNotifyValue_forCharacteristic(true, characteristic);
        return;
      }
    }
  }
  callbacks_.failed("the OTA service has no characteristic " + kOtaUUID.UUIDString());
}

void OtaCharacteristicHandler::peripheral_didUpdateNotificationStateForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  if (peripheral != peripheral_ || characteristic != characteristic_ || readyReported_) return;
  if (error) {
    callbacks_.failed("enabling notifications failed: " + error->localizedDescription);
    return;
  }
  if (!characteristic->isNotifying()) return;
  readyReported_ = true;
  callbacks_.ready();
}

void OtaCharacteristicHandler::peripheral_didUpdateValueForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  if (peripheral != peripheral_ || characteristic != characteristic_ || error) return;
  if (const auto& value = characteristic->value()) callbacks_.chunk(*value);
}

}  // namespace quillon::ota_tool
