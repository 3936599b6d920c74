// CBCentralManager over BlueZ: one adapter (org.bluez.Adapter1) on the
// system bus. Keeps BlueZ's object tree as a cache that signals update,
// derives the manager state from the adapter's presence and Powered
// property (and org.bluez's presence on the bus), turns device objects that
// appear or change while scanning into discovery events, and drives
// connections through Device1.Connect until the link is usable.
// Everything runs on the main queue; see bluez_bus.h for the bus thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "bluez_bus.h"
#include "bluez_discovery_session.h"
#include "bluez_known_devices.h"
#include "bluez_object_tree.h"
#include "bluez_peripheral.h"
#include "bluez_peripheral_context.h"
#include "quillon/bluez/bluez_backend.h"
#include "quillon/ble/cb_central_manager.h"

namespace quillon::bluez {

class BluezCentralManager final : public CBCentralManager,
                                  public PeripheralContext,
                                  public std::enable_shared_from_this<BluezCentralManager> {
 public:
  static std::shared_ptr<BluezCentralManager> create(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                     std::shared_ptr<RunLoop> queue, BluezOptions options);
  ~BluezCentralManager() override;

  CBManagerState state() const override { return state_; }
  void scanForPeripheralsWithServices_options(const CBUUIDFilter& serviceUUIDs,
                                              const std::optional<CBOptions>& options) override;
  void stopScan() override;
  std::vector<std::shared_ptr<CBPeripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<NSUUID>& identifiers) override;
  void connectPeripheral_options(const std::shared_ptr<CBPeripheral>& peripheral,
                                 const std::optional<CBOptions>& options) override;
  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) override;

  // Ends the link and removes the device object from BlueZ (see
  // forgetPeripheral in bluez_backend.h); `done` hears BlueZ's answer.
  void forget(const std::shared_ptr<BluezPeripheral>& peripheral,
              std::function<void(const std::optional<NSError>&)> done);

  // --- for peripherals (PeripheralContext) ---------------------------------------
  BluezBus& bus() override { return *bus_; }
  const ObjectTree& tree() const override { return tree_; }
  const BluezOptions& options() const override { return options_; }
  void log(const std::string& text) override;
  bool holdsStartNotify(const std::string& path) const override { return startNotified_.count(path) > 0; }
  void setHoldsStartNotify(const std::string& path, bool held) override {
    if (held) {
      startNotified_.insert(path);
    } else {
      startNotified_.erase(path);
    }
  }

 private:
  BluezCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate, std::shared_ptr<RunLoop> queue,
                      BluezOptions options);
  void start();

  // Adapter power and org.bluez's presence (bluez_adapter_state.cpp).
  void load();
  void loaded(ManagedObjects objects, const std::optional<BusError>& error);
  void updateState();
  void bluezLeft();

  // The object tree's events (bluez_object_events.cpp).
  void interfacesAdded(const std::string& path, const Interfaces& interfaces);
  void interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces);
  void propertiesChanged(const std::string& path, const std::string& interface, const Properties& changed,
                         const std::vector<std::string>& invalidated);

  // Identity and retrieval (bluez_device_identity.cpp).
  std::shared_ptr<BluezPeripheral> peripheralAt(const std::string& path,
                                               std::optional<std::string> address = std::nullopt);
  std::shared_ptr<BluezPeripheral> known(const std::shared_ptr<CBPeripheral>& peripheral) const;
  std::string adapterAddress() const;
  bool madeFor(const NSUUID& identifier, const std::string& address) const;

  // Discovery sessions: the host's scan and our own search for a device
  // bluetoothd forgot (bluez_discovery_session.cpp).
  void reportDiscovered(const std::string& path);
  void stopDiscovery();
  void findAgain(const std::shared_ptr<BluezPeripheral>& peripheral);
  void findRefused(const BusError& refused);
  void endFindAgain(const std::shared_ptr<BluezPeripheral>& peripheral);

  // The connection driver: carries out what the connection policy decides
  // (bluez_connection_driver.cpp).
  bool live(const BluezPeripheral& peripheral, unsigned generation) const;
  template <typename Task>
  void whileLive(std::chrono::steady_clock::duration delay, const std::shared_ptr<BluezPeripheral>& peripheral,
                 Task task);
  void act(const std::shared_ptr<BluezPeripheral>& peripheral, const ConnectStep& step, const BusError* error);
  void connectAttempt(const std::shared_ptr<BluezPeripheral>& peripheral);
  void preferLowEnergy(const std::shared_ptr<BluezPeripheral>& peripheral);
  void linkDownWhileConnecting(const std::shared_ptr<BluezPeripheral>& peripheral);
  // Readiness: when a connection being made is usable (bluez_readiness.cpp).
  void checkReady(const std::shared_ptr<BluezPeripheral>& peripheral);
  void confirmTable(const std::shared_ptr<BluezPeripheral>& peripheral);
  void expectServices(const std::shared_ptr<BluezPeripheral>& peripheral);
  void readBack(const std::shared_ptr<BluezPeripheral>& peripheral, unsigned generation);
  void connectTimedOut(const std::shared_ptr<BluezPeripheral>& peripheral);
  void disconnectLink(const std::shared_ptr<BluezPeripheral>& peripheral);
  void failConnect(const std::shared_ptr<BluezPeripheral>& peripheral, NSError error);
  void linkLost(const std::shared_ptr<BluezPeripheral>& peripheral);
  void releaseNotifySockets();

  std::weak_ptr<CBCentralManagerDelegate> delegate_;
  std::shared_ptr<RunLoop> queue_;
  BluezOptions options_;
  std::string adapterPath_;
  std::unique_ptr<BluezBus> bus_;
  ObjectTree tree_;
  bool bluezPresent_ = false;
  bool bluezEverSeen_ = false;
  CBManagerState state_ = CBManagerStateUnknown;

  // The host asked for a scan (it runs once the discovery session is on).
  bool scanning_ = false;
  // Counts the host's scans and stops: an answer is for the latest only.
  unsigned scanRequest_ = 0;
  CBUUIDFilter scanFilter_;
  bool allowDuplicates_ = false;
  std::set<std::string> reported_;
  // A discovery of our own runs for the devices whose objects bluetoothd
  // dropped (their connections are in phase FindingAgain).
  bool findDiscovery_ = false;
  // This client's discovery session in bluetoothd (made with the bus).
  std::shared_ptr<DiscoverySession> discovery_;

  std::map<std::string, std::shared_ptr<BluezPeripheral>> peripherals_;
  KnownDevices knownDevices_;
  std::set<std::string> startNotified_;
};

// Runs `task(central, peripheral)` after `delay` if both are still there and
// the peripheral's connection is the one live now. Delayed tasks hold the
// peripheral weakly: it holds the queue.
template <typename Task>
void BluezCentralManager::whileLive(std::chrono::steady_clock::duration delay,
                                    const std::shared_ptr<BluezPeripheral>& peripheral, Task task) {
  queue_->post_after(delay, [weak = weak_from_this(), weakPeripheral = std::weak_ptr(peripheral),
                             generation = peripheral->connection().generation, task = std::move(task)] {
    auto self = weak.lock();
    auto peripheral = weakPeripheral.lock();
    if (self && peripheral && self->live(*peripheral, generation)) task(*self, peripheral);
  });
}

}  // namespace quillon::bluez
