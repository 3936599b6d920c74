// The simulated CBCentralManager: scans the world's devices (repeating
// their advertisements at each device's interval while scanning), connects
// and disconnects them, and reports every event to its delegate on its
// queue, never inside the call that caused it.
#pragma once

#include <map>
#include <set>
#include <memory>
#include <optional>
#include <vector>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/platform/run_loop.h"
#include "quillon/sim/sim_device.h"
#include "quillon/sim/sim_peripheral.h"

namespace quillon::sim {

class SimWorld;

class SimCentralManager final : public CBCentralManager, public std::enable_shared_from_this<SimCentralManager> {
 public:
  // Use SimWorld::makeCentral, which also posts the first state report.
  SimCentralManager(std::weak_ptr<SimWorld> world, std::weak_ptr<CBCentralManagerDelegate> delegate,
                    std::shared_ptr<RunLoop> queue);

  CBManagerState state() const override;
  // Ignored (as the platform ignores it) unless the world is powered on.
  void scanForPeripheralsWithServices_options(const CBUUIDFilter& serviceUUIDs,
                                              const std::optional<CBOptions>& options) override;
  void stopScan() override;
  std::vector<std::shared_ptr<CBPeripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<NSUUID>& identifiers) override;
  void connectPeripheral_options(const std::shared_ptr<CBPeripheral>& peripheral,
                                 const std::optional<CBOptions>& options) override;
  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) override;

  bool isScanning() const { return scanning_; }
  // The filter of the running scan (absent: all), for tests.
  const CBUUIDFilter& scanFilter() const { return filter_; }

  // --- for SimWorld and SimPeripheral ---------------------------------------
  void reportState();
  // The world's power went off: links drop with an error, pending ones
  // fail, a scan ends (and is not resumed when the power returns).
  void poweredOff();
  // A device joined the world: a running scan picks it up.
  void deviceAdded(const std::shared_ptr<SimDevice>& device);
  void reportDisconnect(const std::shared_ptr<SimPeripheral>& peripheral, const std::optional<NSError>& error);
  const std::shared_ptr<RunLoop>& queue() const { return queue_; }

 private:
  std::shared_ptr<SimPeripheral> peripheralFor(const std::shared_ptr<SimDevice>& device);
  void advertiseLoop(std::weak_ptr<SimDevice> device, unsigned long generation);

  std::weak_ptr<SimWorld> world_;
  std::weak_ptr<CBCentralManagerDelegate> delegate_;
  std::shared_ptr<RunLoop> queue_;
  std::map<NSUUID, std::shared_ptr<SimPeripheral>> peripherals_;
  bool scanning_ = false;
  bool allowDuplicates_ = false;
  unsigned long scanGeneration_ = 0;
  CBUUIDFilter filter_;
  std::vector<NSUUID> reportedThisScan_;
  // Devices whose advertisement loop runs for the current scan: a device
  // removed and added again keeps one loop, not two.
  std::set<const SimDevice*> advertising_;
};

}  // namespace quillon::sim
