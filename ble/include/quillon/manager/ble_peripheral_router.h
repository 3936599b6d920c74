// A service handler that gives each peripheral's GATT events only to the
// handler registered for that peripheral. BLEManager passes every event of
// every connected peripheral to every handler in bleServices; a host that
// updates several modules at once puts one router there and registers, per
// module, the handler that owns that module's OTA controller, so that no
// module's chunks ever reach another module's transfer:
//
//   auto router = std::make_shared<BLEPeripheralRouter>();
//   manager.bleServices().push_back(router);
//   // once per module, e.g. when it connects:
//   router->setHandler_forPeripheral(std::make_shared<MyOtaHandler>(...), peripheral->identifier());
//   // when its transfer has ended:
//   router->removeHandlerForPeripheral(peripheral->identifier());
//
// Threads: the main thread only, like BLEManager. Handlers may be set or
// removed from inside a routed event, their own included: each handler is
// held for the length of its call.
#pragma once

#include <cstddef>
#include <map>
#include <memory>

#include "quillon/ble/ns_uuid.h"
#include "quillon/manager/ble_service_handler.h"

namespace quillon {

class BLEPeripheralRouter final : public BLEServiceHandler {
 public:
  // Routes the events of the peripheral known as `identifier` to `handler`,
  // replacing the handler it had; a null handler removes the route.
  void setHandler_forPeripheral(std::shared_ptr<BLEServiceHandler> handler, const NSUUID& identifier);
  void removeHandlerForPeripheral(const NSUUID& identifier);
  // The handler of that peripheral; null when it has none.
  std::shared_ptr<BLEServiceHandler> handlerForPeripheral(const NSUUID& identifier) const;
  // Number of peripherals with a handler.
  std::size_t count() const { return handlers_.size(); }

  // BLEServiceHandler: each event goes to the handler of the event's
  // peripheral; events of a peripheral without one are dropped.
  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                      const std::optional<NSError>& error) override;
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>& error) override;
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                        const std::shared_ptr<CBCharacteristic>& characteristic,
                                                        const std::optional<NSError>& error) override;
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                       const std::shared_ptr<CBCharacteristic>& characteristic,
                                                       const std::optional<NSError>& error) override;
  void peripheral_didUpdateNotificationStateForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
      const std::optional<NSError>& error) override;
  void peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>& peripheral) override;

 private:
  // The handler of `peripheral`, held for the caller's call; null for an
  // absent peripheral or one without a handler.
  std::shared_ptr<BLEServiceHandler> route(const std::shared_ptr<CBPeripheral>& peripheral) const;

  std::map<NSUUID, std::shared_ptr<BLEServiceHandler>> handlers_;
};

}  // namespace quillon
