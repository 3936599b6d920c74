#include "quillon/manager/ble_peripheral_router.h"

namespace quillon {

void BLEPeripheralRouter::setHandler_forPeripheral(std::shared_ptr<BLEServiceHandler> handler,
                                                   const NSUUID& identifier) {
  if (!handler) {
    removeHandlerForPeripheral(identifier);
    return;
  }
  handlers_[identifier] = std::move(handler);
}

void BLEPeripheralRouter::removeHandlerForPeripheral(const NSUUID& identifier) { handlers_.erase(identifier); }

std::shared_ptr<BLEServiceHandler> BLEPeripheralRouter::handlerForPeripheral(const NSUUID& identifier) const {
  const auto found = handlers_.find(identifier);
  return found == handlers_.end() ? nullptr : found->second;
}

std::shared_ptr<BLEServiceHandler> BLEPeripheralRouter::route(const std::shared_ptr<CBPeripheral>& peripheral) const {
  return peripheral ? handlerForPeripheral(peripheral->identifier()) : nullptr;
}

void BLEPeripheralRouter::peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                                         const std::optional<NSError>& error) {
  if (const auto handler = route(peripheral)) handler->peripheral_didDiscoverServices(peripheral, error);
}

void BLEPeripheralRouter::peripheral_didDiscoverCharacteristicsForService_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
    const std::optional<NSError>& error) {
  if (const auto handler = route(peripheral)) {
    handler->peripheral_didDiscoverCharacteristicsForService_error(peripheral, service, error);
  }
}

void BLEPeripheralRouter::peripheral_didUpdateValueForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  if (const auto handler = route(peripheral)) {
    handler->peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, error);
  }
}

void BLEPeripheralRouter::peripheral_didWriteValueForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  if (const auto handler = route(peripheral)) {
    handler->peripheral_didWriteValueForCharacteristic_error(peripheral, characteristic, error);
  }
}

void BLEPeripheralRouter::peripheral_didUpdateNotificationStateForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  if (const auto handler = route(peripheral)) {
    handler->peripheral_didUpdateNotificationStateForCharacteristic_error(peripheral, characteristic, error);
  }
}

void BLEPeripheralRouter::peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>& peripheral) {
  if (const auto handler = route(peripheral)) handler->peripheralIsReadyToSendWriteWithoutResponse(peripheral);
}

}  // namespace quillon
