// Readiness: when a connection being made is usable. Linked, services
// resolved, service objects exported, and the device's table confirmed by
// a GetManagedObjects made once the rest holds; while an answered
// connection is not usable yet, its properties are read back now and then.
#include <utility>

#include "bluez_central_manager.h"
#include "bluez_dual_mode.h"

namespace quillon::bluez {
namespace {

// How often a connection being made ready reads the device's properties
// back, for the changes bluetoothd does not signal.
constexpr auto kReadyPollPeriod = std::chrono::milliseconds(500);
// How long service objects may lag behind ServicesResolved (they follow at
// once over LE, but a guest without KVM is slow).
constexpr auto kServicesGrace = std::chrono::seconds(3);

}  // namespace

// Usable means connected, resolved, and the service objects exported
// (ServicesResolved can come before them). bluetoothd does not signal every
// change: when the ATT channel comes up before the kernel's connection
// event, the device becomes Connected without a PropertiesChanged (a Get
// says true) and the later event is dropped. So a successful Connect reply
// and ServicesResolved (only a connected device resolves) are evidence of
// the link too.
void BluezCentralManager::checkReady(const std::shared_ptr<BluezPeripheral>& peripheral) {
  if (peripheral->state() != CBPeripheralStateConnecting) return;
  const Properties* device = tree_.find(peripheral->path(), kDeviceInterface);
  if (!device) return;
  const bool resolved = property<bool>(device, "ServicesResolved").value_or(false);
  if (!resolved) return;
  const ConnectionAttempt& connection = peripheral->connection();
  if (tree_.children(kServiceInterface, "Device", peripheral->path()).empty()) {
    if (connection.answered() && dualMode(device)) expectServices(peripheral);
    return;
  }
  if (!property<bool>(device, "Connected").value_or(false)) {
    if (!connection.answered()) return;
    // The cache catches up with what bluetoothd did not signal, so that a
    // later Connected false is seen as the link going down.
    tree_.change(peripheral->path(), kDeviceInterface, {{"Connected", true}}, {});
  }
  if (connection.tableConfirmed != connection.generation) {
    confirmTable(peripheral);
    return;
  }
  peripheral->setState(CBPeripheralStateConnected);
  if (auto delegate = delegate_.lock()) delegate->centralManager_didConnectPeripheral(*this, peripheral);
}

// ServicesResolved and the first service objects do not make the table
// whole: bluetoothd's object manager sends InterfacesAdded from an idle
// callback and batches property changes, so ServicesResolved can reach us
// before the last services do (a module would then look as if it lacked
// one). Its objects are registered by then, so GetManagedObjects lists
// them all: the link is usable once that answer is in the tree.
void BluezCentralManager::confirmTable(const std::shared_ptr<BluezPeripheral>& peripheral) {
  const unsigned generation = peripheral->connection().generation;
  if (std::exchange(peripheral->connection().tableAsked, generation) == generation) return;
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  std::weak_ptr<BluezPeripheral> weakPeripheral = peripheral;
  const std::string under = peripheral->path() + "/";
  bus_->callAsync(
      "/", kObjectManagerInterface, "GetManagedObjects", {},
      [weak, weakPeripheral, generation, under](sdbus::MethodReply* reply, const BusError*) -> std::function<void()> {
        ManagedObjects objects;
        if (reply) objects = readManagedObjects(*reply);
        return [weak, weakPeripheral, generation, under, objects = std::move(objects)] {
          auto self = weak.lock();
          auto peripheral = weakPeripheral.lock();
          if (!self || !peripheral || !self->live(*peripheral, generation)) return;
          for (const auto& [path, interfaces] : objects) {
            if (path.rfind(under, 0) == 0) self->tree_.add(path, interfaces);
          }
          peripheral->connection().tableConfirmed = generation;
          self->checkReady(peripheral);
        };
      });
}

// Over LE the service objects follow ServicesResolved at once; a dual-mode
// module connected over BR/EDR resolves with none, and none will come: the
// connection fails then, with the reason, rather than at its time-out.
void BluezCentralManager::expectServices(const std::shared_ptr<BluezPeripheral>& peripheral) {
  const unsigned generation = peripheral->connection().generation;
  if (std::exchange(peripheral->connection().servicesExpected, generation) == generation) return;
  whileLive(kServicesGrace, peripheral, [](BluezCentralManager& self, const auto& peripheral) {
    if (!self.tree_.children(kServiceInterface, "Device", peripheral->path()).empty()) return;
    self.disconnectLink(peripheral);
    self.failConnect(peripheral, NSError{CBErrorDomain, CBErrorConnectionFailed,
                                         "The link came up, but the module offers no GATT service over it."});
  });
}

// While an answered connection is not yet usable, the device's properties
// are read back now and then, since a change that decides it may never be
// signalled. Ends with the attempt (usable, failed, cancelled, timed out).
void BluezCentralManager::readBack(const std::shared_ptr<BluezPeripheral>& peripheral, unsigned generation) {
  if (!live(*peripheral, generation)) return;
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  std::weak_ptr<BluezPeripheral> weakPeripheral = peripheral;
  bus_->callAsync(
      peripheral->path(), kPropertiesInterface, "GetAll",
      [](sdbus::MethodCall& call) { call << std::string(kDeviceInterface); },
      [weak, weakPeripheral, generation](sdbus::MethodReply* reply, const BusError*) -> std::function<void()> {
        if (!reply) return {};  // the object went away: its removal says so
        std::map<std::string, sdbus::Variant> values;
        *reply >> values;
        return [weak, weakPeripheral, generation, properties = toProperties(values)] {
          auto self = weak.lock();
          auto peripheral = weakPeripheral.lock();
          if (!self || !peripheral || !self->live(*peripheral, generation) ||
              !self->tree_.find(peripheral->path(), kDeviceInterface)) {
            return;
          }
          self->tree_.change(peripheral->path(), kDeviceInterface, properties, {});
          self->checkReady(peripheral);
          self->queue_->post_after(kReadyPollPeriod, [weak, weakPeripheral, generation] {
            auto again = weak.lock();
            auto peripheral = weakPeripheral.lock();
            if (again && peripheral) again->readBack(peripheral, generation);
          });
        };
      });
}

}  // namespace quillon::bluez
