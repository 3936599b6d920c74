// Routes the object tree's events: the cache is updated first, then what
// the change means for the manager's state, a scan, a connection being
// made, a link, or a characteristic's value.
#include <algorithm>

#include "bluez_central_manager.h"

namespace quillon::bluez {

void BluezCentralManager::interfacesAdded(const std::string& path, const Interfaces& interfaces) {
  if (!bluezPresent_) return;
  tree_.add(path, interfaces);
  if (interfaces.count(kAdapterInterface)) updateState();
  if (interfaces.count(kDeviceInterface)) {
    reportDiscovered(path);
    auto it = peripherals_.find(path);
    if (it != peripherals_.end() && it->second->connection().phase == ConnectPhase::FindingAgain) {
      auto peripheral = it->second;
      endFindAgain(peripheral);
      log("Found " + path + " again");
      connectAttempt(peripheral);
    }
  }
  if (interfaces.count(kServiceInterface)) {
    for (auto& [devicePath, peripheral] : peripherals_) {
      if (path.rfind(devicePath + "/", 0) == 0) checkReady(peripheral);
    }
  }
}

void BluezCentralManager::interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
  tree_.remove(path, interfaces);
  if (std::find(interfaces.begin(), interfaces.end(), kAdapterInterface) != interfaces.end()) updateState();
  if (std::find(interfaces.begin(), interfaces.end(), kDeviceInterface) == interfaces.end()) return;
  reported_.erase(path);
  auto it = peripherals_.find(path);
  if (it == peripherals_.end()) return;
  auto peripheral = it->second;
  if (peripheral->state() == CBPeripheralStateConnected) {
    linkLost(peripheral);
  } else if (peripheral->state() == CBPeripheralStateConnecting &&
             peripheral->connection().phase != ConnectPhase::FindingAgain) {
    // bluetoothd drops a temporary device whose attempt failed: the
    // connection goes on once it is heard again, within its time-out.
    findAgain(peripheral);
  }
}

void BluezCentralManager::propertiesChanged(const std::string& path, const std::string& interface,
                                            const Properties& changed, const std::vector<std::string>& invalidated) {
  if (!bluezPresent_) return;
  tree_.change(path, interface, changed, invalidated);
  if (interface == kAdapterInterface && path == adapterPath_) {
    updateState();
  } else if (interface == kDeviceInterface) {
    auto it = peripherals_.find(path);
    if (it != peripherals_.end()) {
      auto peripheral = it->second;
      const auto connected = property<bool>(&changed, "Connected");
      if (connected == false && peripheral->state() == CBPeripheralStateConnected) {
        linkLost(peripheral);
      } else if (connected == false && peripheral->state() == CBPeripheralStateConnecting) {
        linkDownWhileConnecting(peripheral);
      } else if (peripheral->state() == CBPeripheralStateConnecting) {
        checkReady(peripheral);
      }
    }
    for (const char* heard : {"RSSI", "ManufacturerData", "ServiceData", "UUIDs", "Name"}) {
      if (changed.count(heard)) {
        reportDiscovered(path);
        break;
      }
    }
  } else if (interface == kCharacteristicInterface) {
    if (auto value = property<Bytes>(&changed, "Value")) {
      for (auto& [devicePath, peripheral] : peripherals_) {
        if (path.rfind(devicePath + "/", 0) == 0) peripheral->valueChanged(path, *value);
      }
    }
  }
}

}  // namespace quillon::bluez
