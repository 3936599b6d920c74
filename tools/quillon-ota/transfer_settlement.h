// What follows a module's transfer, in a single run and for every module
// of a fleet run: --verify (the simulated module's bytes against the image;
// over BlueZ the module's own verdict is all there is) and, over BlueZ,
// forgetting the updated module so that its new GATT table is read afresh.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "exit_status.h"
#include "json_events.h"
#include "simulated_module.h"
#include "tool_options.h"
#include "update_session.h"
#include "quillon/manager/ble_backend.h"
#include "quillon/platform/log_sink.h"
#include "quillon/platform/run_loop.h"

namespace quillon::ota_tool {

struct TransferSettlement {
  const ToolOptions& options;
  BLEBackend backend;
  const SimulatedSetup& simulated;
  std::shared_ptr<LogSink> manager_log;

  // Checks `session`'s finished transfer: a success may become
  // VerifyMismatch or ImageUnavailable, with `detail` saying why. What was
  // checked is said through `say`, or as a "verify" event with `json`.
  // `released`, if given, is called once the module's link is down: at
  // once, or over BlueZ when the forgetting is answered.
  void settle(const UpdateSession& session, Outcome& outcome, std::string& detail,
              const std::function<void(const std::string&)>& say, JsonEvents* json,
              std::function<void()> released = {}) const;

  // Runs `queue` until BlueZ has answered every forgetting that settle()
  // asked for (it answers once the module's link is down), for at most
  // `limit`; what is still unanswered then is said in the log; BlueZ
  // completes it anyway.
  void wait_for_forgetting(RunLoop& queue, std::chrono::milliseconds limit) const;

  // Forgettings asked for and not answered yet.
  std::shared_ptr<std::size_t> unanswered = std::make_shared<std::size_t>(0);
};

}  // namespace quillon::ota_tool
