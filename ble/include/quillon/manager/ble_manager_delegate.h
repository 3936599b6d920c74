// What a host app implements to hear BLEManager's central-level events.
// Every operation is called on the main thread, synchronously inside the
// platform's event; the manager holds the delegate weakly.
#pragma once

#include <memory>
#include <optional>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/ble/cb_peripheral.h"
#include "quillon/ble/cb_service.h"
#include "quillon/ble/ns_error.h"
#include "quillon/manager/ble_advertisement_data.h"

namespace quillon {

class BLEManagerDelegate {
 public:
  virtual ~BLEManagerDelegate() = default;
  // The central's state changed (also reported once after the manager is made).
  virtual void didUpdateState(CBManagerState state) = 0;
  // One advertisement, reported each time it is received while scanning;
  // `RSSI` is the signal strength in dBm as the platform gave it.
  virtual void didPeripheralFound_advertisementData_RSSI(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<BLEAdvertisementData>& advertisementData, int RSSI) = 0;
  // A connection was made. The manager is already the peripheral's delegate,
  // so discoverServices may be called from here.
  virtual void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) = 0;
  // A connection attempt failed; `error` says why (may be absent).
  virtual void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                const std::optional<NSError>& error) = 0;
  // A connection ended; `error` is absent when the app asked for it. The
  // remembered identifier stays and nothing reconnects.
  virtual void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                             const std::optional<NSError>& error) = 0;
  // Service discovery finished; `services` is the peripheral's list, which
  // may be absent. A discovery error is not passed here, only to handlers.
  virtual void didServicesFound_services(const std::shared_ptr<CBPeripheral>& peripheral,
                                         const std::optional<CBServiceList>& services) = 0;
};

}  // namespace quillon
