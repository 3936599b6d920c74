// Everything BLEManager needs from the platform, gathered so that the
// manager runs on CoreBluetooth or on the simulated world alike: the central
// factory, the main queue its events arrive on, the user defaults, the
// system version and the log.
#pragma once

#include <memory>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/platform/log_sink.h"
#include "quillon/platform/run_loop.h"
#include "quillon/platform/system_version.h"
#include "quillon/platform/user_defaults.h"

namespace quillon {

struct BLEPlatform {
  CBCentralManagerFactory makeCentral;
  std::shared_ptr<RunLoop> mainQueue;
  std::shared_ptr<NSUserDefaults> userDefaults;
  std::shared_ptr<SystemVersion> systemVersion;
  std::shared_ptr<LogSink> log;
};

}  // namespace quillon
