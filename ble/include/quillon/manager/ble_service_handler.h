// What a host app implements to do one service's work (enable
// notifications, read, write) on the peripherals that connect through
// BLEManager. The manager passes each GATT event on unchanged, on the main
// thread, to every handler in its bleServices list, in list order.
#pragma once

#include <memory>
#include <optional>

#include "quillon/ble/cb_characteristic.h"
#include "quillon/ble/cb_peripheral.h"
#include "quillon/ble/cb_service.h"
#include "quillon/ble/ns_error.h"

namespace quillon {

class BLEServiceHandler {
 public:
  virtual ~BLEServiceHandler() = default;
  // Service discovery finished; the services are peripheral->services().
  virtual void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                              const std::optional<NSError>& error) = 0;
  // The characteristics of `service` are known (service->characteristics()).
  virtual void peripheral_didDiscoverCharacteristicsForService_error(
      const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
      const std::optional<NSError>& error) = 0;
  // A value was read or notified; it is characteristic->value(). An OTA
  // handler passes each notified chunk to BLEOTAController::pkt_received.
  virtual void peripheral_didUpdateValueForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<CBCharacteristic>& characteristic, const std::optional<NSError>& error) = 0;
  // A write with response was confirmed, or failed with `error`. Writes
  // without response (as on the OTA characteristic) are not confirmed.
  virtual void peripheral_didWriteValueForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<CBCharacteristic>& characteristic, const std::optional<NSError>& error) = 0;
  // Notifications of `characteristic` were switched on (or off), or could
  // not be: an OTA handler starts writing only once they are on.
  virtual void peripheral_didUpdateNotificationStateForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& /*peripheral*/,
      const std::shared_ptr<CBCharacteristic>& /*characteristic*/, const std::optional<NSError>& /*error*/) {}
  // The peripheral takes writes without response again (see
  // CBPeripheral::canSendWriteWithoutResponse).
  virtual void peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>& /*peripheral*/) {}
};

using BLEServiceList = std::vector<std::shared_ptr<BLEServiceHandler>>;

}  // namespace quillon
