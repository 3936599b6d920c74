// Discovery sessions: the host's scan, and the discovery of our own that
// looks for a device bluetoothd forgot. Each client has one session in
// bluetoothd, shared by both.
#include <algorithm>

#include "bluez_advertisement.h"
#include "bluez_central_manager.h"

namespace quillon::bluez {

// A device heard while scanning (it appeared, or BlueZ updated what it
// advertises) becomes a discovery event, if it passes the filter, once per
// scan unless duplicates were asked for.
void BluezCentralManager::reportDiscovered(const std::string& path) {
  if (!scanning_) return;
  const Properties* device = tree_.find(path, kDeviceInterface);
  if (!device || property<std::string>(device, "Adapter") != adapterPath_) return;
  const auto rssi = property<std::int64_t>(device, "RSSI");
  if (!rssi) return;  // known to BlueZ, but not heard in this scan
  const auto uuids = property<std::vector<std::string>>(device, "UUIDs").value_or(std::vector<std::string>{});
  if (!passesFilter(scanFilter_, uuids)) return;
  if (!allowDuplicates_ && !reported_.insert(path).second) return;

  const AdvertisementDictionary advertisement = advertisementFrom(*device);
  auto peripheral = peripheralAt(path);
  if (auto delegate = delegate_.lock()) {
    delegate->centralManager_didDiscoverPeripheral_advertisementData_RSSI(*this, peripheral, advertisement,
                                                                          static_cast<int>(*rssi));
  }
}

void BluezCentralManager::scanForPeripheralsWithServices_options(const CBUUIDFilter& serviceUUIDs,
                                                                 const std::optional<CBOptions>& options) {
  if (state_ != CBManagerStatePoweredOn) {
    log("Scan not started, Bluetooth is not powered on");
    return;
  }
  scanFilter_ = serviceUUIDs;
  allowDuplicates_ = false;
  if (options) {
    auto it = options->find(CBCentralManagerScanOptionAllowDuplicatesKey);
    allowDuplicates_ = it != options->end() && it->second;
  }
  reported_.clear();
  std::vector<std::string> uuids;
  if (serviceUUIDs) {
    for (const auto& uuid : *serviceUUIDs) uuids.push_back(uuid.fullUUIDString());
  }
  std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("le"))},
                                               {"DuplicateData", sdbus::Variant(true)}};
  if (!uuids.empty()) filter["UUIDs"] = sdbus::Variant(uuids);
  if (auto error = startDiscovery(filter)) {
    const NSError failure{CBErrorDomain, CBErrorUnknown,
                          "Bluetooth could not scan: " + options_.adapter + " did not start discovery (" +
                              error->name + ": " + error->message + ")"};
    log(failure.localizedDescription);
    queue_->post([weak = weak_from_this(), failure] {
      auto self = weak.lock();
      if (self && self->options_.scanFailed) self->options_.scanFailed(failure);
    });
    return;
  }
  scanning_ = true;
  // Devices BlueZ already hears are reported now, as a fresh scan would.
  for (const auto& path : tree_.withInterface(kDeviceInterface)) reportDiscovered(path);
}

void BluezCentralManager::stopScan() {
  if (!scanning_) return;
  scanning_ = false;
  if (findDiscovery_) return;  // still looking for a device to connect
  stopDiscovery();
}

// bluetoothd answers InProgress both to a client whose discovery already
// runs and to one whose discovery the kernel refused to start (it then
// drops that client's session), so the answer alone does not tell a scan
// that runs from one that never will: only an open session of our own
// does, and with one StartDiscovery is not asked again. The filter is set
// either way.
std::optional<BusError> BluezCentralManager::startDiscovery(const std::map<std::string, sdbus::Variant>& filter) {
  if (auto error = bus_->call(adapterPath_, kAdapterInterface, "SetDiscoveryFilter",
                              [&](sdbus::MethodCall& call) { call << filter; })) {
    log("SetDiscoveryFilter failed: " + error->name + ": " + error->message);
  }
  if (discoverySession_) return std::nullopt;
  auto error = bus_->call(adapterPath_, kAdapterInterface, "StartDiscovery", {});
  if (!error) discoverySession_ = true;
  return error;
}

void BluezCentralManager::stopDiscovery() {
  if (!discoverySession_) return;
  discoverySession_ = false;
  if (!bluezPresent_) return;
  if (auto error = bus_->call(adapterPath_, kAdapterInterface, "StopDiscovery", {})) {
    log("StopDiscovery failed: " + error->name + ": " + error->message);
  }
}

// A device that bluetoothd forgot cannot be connected until it is heard
// again: a discovery finds it (InterfacesAdded resumes the connection), and
// the connection's time-out bounds the search.
void BluezCentralManager::findAgain(const std::shared_ptr<BluezPeripheral>& peripheral) {
  log(peripheral->path() + " is no longer known to BlueZ; looking for it again");
  peripheral->connection().phase = ConnectPhase::FindingAgain;
  if (findDiscovery_ || scanning_) return;
  if (auto error = startDiscovery({{"Transport", sdbus::Variant(std::string("le"))}})) {
    // Nothing will find it: the connection fails now, with the reason.
    const NSError failure{CBErrorDomain, CBErrorConnectionFailed,
                          "Bluetooth could not scan for it: " + options_.adapter + " did not start discovery (" +
                              error->name + ": " + error->message + ")"};
    log(failure.localizedDescription);
    queue_->post([weak = weak_from_this(), peripheral, generation = peripheral->connection().generation, failure] {
      auto self = weak.lock();
      if (self && self->live(*peripheral, generation)) self->failConnect(peripheral, failure);
    });
    return;
  }
  findDiscovery_ = true;
}

// The device is found, or its connection ended: the discovery of our own
// ends once no other connection needs it.
void BluezCentralManager::endFindAgain(const std::shared_ptr<BluezPeripheral>& peripheral) {
  if (peripheral->connection().phase != ConnectPhase::FindingAgain) return;
  peripheral->connection().phase = ConnectPhase::Idle;
  const bool othersLooking = std::any_of(peripherals_.begin(), peripherals_.end(), [](const auto& entry) {
    return entry.second->connection().phase == ConnectPhase::FindingAgain;
  });
  if (othersLooking || !findDiscovery_) return;
  findDiscovery_ = false;
  if (!scanning_) stopDiscovery();
}

}  // namespace quillon::bluez
