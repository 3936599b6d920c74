// Away from Apple the simulated world is the platform backend, so the
// manager's platform-dependent construction lives here, picked at link time.
#include "quillon/manager/ble_manager.h"
#include "quillon/sim/default_platform.h"

namespace quillon {

BLEManager::BLEManager() : BLEManager(sim::defaultPlatform()) {}

BLEManager& BLEManager::sharedInstance() {
  // Deliberately never destroyed: the shared manager lives until the process
  // ends, and events may reach it until the very end.
  static BLEManager* instance = new BLEManager();
  return *instance;
}

}  // namespace quillon
