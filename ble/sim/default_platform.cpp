#include "quillon/sim/default_platform.h"

#include "quillon/sim/sim_data_module.h"

namespace quillon::sim {
namespace {

struct DefaultPlatformState {
  DefaultPlatformParts parts;
  std::optional<BLEPlatform> made;
};

// Never destroyed: the shared manager, which lives until the process ends,
// keeps using it.
DefaultPlatformState& state() {
  static auto* instance = new DefaultPlatformState();
  return *instance;
}

}  // namespace

bool configureDefaultPlatform(DefaultPlatformParts parts) {
  auto& s = state();
  if (s.made) return false;
  if (parts.world) s.parts.world = std::move(parts.world);
  if (parts.userDefaults) s.parts.userDefaults = std::move(parts.userDefaults);
  if (parts.systemVersion) s.parts.systemVersion = std::move(parts.systemVersion);
  if (parts.log) s.parts.log = std::move(parts.log);
  return true;
}

BLEPlatform defaultPlatform() {
  auto& s = state();
  if (!s.made) {
    auto& parts = s.parts;
    if (!parts.world) {
      parts.world = SimWorld::create();
      parts.world->addDevice(std::make_shared<SimDataModule>());
    }
    if (!parts.userDefaults) parts.userDefaults = std::make_shared<FileUserDefaults>(FileUserDefaults::standardLocation());
    if (!parts.systemVersion) parts.systemVersion = std::make_shared<FixedSystemVersion>("17.0");
    if (!parts.log) parts.log = std::make_shared<StderrLogSink>();
    s.made = BLEPlatform{parts.world->centralFactory(), parts.world->queue(), parts.userDefaults,
                         parts.systemVersion, parts.log};
  }
  return *s.made;
}

std::shared_ptr<SimWorld> defaultWorld() {
  defaultPlatform();
  return state().parts.world;
}

}  // namespace quillon::sim
