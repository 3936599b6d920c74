// BLEManager's default construction: the backend that QUILLON_BLE_BACKEND
// names among those the program registered, the simulated world when it is
// unset. Lives beside the simulated world because that is the backend every
// program has; a backend asked for but not linked in gives a central that
// reports Unsupported (never the simulated world in its place).
#include <cstdlib>
#include <memory>
#include <string>

#include "quillon/manager/ble_backend.h"
#include "quillon/manager/ble_manager.h"
#include "quillon/sim/default_platform.h"

namespace quillon {
namespace {

class UnavailableCentral final : public CBCentralManager {
 public:
  CBManagerState state() const override { return CBManagerStateUnsupported; }
  void scanForPeripheralsWithServices_options(const CBUUIDFilter&, const std::optional<CBOptions>&) override {}
  void stopScan() override {}
  std::vector<std::shared_ptr<CBPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<NSUUID>&) override {
    return {};
  }
  void connectPeripheral_options(const std::shared_ptr<CBPeripheral>&, const std::optional<CBOptions>&) override {}
  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>&) override {}
};

BLEPlatform unavailablePlatform(const std::string& why) {
  BLEPlatform platform = sim::defaultPlatform();
  platform.log->line("[BLEManager]" + why);
  platform.makeCentral = [](std::weak_ptr<CBCentralManagerDelegate> delegate, const std::shared_ptr<RunLoop>& queue) {
    auto central = std::make_shared<UnavailableCentral>();
    queue->post([central, delegate] {
      if (auto d = delegate.lock()) d->centralManagerDidUpdateState(*central);
    });
    return std::static_pointer_cast<CBCentralManager>(central);
  };
  return platform;
}

BLEPlatform chosenPlatform() {
  const auto backend = BLEBackendFromEnvironment();
  if (!backend) {
    return unavailablePlatform(std::string("QUILLON_BLE_BACKEND names no backend: ") + std::getenv("QUILLON_BLE_BACKEND"));
  }
  if (*backend == BLEBackend::Sim) return sim::defaultPlatform();
  if (auto maker = registeredBLEBackend(*backend)) return maker();
  return unavailablePlatform(std::string("Backend ") + nameOf(*backend) + " is not part of this program");
}

}  // namespace

BLEManager::BLEManager() : BLEManager(chosenPlatform()) {}

BLEManager& BLEManager::sharedInstance() {
  // Deliberately never destroyed: the shared manager lives until the process
  // ends, and events may reach it until the very end.
  static BLEManager* instance = new BLEManager();
  return *instance;
}

}  // namespace quillon
