// The signals the backend follows, and how each is unpacked: the object
// manager's InterfacesAdded and InterfacesRemoved and every object's
// PropertiesChanged from org.bluez, and org.bluez's owner changing on the
// bus. Each signal is unpacked on the bus's reading thread into plain
// values; the handlers run on the main queue with those values.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bluez_bus.h"
#include "bluez_object_tree.h"

namespace quillon::bluez {

struct BluezSignalHandlers {
  std::function<void(const std::string& path, const Interfaces& interfaces)> interfacesAdded;
  std::function<void(const std::string& path, const std::vector<std::string>& interfaces)> interfacesRemoved;
  std::function<void(const std::string& path, const std::string& interface, const Properties& changed,
                     const std::vector<std::string>& invalidated)>
      propertiesChanged;
  // org.bluez got an owner (bluetoothd started) or lost it (`present` false).
  std::function<void(bool present)> bluezPresence;
};

// Subscribes `bus` to the signals; call before reading the tree, so that no
// change falls between.
void watchBluezSignals(BluezBus& bus, BluezSignalHandlers handlers);

}  // namespace quillon::bluez
