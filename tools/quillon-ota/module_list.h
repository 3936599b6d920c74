// quillon-ota --list: which modules are in range, before anything is
// updated. Scans for modules advertising the OTA service for the scan time,
// then (unless --scan-only) connects to each for a moment to read what it
// says it is, and prints one row per module (name, identifier, RSSI, model,
// firmware revision, serial number), or with --json one "found" event per
// module and a closing "list" event.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>

#include "scan_failure_relay.h"
#include "tool_options.h"
#include "quillon/manager/ble_manager.h"
#include "quillon/platform/run_loop.h"

namespace quillon::ota_tool {

// Runs the scan on `queue` (the manager's queue) until the scan time is up
// or Ctrl-C/SIGTERM, writing to `out`. Returns the exit status: 0 when at
// least one module was found, 3 when none, 8 when Bluetooth cannot be
// used, 130/143 when stopped by a signal.
// `hang_up`, if given, ends a module's link after its reads and says when
// it is down (see ModuleInformationReads::Settings).
int list_modules(const ToolOptions& options, BLEManager& manager, const std::shared_ptr<RunLoop>& queue,
                 ScanFailureRelay& scan_failures, std::FILE* out,
                 std::function<void(const std::shared_ptr<CBPeripheral>&, std::function<void()>)> hang_up = {});

}  // namespace quillon::ota_tool
