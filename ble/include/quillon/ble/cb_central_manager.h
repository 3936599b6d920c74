// The platform's BLE central role (CoreBluetooth's CBCentralManager) and the
// receiver of its events (CBCentralManagerDelegate). A platform backend
// implements CBCentralManager; it is created with a delegate and a queue,
// and delivers every event to that delegate on that queue, never inside the
// call that caused it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/ble/advertisement_dictionary.h"
#include "quillon/ble/cb_peripheral.h"
#include "quillon/ble/cb_uuid.h"
#include "quillon/ble/ns_error.h"
#include "quillon/ble/ns_uuid.h"

namespace quillon {

class RunLoop;
class CBCentralManager;

enum CBManagerState : long {
  CBManagerStateUnknown = 0,
  CBManagerStateResetting = 1,
  CBManagerStateUnsupported = 2,
  CBManagerStateUnauthorized = 3,
  CBManagerStatePoweredOff = 4,
  CBManagerStatePoweredOn = 5,
};

// An options dictionary whose values are boolean numbers.
using CBOptions = std::map<std::string, bool>;
// Report every advertisement received, not only the first of a peripheral.
inline constexpr char CBCentralManagerScanOptionAllowDuplicatesKey[] = "kCBScanOptionAllowDuplicates";

// Called on the central's queue, synchronously inside the platform's delivery.
class CBCentralManagerDelegate {
 public:
  virtual ~CBCentralManagerDelegate() = default;
  virtual void centralManagerDidUpdateState(CBCentralManager& central) = 0;
  virtual void centralManager_didDiscoverPeripheral_advertisementData_RSSI(
      CBCentralManager& central, const std::shared_ptr<CBPeripheral>& peripheral,
      const AdvertisementDictionary& advertisementData, int RSSI) = 0;
  virtual void centralManager_didConnectPeripheral(CBCentralManager& central,
                                                   const std::shared_ptr<CBPeripheral>& peripheral) = 0;
  virtual void centralManager_didFailToConnectPeripheral_error(
      CBCentralManager& central, const std::shared_ptr<CBPeripheral>& peripheral,
      const std::optional<NSError>& error) = 0;
  virtual void centralManager_didDisconnectPeripheral_error(
      CBCentralManager& central, const std::shared_ptr<CBPeripheral>& peripheral,
      const std::optional<NSError>& error) = 0;
};

class CBCentralManager {
 public:
  virtual ~CBCentralManager() = default;

  virtual CBManagerState state() const = 0;
  // Starts (or restarts with new settings) scanning; absent services: report
  // every advertising peripheral, else only those advertising one of them.
  virtual void scanForPeripheralsWithServices_options(const CBUUIDFilter& serviceUUIDs,
                                                      const std::optional<CBOptions>& options) = 0;
  virtual void stopScan() = 0;
  // The known peripherals among `identifiers`, at once (no event).
  virtual std::vector<std::shared_ptr<CBPeripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<NSUUID>& identifiers) = 0;
  // Starts a connection; then didConnectPeripheral or didFailToConnectPeripheral.
  virtual void connectPeripheral_options(const std::shared_ptr<CBPeripheral>& peripheral,
                                         const std::optional<CBOptions>& options) = 0;
  // Ends a connection or a pending attempt; then didDisconnectPeripheral.
  virtual void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) = 0;
};

// Creates a central that reports to `delegate` (held weakly) on `queue`
// (CBCentralManager initWithDelegate:queue:, without options). The backend
// reports the central's state with centralManagerDidUpdateState soon after.
using CBCentralManagerFactory = std::function<std::shared_ptr<CBCentralManager>(
    std::weak_ptr<CBCentralManagerDelegate> delegate, const std::shared_ptr<RunLoop>& queue)>;

}  // namespace quillon
