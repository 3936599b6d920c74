// Puts the printer's simulated data module, as the command line describes
// it, into the simulated world that BLEManager's shared instance runs on.
// Must run before the shared manager is first used.
#pragma once

#include <memory>

#include "tool_options.h"
#include "quillon/platform/log_sink.h"
#include "quillon/sim/sim_data_module.h"
#include "quillon/sim/sim_world.h"

namespace quillon::ota_tool {

struct SimulatedSetup {
  std::shared_ptr<sim::SimWorld> world;
  // Null with --no-module.
  std::shared_ptr<sim::SimDataModule> module;
};

// Builds the world (with the module unless options.no_module) and makes it,
// with `manager_log` for BLEManager's lines, the default platform.
SimulatedSetup install_simulated_module(const ToolOptions& options, std::shared_ptr<LogSink> manager_log);

}  // namespace quillon::ota_tool
