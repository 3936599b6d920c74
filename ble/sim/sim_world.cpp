#include "quillon/sim/sim_world.h"

#include <algorithm>

namespace quillon::sim {

std::shared_ptr<SimWorld> SimWorld::create(std::shared_ptr<RunLoop> queue) {
  return std::shared_ptr<SimWorld>(new SimWorld(queue ? std::move(queue) : std::make_shared<RunLoop>()));
}

void SimWorld::addDevice(std::shared_ptr<SimDevice> device) {
  if (!device || this->device(device->identifier())) return;
  devices_.push_back(device);
  for (const auto& weak : centrals_) {
    if (auto central = weak.lock()) central->deviceAdded(device);
  }
}

void SimWorld::removeDevice(const NSUUID& identifier) {
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const auto& device) { return device->identifier() == identifier; });
  if (it == devices_.end()) return;
  auto device = *it;
  devices_.erase(it);
  device->disconnectAll();
}

std::shared_ptr<SimDevice> SimWorld::device(const NSUUID& identifier) const {
  for (const auto& device : devices_) {
    if (device->identifier() == identifier) return device;
  }
  return nullptr;
}

void SimWorld::setState(CBManagerState state) {
  const bool off = state_ == CBManagerStatePoweredOn && state != CBManagerStatePoweredOn;
  state_ = state;
  std::erase_if(centrals_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : centrals_) {
    auto central = weak.lock();
    if (!central) continue;
    if (off) central->poweredOff();
    central->reportState();
  }
}

std::shared_ptr<SimCentralManager> SimWorld::makeCentral(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                         std::shared_ptr<RunLoop> queue) {
  auto central = std::make_shared<SimCentralManager>(weak_from_this(), std::move(delegate), queue ? queue : queue_);
  std::erase_if(centrals_, [](const auto& weak) { return weak.expired(); });
  centrals_.push_back(central);
  central->reportState();
  return central;
}

CBCentralManagerFactory SimWorld::centralFactory() {
  // Holds the world: a platform that can make centrals keeps their world.
  return [world = shared_from_this()](std::weak_ptr<CBCentralManagerDelegate> delegate,
                                      const std::shared_ptr<RunLoop>& queue) -> std::shared_ptr<CBCentralManager> {
    return world->makeCentral(std::move(delegate), queue);
  };
}

}  // namespace quillon::sim
