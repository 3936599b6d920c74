// The library's one point of contact with the platform's BLE central role.
// A host app uses the shared instance to scan, connect and disconnect, start
// service discovery and find the last connected peripheral again. Central
// events go to one weakly held BLEManagerDelegate; GATT events of connected
// peripherals go, unchanged and in list order, to the BLEServiceHandler
// objects in bleServices. The manager keeps no connection or scan state of
// its own: that lives in the platform.
//
// Threads: everything runs on the main thread. The platform delivers every
// event on the main queue (BLEPlatform::mainQueue); the app calls the
// operations on that same thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/ble/cb_peripheral.h"
#include "quillon/manager/ble_manager_delegate.h"
#include "quillon/manager/ble_platform.h"
#include "quillon/manager/ble_service_handler.h"
#include "quillon/manager/uuid_dictionary.h"

namespace quillon {

// The user-defaults key holding the last connected peripheral's identifier
// (NSUUID UUIDString text).
inline constexpr char kLastConnectedPeripheralIdentifierKey[] = "last_connected_peripheral_identifier";

class BLEManager final : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  // The process-wide manager, made with the default platform on first use
  // and never destroyed. Its creation is not guarded against concurrent
  // first calls: call it first on the main thread. Defined by the platform
  // backend linked in (away from Apple: the simulated world, which can be
  // configured before this first call).
  static BLEManager& sharedInstance();

  // A manager on the default platform (see sharedInstance).
  BLEManager();
  // A manager on `platform`: creates the central with this manager as its
  // delegate and the platform's main queue, builds the name table, starts
  // with no delegate and no handlers. The central reports its state later.
  explicit BLEManager(BLEPlatform platform);
  // Managers made directly may be destroyed; events still queued for them
  // are then dropped by the platform.
  ~BLEManager() override;
  BLEManager(const BLEManager&) = delete;
  BLEManager& operator=(const BLEManager&) = delete;

  // Scans with duplicates allowed, for peripherals advertising the service
  // `uuidString` (16-bit, 32-bit or 128-bit UUID text), or for all when it
  // is absent. Text that is not a UUID is logged and starts no scan.
  void scanForPeripherals(const std::optional<std::string>& uuidString);
  // Ends the scan; no more didPeripheralFound reports.
  void stopScan();
  // The known peripherals among `identifiers`; absent (not merely empty)
  // asks for the last connected peripheral as stored in the user defaults.
  std::vector<std::shared_ptr<CBPeripheral>> retrievePeripheralsWithIdentifiers(
      const std::optional<std::vector<NSUUID>>& identifiers);
  // Discovers all services of a connected peripheral; the delegate hears
  // didServicesFound_services, then every handler peripheral_didDiscoverServices.
  void discoverServices(const std::shared_ptr<CBPeripheral>& peripheral);
  // Starts a connection (no options, no time limit); then the delegate hears
  // didConnectPeripheral (and, on system 7.0 or later, the identifier is
  // remembered) or didFailToConnectPeripheral_error.
  void connect(const std::shared_ptr<CBPeripheral>& peripheral);
  // Ends a connection or a pending attempt; then didDisconnectPeripheral_error.
  void disconnect(const std::shared_ptr<CBPeripheral>& peripheral);

  // The delegate, held weakly; empty once the app's object has gone.
  std::shared_ptr<BLEManagerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<BLEManagerDelegate> delegate) { delegate_ = std::move(delegate); }

  // The live handler list: handlers may be added or removed at any time on
  // the main thread, also from inside a forwarded event.
  BLEServiceList& bleServices() { return bleServices_; }
  // Replaces the list; absent means no handlers.
  void setBleServices(std::optional<BLEServiceList> services) {
    bleServices_ = services ? std::move(*services) : BLEServiceList{};
  }

  // The GATT name table (read only).
  const UuidDictionary& uuidDictionary() const { return uuidDictionary_; }
  // Rebuilds the name table from scratch.
  void initUuidDictionary();
  // The name of exactly `uuidString` (case-sensitive); absent for an
  // unknown or absent text.
  std::optional<std::string> getUuidDescription(const std::optional<std::string>& uuidString) const;
  // Readable words for a property bit set; never absent, "" for none.
  std::string getCharacteristicPropertyString(CBCharacteristicProperties properties) const;

  // CBCentralManagerDelegate: the central's events, on the main queue.
  void centralManagerDidUpdateState(CBCentralManager& central) override;
  void centralManager_didDiscoverPeripheral_advertisementData_RSSI(
      CBCentralManager& central, const std::shared_ptr<CBPeripheral>& peripheral,
      const AdvertisementDictionary& advertisementData, int RSSI) override;
  void centralManager_didConnectPeripheral(CBCentralManager& central,
                                           const std::shared_ptr<CBPeripheral>& peripheral) override;
  void centralManager_didFailToConnectPeripheral_error(CBCentralManager& central,
                                                       const std::shared_ptr<CBPeripheral>& peripheral,
                                                       const std::optional<NSError>& error) override;
  void centralManager_didDisconnectPeripheral_error(CBCentralManager& central,
                                                    const std::shared_ptr<CBPeripheral>& peripheral,
                                                    const std::optional<NSError>& error) override;

  // CBPeripheralDelegate: the GATT events of peripherals connected through
  // this manager, on the main queue.
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
  bool systemAtLeast(const char* threshold) const;
  template <typename Call>
  void forwardToHandlers(const Call& call);

  BLEPlatform platform_;
  // A non-owning handle on this manager: the platform holds weak references
  // derived from it, which expire as soon as the destructor runs, so queued
  // events never reach a destroyed manager.
  std::shared_ptr<BLEManager> self_;
  std::shared_ptr<CBCentralManager> centralManager_;
  std::weak_ptr<BLEManagerDelegate> delegate_;
  BLEServiceList bleServices_;
  UuidDictionary uuidDictionary_;
};

}  // namespace quillon
