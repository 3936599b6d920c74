// The platform that BLEManager's default constructor and sharedInstance use
// away from Apple: a simulated world holding one printer data module, user
// defaults in a file under the user's configuration folder, a system version
// text and the standard-error log. Each part may be replaced before first use.
#pragma once

#include <memory>

#include "quillon/manager/ble_platform.h"
#include "quillon/sim/sim_world.h"

namespace quillon::sim {

struct DefaultPlatformParts {
  std::shared_ptr<SimWorld> world;                // default: one SimDataModule
  std::shared_ptr<NSUserDefaults> userDefaults;   // default: FileUserDefaults at its standard place
  std::shared_ptr<SystemVersion> systemVersion;   // default: "17.0"
  std::shared_ptr<LogSink> log;                   // default: standard error
};

// Replaces the parts given (null parts keep their defaults). Only before the
// default platform is first used; returns false, changing nothing, after.
// Main thread.
bool configureDefaultPlatform(DefaultPlatformParts parts);

// The default platform, made on first use and the same afterwards. Main thread.
BLEPlatform defaultPlatform();
// Its world, for the host to drive (queue) and populate.
std::shared_ptr<SimWorld> defaultWorld();

}  // namespace quillon::sim
