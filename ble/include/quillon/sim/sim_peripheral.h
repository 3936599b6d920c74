// A central's view of one simulated device (the simulated CBPeripheral):
// connection state, the services and characteristics discovered so far,
// subscriptions. Every operation posts its outcome to the central's queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/ble/cb_peripheral.h"
#include "quillon/platform/run_loop.h"
#include "quillon/sim/sim_device.h"

namespace quillon::sim {

class SimCentralManager;

class SimPeripheral final : public CBPeripheral, public std::enable_shared_from_this<SimPeripheral> {
 public:
  SimPeripheral(std::shared_ptr<SimDevice> device, std::weak_ptr<SimCentralManager> central,
                std::shared_ptr<RunLoop> queue);
  ~SimPeripheral() override;

  std::optional<std::string> name() const override { return device_->name(); }
  NSUUID identifier() const override { return device_->identifier(); }
  CBPeripheralState state() const override { return state_; }

  void discoverServices(const CBUUIDFilter& serviceUUIDs) override;
  const std::optional<CBServiceList>& services() const override { return services_; }
  void discoverCharacteristics_forService(const CBUUIDFilter& characteristicUUIDs,
                                          const std::shared_ptr<CBService>& service) override;
  void readValueForCharacteristic(const std::shared_ptr<CBCharacteristic>& characteristic) override;
  void writeValue_forCharacteristic_type(const NSData& data, const std::shared_ptr<CBCharacteristic>& characteristic,
                                         CBCharacteristicWriteType type) override;
  void setNotifyValue_forCharacteristic(bool enabled, const std::shared_ptr<CBCharacteristic>& characteristic) override;
  std::size_t maximumWriteValueLengthForType(CBCharacteristicWriteType type) const override;
  // False while kWritesWithoutResponseInFlight writes without response
  // wait to be carried. The simulated link still carries a write made
  // anyway (no loss), but a writer that honours this paces itself as on
  // the platform.
  bool canSendWriteWithoutResponse() const override;
  static constexpr unsigned kWritesWithoutResponseInFlight = 8;

  const std::shared_ptr<SimDevice>& device() const { return device_; }

  // --- for SimCentralManager and SimDevice ---------------------------------
  void setState(CBPeripheralState state);
  // The device notified a value: reaches subscribed characteristics.
  void deliverNotification(const CBUUID& characteristic, const NSData& value);
  // The device dropped the link.
  void deliverDeviceDisconnect();

 private:
  template <typename Body>
  void later(Body body);
  void forgetGatt();
  void carried(const std::shared_ptr<CBPeripheral>& me);

  std::shared_ptr<SimDevice> device_;
  std::weak_ptr<SimCentralManager> central_;
  std::shared_ptr<RunLoop> queue_;
  CBPeripheralState state_ = CBPeripheralStateDisconnected;
  std::optional<CBServiceList> services_;
  unsigned writesInFlight_ = 0;  // writes without response not carried yet
  bool wasFull_ = false;         // canSendWriteWithoutResponse() said false
};

}  // namespace quillon::sim
