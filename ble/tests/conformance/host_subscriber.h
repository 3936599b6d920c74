// Another program on the host that subscribes to a module's notifications
// through bluetoothd, as a GATT browser or a printer-status app does: a bus
// connection of its own (so bluetoothd counts it as another client) that
// calls StartNotify on a characteristic of the module hci0 is connected to.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <memory>
#include <string>

#include "conformance/managed_objects.h"

namespace quillon::testing {

class HostSubscriber {
 public:
  HostSubscriber() : bus_(sdbus::createSystemBusConnection()) {}
  ~HostSubscriber() {
    if (!subscribed_.empty()) {
      try {
        // Leaving the bus ends it too, but only once bluetoothd notices.
        sdbus::createProxy(*bus_, "org.bluez", subscribed_)->callMethod("StopNotify").onInterface(kCharacteristic);
      } catch (const sdbus::Error&) {
        // Gone with the link or with bluetoothd.
      }
    }
  }
  HostSubscriber(const HostSubscriber&) = delete;
  HostSubscriber& operator=(const HostSubscriber&) = delete;

  // StartNotify on the characteristic `uuid` (full form, lower case) of the
  // device connected through hci0. Empty when bluetoothd accepted it,
  // otherwise its error ("org.bluez.Error.NotPermitted: Notify acquired").
  std::string subscribe(const std::string& uuid) {
    const std::string path = characteristicPath(uuid);
    if (path.empty()) return "no connected characteristic " + uuid;
    try {
      sdbus::createProxy(*bus_, "org.bluez", path)->callMethod("StartNotify").onInterface(kCharacteristic);
    } catch (const sdbus::Error& error) {
      return error.getName() + ": " + error.getMessage();
    }
    subscribed_ = path;
    return "";
  }

 private:
  static constexpr char kCharacteristic[] = "org.bluez.GattCharacteristic1";

  std::string characteristicPath(const std::string& uuid) {
    const ManagedObjects objects = bluezManagedObjects(*bus_);
    for (const auto& [path, interfaces] : objects) {
      auto characteristic = interfaces.find(kCharacteristic);
      if (characteristic == interfaces.end() || path.rfind("/org/bluez/hci0/", 0) != 0) continue;
      if (characteristic->second.at("UUID").get<std::string>() != uuid) continue;
      const std::string device = path.substr(0, path.find("/service"));
      auto owner = objects.find(sdbus::ObjectPath(device));
      if (owner == objects.end() || !owner->second.count("org.bluez.Device1")) continue;
      if (owner->second.at("org.bluez.Device1").at("Connected").get<bool>()) return path;
    }
    return "";
  }

  std::unique_ptr<sdbus::IConnection> bus_;
  std::string subscribed_;
};

}  // namespace quillon::testing
