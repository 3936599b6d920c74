// Puts the printer's simulated data modules, as the command line describes
// them, into the simulated world that BLEManager's shared instance runs on.
// Must run before the shared manager is first used.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tool_options.h"
#include "quillon/platform/log_sink.h"
#include "quillon/sim/sim_data_module.h"
#include "quillon/sim/sim_world.h"

namespace quillon::ota_tool {

struct SimulatedSetup {
  std::shared_ptr<sim::SimWorld> world;
  // In the order of simulated_identifiers(); empty with --no-module.
  std::vector<std::shared_ptr<sim::SimDataModule>> modules;

  // The module known as `identifier` (upper case), or null.
  std::shared_ptr<sim::SimDataModule> module(const std::string& identifier) const;
};

// Builds the world (with the modules unless options.no_module) and makes it,
// with `manager_log` for BLEManager's lines, the default platform.
SimulatedSetup install_simulated_modules(const ToolOptions& options, std::shared_ptr<LogSink> manager_log);

}  // namespace quillon::ota_tool
