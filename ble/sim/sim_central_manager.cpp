#include "quillon/sim/sim_central_manager.h"

#include <algorithm>

#include "quillon/sim/sim_world.h"

namespace quillon::sim {

SimCentralManager::SimCentralManager(std::weak_ptr<SimWorld> world, std::weak_ptr<CBCentralManagerDelegate> delegate,
                                     std::shared_ptr<RunLoop> queue)
    : world_(std::move(world)), delegate_(std::move(delegate)), queue_(std::move(queue)) {}

CBManagerState SimCentralManager::state() const {
  auto world = world_.lock();
  return world ? world->state() : CBManagerStateUnsupported;
}

void SimCentralManager::reportState() {
  queue_->post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (auto delegate = self->delegate_.lock()) delegate->centralManagerDidUpdateState(*self);
  });
}

std::shared_ptr<SimPeripheral> SimCentralManager::peripheralFor(const std::shared_ptr<SimDevice>& device) {
  auto& slot = peripherals_[device->identifier()];
  if (!slot || slot->device() != device) slot = std::make_shared<SimPeripheral>(device, weak_from_this(), queue_);
  return slot;
}

void SimCentralManager::scanForPeripheralsWithServices_options(const CBUUIDFilter& serviceUUIDs,
                                                               const std::optional<CBOptions>& options) {
  if (state() != CBManagerStatePoweredOn) return;
  scanning_ = true;
  ++scanGeneration_;  // ends the advertisement loops of an earlier scan
  advertising_.clear();
  filter_ = serviceUUIDs;
  allowDuplicates_ = false;
  if (options) {
    auto it = options->find(CBCentralManagerScanOptionAllowDuplicatesKey);
    allowDuplicates_ = it != options->end() && it->second;
  }
  reportedThisScan_.clear();
  if (auto world = world_.lock()) {
    for (const auto& device : world->devices()) deviceAdded(device);
  }
}

void SimCentralManager::stopScan() {
  scanning_ = false;
  ++scanGeneration_;
  advertising_.clear();
}

void SimCentralManager::poweredOff() {
  stopScan();
  const NSError lost{CBErrorDomain, CBErrorPeripheralDisconnected, "The specified device has disconnected from us."};
  const NSError failed{CBErrorDomain, CBErrorConnectionFailed, "Failed to connect to peripheral."};
  for (const auto& entry : peripherals_) {
    const auto& peripheral = entry.second;
    const auto was = peripheral->state();
    if (was == CBPeripheralStateDisconnected) continue;
    peripheral->setState(CBPeripheralStateDisconnected);
    queue_->post([weak = weak_from_this(), peripheral, was, lost, failed] {
      auto self = weak.lock();
      if (!self) return;
      auto delegate = self->delegate_.lock();
      if (!delegate) return;
      if (was == CBPeripheralStateConnecting) {
        delegate->centralManager_didFailToConnectPeripheral_error(*self, peripheral, failed);
      } else {
        // A cancellation under way ends as cancelled, without an error.
        std::optional<NSError> error;
        if (was == CBPeripheralStateConnected) error = lost;
        delegate->centralManager_didDisconnectPeripheral_error(*self, peripheral, error);
      }
    });
  }
}

void SimCentralManager::deviceAdded(const std::shared_ptr<SimDevice>& device) {
  if (!scanning_ || !advertising_.insert(device.get()).second) return;
  // The first advertisement comes at once, later ones at the device's interval.
  queue_->post([weak = weak_from_this(), device = std::weak_ptr<SimDevice>(device), generation = scanGeneration_] {
    if (auto self = weak.lock()) self->advertiseLoop(device, generation);
  });
}

void SimCentralManager::advertiseLoop(std::weak_ptr<SimDevice> weakDevice, unsigned long generation) {
  auto device = weakDevice.lock();
  auto world = world_.lock();
  if (!device || !world || !scanning_ || generation != scanGeneration_) return;
  if (world->device(device->identifier()) != device) {  // gone, or replaced by another object
    advertising_.erase(device.get());
    return;
  }
  if (device->advertising() && device->matches(filter_) && world->state() == CBManagerStatePoweredOn) {
    const bool seen = std::find(reportedThisScan_.begin(), reportedThisScan_.end(), device->identifier()) !=
                      reportedThisScan_.end();
    if (allowDuplicates_ || !seen) {
      if (!seen) reportedThisScan_.push_back(device->identifier());
      auto peripheral = peripheralFor(device);
      if (auto delegate = delegate_.lock()) {
        delegate->centralManager_didDiscoverPeripheral_advertisementData_RSSI(*this, peripheral, device->advertisement(),
                                                                             device->rssi());
      }
    }
  }
  // The delegate may have stopped or restarted the scan.
  if (!scanning_ || generation != scanGeneration_) return;
  queue_->post_after(device->advertisingInterval(), [weak = weak_from_this(), weakDevice, generation] {
    if (auto self = weak.lock()) self->advertiseLoop(weakDevice, generation);
  });
}

std::vector<std::shared_ptr<CBPeripheral>> SimCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<NSUUID>& identifiers) {
  std::vector<std::shared_ptr<CBPeripheral>> found;
  auto world = world_.lock();
  if (!world) return found;
  for (const auto& identifier : identifiers) {
    if (auto device = world->device(identifier)) found.push_back(peripheralFor(device));
  }
  return found;
}

void SimCentralManager::connectPeripheral_options(const std::shared_ptr<CBPeripheral>& cbPeripheral,
                                                  const std::optional<CBOptions>&) {
  auto peripheral = std::dynamic_pointer_cast<SimPeripheral>(cbPeripheral);
  if (!peripheral || state() != CBManagerStatePoweredOn) return;
  if (peripheral->state() != CBPeripheralStateDisconnected) return;  // already on its way
  peripheral->setState(CBPeripheralStateConnecting);
  queue_->post([weak = weak_from_this(), peripheral] {
    auto self = weak.lock();
    if (!self || peripheral->state() != CBPeripheralStateConnecting) return;  // cancelled meanwhile
    auto world = self->world_.lock();
    const bool inRange = world && world->device(peripheral->identifier()) == peripheral->device();
    auto delegate = self->delegate_.lock();
    if (inRange && peripheral->device()->acceptsConnections()) {
      peripheral->setState(CBPeripheralStateConnected);
      if (delegate) delegate->centralManager_didConnectPeripheral(*self, peripheral);
    } else {
      peripheral->setState(CBPeripheralStateDisconnected);
      if (delegate) {
        delegate->centralManager_didFailToConnectPeripheral_error(
            *self, peripheral, NSError{CBErrorDomain, CBErrorConnectionFailed, "Failed to connect to peripheral."});
      }
    }
  });
}

void SimCentralManager::cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& cbPeripheral) {
  auto peripheral = std::dynamic_pointer_cast<SimPeripheral>(cbPeripheral);
  if (!peripheral || peripheral->state() == CBPeripheralStateDisconnected) return;
  peripheral->setState(CBPeripheralStateDisconnecting);
  queue_->post([weak = weak_from_this(), peripheral] {
    auto self = weak.lock();
    if (!self || peripheral->state() != CBPeripheralStateDisconnecting) return;
    peripheral->setState(CBPeripheralStateDisconnected);
    self->reportDisconnect(peripheral, std::nullopt);
  });
}

void SimCentralManager::reportDisconnect(const std::shared_ptr<SimPeripheral>& peripheral,
                                         const std::optional<NSError>& error) {
  if (auto delegate = delegate_.lock()) delegate->centralManager_didDisconnectPeripheral_error(*this, peripheral, error);
}

}  // namespace quillon::sim
