// A remote BLE peripheral as the central sees it (CoreBluetooth's
// CBPeripheral) and the receiver of its GATT events (CBPeripheralDelegate).
// A platform backend implements CBPeripheral; every operation only starts
// work, and the outcome reaches the delegate later on the central's queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/ble/cb_characteristic.h"
#include "quillon/ble/cb_service.h"
#include "quillon/ble/cb_uuid.h"
#include "quillon/ble/ns_data.h"
#include "quillon/ble/ns_error.h"
#include "quillon/ble/ns_uuid.h"

namespace quillon {

class CBPeripheral;

// The peripheral events that this library handles. Called on the central's
// queue, synchronously inside the platform's delivery.
class CBPeripheralDelegate {
 public:
  virtual ~CBPeripheralDelegate() = default;
  virtual void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                              const std::optional<NSError>& error) = 0;
  virtual void peripheral_didDiscoverCharacteristicsForService_error(
      const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
      const std::optional<NSError>& error) = 0;
  virtual void peripheral_didUpdateValueForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<CBCharacteristic>& characteristic, const std::optional<NSError>& error) = 0;
  virtual void peripheral_didWriteValueForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<CBCharacteristic>& characteristic, const std::optional<NSError>& error) = 0;
  // The platform answered setNotifyValue_forCharacteristic: the
  // subscription is in place (or ended), or `error` says why not.
  virtual void peripheral_didUpdateNotificationStateForCharacteristic_error(
      const std::shared_ptr<CBPeripheral>& /*peripheral*/,
      const std::shared_ptr<CBCharacteristic>& /*characteristic*/, const std::optional<NSError>& /*error*/) {}
  // canSendWriteWithoutResponse() was false and is true again: the link
  // took what was waiting and will take more writes without response.
  virtual void peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>& /*peripheral*/) {}
};

enum CBPeripheralState : long {
  CBPeripheralStateDisconnected = 0,
  CBPeripheralStateConnecting = 1,
  CBPeripheralStateConnected = 2,
  CBPeripheralStateDisconnecting = 3,
};

// A list of UUIDs to look for; absent means "all".
using CBUUIDFilter = std::optional<std::vector<CBUUID>>;

class CBPeripheral {
 public:
  virtual ~CBPeripheral() = default;

  // The advertised or GATT device name; may be absent.
  virtual std::optional<std::string> name() const = 0;
  // The system's identifier of this peripheral, stable across runs.
  virtual NSUUID identifier() const = 0;
  virtual CBPeripheralState state() const = 0;

  // The receiver of this peripheral's events, held weakly: events for a
  // delegate that has gone are dropped.
  std::shared_ptr<CBPeripheralDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<CBPeripheralDelegate> delegate) { delegate_ = std::move(delegate); }

  // Discovers the services (absent filter: all); then peripheral_didDiscoverServices.
  // What it finds is added to services(): a filtered discovery keeps the
  // services found before, each with the same object.
  virtual void discoverServices(const CBUUIDFilter& serviceUUIDs) = 0;
  // The services discovered on this link so far; absent before the first
  // discovery, and again once the link is down.
  virtual const std::optional<CBServiceList>& services() const = 0;
  // Discovers a service's characteristics; then
  // peripheral_didDiscoverCharacteristicsForService_error.
  virtual void discoverCharacteristics_forService(const CBUUIDFilter& characteristicUUIDs,
                                                  const std::shared_ptr<CBService>& service) = 0;
  // Reads a value; then peripheral_didUpdateValueForCharacteristic_error.
  virtual void readValueForCharacteristic(const std::shared_ptr<CBCharacteristic>& characteristic) = 0;
  // Writes a value. With response: peripheral_didWriteValueForCharacteristic_error
  // follows; without response nothing follows, as on the platform.
  virtual void writeValue_forCharacteristic_type(const NSData& data,
                                                 const std::shared_ptr<CBCharacteristic>& characteristic,
                                                 CBCharacteristicWriteType type) = 0;
  // The most bytes one write of `type` can carry on the current link: for
  // writes without response the ATT MTU less 3 (a longer one is dropped on
  // the way, without a word), for writes with response 512.
  virtual std::size_t maximumWriteValueLengthForType(CBCharacteristicWriteType type) const = 0;
  // Whether the link takes another write without response now. A writer
  // that sends while it is false overruns the link (on the platform such
  // writes may be dropped); it waits for
  // peripheralIsReadyToSendWriteWithoutResponse instead.
  virtual bool canSendWriteWithoutResponse() const { return true; }
  // Subscribes to (or ends) notifications; each notified value then
  // arrives as peripheral_didUpdateValueForCharacteristic_error. The answer
  // comes as peripheral_didUpdateNotificationStateForCharacteristic_error;
  // writes made after this call reach the peripheral after the
  // subscription is in place.
  virtual void setNotifyValue_forCharacteristic(bool enabled,
                                                const std::shared_ptr<CBCharacteristic>& characteristic) = 0;

 private:
  std::weak_ptr<CBPeripheralDelegate> delegate_;
};

}  // namespace quillon
