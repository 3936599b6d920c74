// The simulated BLE world, the default platform away from Apple: a set of
// devices in radio range and the centrals that see them, all running on one
// main queue (a RunLoop) that the host drives with run_until_idle or
// run_for. Tests, tools and the demo use it alike.
#pragma once

#include <memory>
#include <vector>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/platform/run_loop.h"
#include "quillon/sim/sim_central_manager.h"
#include "quillon/sim/sim_device.h"

namespace quillon::sim {

class SimWorld : public std::enable_shared_from_this<SimWorld> {
 public:
  static std::shared_ptr<SimWorld> create(std::shared_ptr<RunLoop> queue = std::make_shared<RunLoop>());

  const std::shared_ptr<RunLoop>& queue() const { return queue_; }

  // Brings a device into range; a running scan starts reporting it.
  void addDevice(std::shared_ptr<SimDevice> device);
  // Takes a device out of range, dropping its connections.
  void removeDevice(const NSUUID& identifier);
  std::shared_ptr<SimDevice> device(const NSUUID& identifier) const;
  const std::vector<std::shared_ptr<SimDevice>>& devices() const { return devices_; }

  // The radio's state as every central reports it (initially powered on).
  CBManagerState state() const { return state_; }
  // Changes it; each central reports the new state on its queue.
  void setState(CBManagerState state);

  // A central in this world reporting to `delegate` on `queue` (the world's
  // queue when null); its first state report is posted at once.
  std::shared_ptr<SimCentralManager> makeCentral(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                 std::shared_ptr<RunLoop> queue = nullptr);
  // makeCentral as a BLEPlatform central factory.
  CBCentralManagerFactory centralFactory();

 private:
  explicit SimWorld(std::shared_ptr<RunLoop> queue) : queue_(std::move(queue)) {}

  std::shared_ptr<RunLoop> queue_;
  std::vector<std::shared_ptr<SimDevice>> devices_;
  std::vector<std::weak_ptr<SimCentralManager>> centrals_;
  CBManagerState state_ = CBManagerStatePoweredOn;
};

}  // namespace quillon::sim
