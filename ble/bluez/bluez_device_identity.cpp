// Identity and retrieval: each device object gets one peripheral, named by
// a stable identifier made from the adapter's and the device's addresses;
// retrieval finds it among the device objects or the devices met before.
#include <algorithm>

#include "bluez_central_manager.h"

namespace quillon::bluez {

std::shared_ptr<BluezPeripheral> BluezCentralManager::peripheralAt(const std::string& path,
                                                                   std::optional<std::string> address) {
  auto& slot = peripherals_[path];
  if (!slot) {
    if (!address) address = property<std::string>(tree_.find(path, kDeviceInterface), "Address");
    const NSUUID identifier = deviceIdentifier(adapterAddress(), address.value_or(path));
    if (address) knownDevices_.remember(identifier, *address);
    slot = std::make_shared<BluezPeripheral>(path, identifier, weak_from_this(), queue_);
  }
  return slot;
}

// The adapter's own address; its name until the adapter is known (no
// device is either).
std::string BluezCentralManager::adapterAddress() const {
  return property<std::string>(tree_.find(adapterPath_, kAdapterInterface), "Address").value_or(options_.adapter);
}

// `identifier` names the device at `address` through this adapter, as made
// now or, from the adapter's name, by earlier versions (kept by hosts as
// the last module they connected).
bool BluezCentralManager::madeFor(const NSUUID& identifier, const std::string& address) const {
  return deviceIdentifier(adapterAddress(), address) == identifier ||
         deviceIdentifier(options_.adapter, address) == identifier;
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::known(const std::shared_ptr<CBPeripheral>& peripheral) const {
  for (const auto& [path, mine] : peripherals_) {
    if (mine == peripheral) return mine;
  }
  return nullptr;
}

std::vector<std::shared_ptr<CBPeripheral>> BluezCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<NSUUID>& identifiers) {
  std::vector<std::shared_ptr<CBPeripheral>> found;
  for (const auto& identifier : identifiers) {
    std::shared_ptr<BluezPeripheral> peripheral;
    for (const auto& path : tree_.children(kDeviceInterface, "Adapter", adapterPath_)) {
      const auto address = property<std::string>(tree_.find(path, kDeviceInterface), "Address");
      if (address && madeFor(identifier, *address)) {
        peripheral = peripheralAt(path);
        break;
      }
    }
    // Met before, since forgotten by bluetoothd: connecting looks for it.
    auto address = peripheral ? std::nullopt : knownDevices_.address(identifier);
    if (address && madeFor(identifier, *address)) {
      std::string path = adapterPath_ + "/dev_" + *address;
      std::replace(path.begin() + static_cast<std::ptrdiff_t>(adapterPath_.size()), path.end(), ':', '_');
      peripheral = peripheralAt(path, *address);
    }
    if (peripheral) found.push_back(peripheral);
  }
  return found;
}

}  // namespace quillon::bluez
