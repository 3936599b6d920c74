// Adapter power and org.bluez's presence, mapped to the manager's state.
#include "bluez_adapter_state.h"

#include "bluez_central_manager.h"

namespace quillon::bluez {

CBManagerState managerState(bool bluezPresent, bool bluezEverSeen, const Properties* adapter) {
  if (!bluezPresent) return bluezEverSeen ? CBManagerStatePoweredOff : CBManagerStateUnsupported;
  if (!adapter) return CBManagerStateUnsupported;
  return property<bool>(adapter, "Powered").value_or(false) ? CBManagerStatePoweredOn : CBManagerStatePoweredOff;
}

// Reads the whole tree (at the start, and when org.bluez comes back). The
// answer is unpacked on the bus's thread; signals that came before it are
// in it too.
void BluezCentralManager::load() {
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  bus_->callAsync("/", kObjectManagerInterface, "GetManagedObjects", {},
                  [weak](sdbus::MethodReply* reply, const BusError* error) -> std::function<void()> {
                    ManagedObjects objects;
                    std::optional<BusError> failed;
                    if (reply) {
                      objects = readManagedObjects(*reply);
                    } else {
                      failed = *error;
                    }
                    return [weak, objects = std::move(objects), failed]() mutable {
                      if (auto self = weak.lock()) self->loaded(std::move(objects), failed);
                    };
                  });
}

void BluezCentralManager::loaded(ManagedObjects objects, const std::optional<BusError>& error) {
  if (error) {
    if (bluezPresent_ || !bluezEverSeen_) log("org.bluez is not on the system bus: " + error->name + ": " + error->message);
    bluezPresent_ = false;
    tree_.reset({});
  } else {
    bluezPresent_ = bluezEverSeen_ = true;
    tree_.reset(std::move(objects));
    if (!tree_.find(adapterPath_, kAdapterInterface)) log("No adapter " + options_.adapter);
  }
  updateState();
}

void BluezCentralManager::bluezLeft() {
  log("org.bluez left the system bus");
  bluezPresent_ = false;
  tree_.reset({});
  updateState();
}

// Recomputes the state; on a change away from PoweredOn every link drops
// with an error and a scan ends (it is not resumed by itself).
void BluezCentralManager::updateState() {
  const CBManagerState next =
      managerState(bluezPresent_, bluezEverSeen_, tree_.find(adapterPath_, kAdapterInterface));
  if (next == state_) return;
  state_ = next;
  if (state_ != CBManagerStatePoweredOn) {
    // bluetoothd ends every client's discovery at power-off, and a restart
    // forgets them all.
    scanning_ = false;
    if (discovery_) discovery_->forget();
    auto peripherals = peripherals_;
    for (auto& [path, peripheral] : peripherals) {
      if (peripheral->state() == CBPeripheralStateConnected) {
        linkLost(peripheral);
      } else if (peripheral->state() == CBPeripheralStateConnecting) {
        failConnect(peripheral, NSError{CBErrorDomain, CBErrorConnectionFailed, "Bluetooth is powered off."});
      }
    }
  }
  if (auto delegate = delegate_.lock()) delegate->centralManagerDidUpdateState(*this);
}

}  // namespace quillon::bluez
