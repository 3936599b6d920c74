// What follows a module's transfer, in a single run and for every module
// of a fleet run: --verify (the simulated module's bytes against the image;
// over BlueZ the module's own verdict is all there is) and, over BlueZ,
// forgetting the updated module so that its new GATT table is read afresh.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "exit_status.h"
#include "json_events.h"
#include "simulated_module.h"
#include "tool_log_sink.h"
#include "tool_options.h"
#include "update_session.h"
#include "quillon/manager/ble_backend.h"

namespace quillon::ota_tool {

struct TransferSettlement {
  const ToolOptions& options;
  BLEBackend backend;
  const SimulatedSetup& simulated;
  std::shared_ptr<ToolLogSink> manager_log;

  // Checks `session`'s finished transfer: a success may become
  // VerifyMismatch or ImageUnavailable, with `detail` saying why. What was
  // checked is said through `say`, or as a "verify" event with `json`.
  void settle(const UpdateSession& session, Outcome& outcome, std::string& detail,
              const std::function<void(const std::string&)>& say, JsonEvents* json) const;
};

}  // namespace quillon::ota_tool
