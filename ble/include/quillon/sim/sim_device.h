// One remote BLE peripheral in the simulated world: what it advertises,
// whether it accepts connections, and its GATT database (services,
// characteristics, values) with hooks for what centrals write. The central
// side (SimCentralManager) turns all of it into CoreBluetooth-shaped events.
//
// Threads: used on the thread that runs the world's queue (the main thread);
// every effect on a central is posted to that central's queue, never made
// inside the call. Characteristics are told apart by UUID within a device.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/ble/advertisement_dictionary.h"
#include "quillon/ble/cb_characteristic.h"
#include "quillon/ble/cb_uuid.h"
#include "quillon/ble/ns_data.h"
#include "quillon/ble/ns_error.h"
#include "quillon/ble/ns_uuid.h"

namespace quillon::sim {

class SimPeripheral;

struct SimGattCharacteristic {
  CBUUID uuid;
  CBCharacteristicProperties properties = 0;
  NSData value;
};

struct SimGattService {
  CBUUID uuid;
  std::vector<SimGattCharacteristic> characteristics;
};

struct SimDeviceConfig {
  NSUUID identifier = NSUUID::UUID();
  std::optional<std::string> name;
  std::vector<CBUUID> advertisedServices;
  std::optional<NSData> manufacturerData;
  // Advertised data per service (the advertisement's service data).
  std::vector<std::pair<CBUUID, NSData>> serviceData;
  int rssi = -60;
  // Time between advertisements while a central scans; must be above zero.
  std::chrono::milliseconds advertisingInterval{100};
  bool advertising = true;
  bool acceptsConnections = true;
  // The ATT MTU its links settle on; a write without response longer than
  // this less 3 is lost on the way, as over a real link.
  std::size_t attMtu = 517;
};

class SimDevice {
 public:
  // Called with the bytes of every write a central makes on the
  // characteristic, after the value has been stored.
  using WriteHandler = std::function<void(const NSData& bytes, CBCharacteristicWriteType type)>;

  explicit SimDevice(SimDeviceConfig config);
  virtual ~SimDevice() = default;
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const NSUUID& identifier() const { return config_.identifier; }
  const std::optional<std::string>& name() const { return config_.name; }
  int rssi() const { return config_.rssi; }
  std::size_t attMtu() const { return config_.attMtu; }
  void setRSSI(int rssi) { config_.rssi = rssi; }
  std::chrono::milliseconds advertisingInterval() const { return config_.advertisingInterval; }
  bool advertising() const { return config_.advertising; }
  void setAdvertising(bool advertising) { config_.advertising = advertising; }
  bool acceptsConnections() const { return config_.acceptsConnections; }
  // Refused connection attempts fail with CBErrorConnectionFailed.
  void setAcceptsConnections(bool accepts) { config_.acceptsConnections = accepts; }
  // The advertisement as a central receives it.
  AdvertisementDictionary advertisement() const;
  // Whether a scan for `filter` (absent: everything) reports this device.
  bool matches(const std::optional<std::vector<CBUUID>>& filter) const;

  // --- GATT database -------------------------------------------------------
  void addService(SimGattService service);
  // Adds a characteristic to the service `service` (added first when the
  // device has none), or sets its value when the device has it already.
  void addCharacteristic(const CBUUID& service, SimGattCharacteristic characteristic);
  const std::vector<SimGattService>& services() const { return services_; }
  const SimGattService* findService(const CBUUID& uuid) const;
  const SimGattCharacteristic* findCharacteristic(const CBUUID& uuid) const;
  std::optional<NSData> value(const CBUUID& characteristic) const;
  void setValue(const CBUUID& characteristic, NSData value);
  void setWriteHandler(const CBUUID& characteristic, WriteHandler handler);
  // Makes writes with response on `characteristic` fail with this ATT error
  // (absent: succeed again).
  void setWriteError(const CBUUID& characteristic, std::optional<NSError> error);

  // Stores `value` and notifies it to every connected central subscribed to
  // the characteristic (delivered later, on each central's queue).
  void notify(const CBUUID& characteristic, const NSData& value);
  // Ends every connection from the device's side: each central hears a
  // disconnection with CBErrorPeripheralDisconnected.
  void disconnectAll();
  // Number of centrals connected now.
  std::size_t connectionCount() const;

  // --- for the central side ------------------------------------------------
  void attach(const std::shared_ptr<SimPeripheral>& link);
  void detach(const SimPeripheral* link);
  // Handles a write that reached the device: stores, calls the handler and
  // returns the ATT error to report, if any.
  std::optional<NSError> receiveWrite(const CBUUID& characteristic, const NSData& bytes,
                                      CBCharacteristicWriteType type);

 private:
  SimGattCharacteristic* findMutable(const CBUUID& uuid);

  SimDeviceConfig config_;
  std::vector<SimGattService> services_;
  std::vector<std::pair<CBUUID, WriteHandler>> writeHandlers_;
  std::vector<std::pair<CBUUID, NSError>> writeErrors_;
  std::vector<std::weak_ptr<SimPeripheral>> links_;
};

}  // namespace quillon::sim
