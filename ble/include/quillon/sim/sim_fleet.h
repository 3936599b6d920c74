// A fleet of printer data modules in one simulated world, for updating many
// modules at once: each with its own identifier and name, each answering
// over a link with latency if asked, and one of them faulty if asked.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "quillon/platform/run_loop.h"
#include "quillon/sim/sim_data_module.h"
#include "quillon/sim/sim_world.h"

namespace quillon::sim {

struct SimFleetConfig {
  std::size_t count = 1;
  // What every module starts from. Module i (from 0) is known as this
  // identifier with its last two bytes replaced by i + 1, and named
  // "<name> NN" with NN = i + 1, zero-padded to two digits or more.
  SimDataModuleConfig module;
  // Each OTA answer reaches the radio this long after the module made it,
  // in the order made; zero answers at once.
  RunLoop::Clock::duration answerLatency{0};
  // The one module (by index) that runs with `faults` instead of
  // module.ota.faults.
  std::optional<std::size_t> faultyIndex;
  OtaModuleFaults faults;
  // Adjusts module i's settings last, e.g. to give each its own mtu.
  std::function<void(std::size_t index, SimDataModuleConfig& config)> adjust;
};

// The identifier of module `index` (from 0) of a fleet based on `base`.
NSUUID fleetIdentifier(const NSUUID& base, std::size_t index);

// Makes the modules and brings them into `world`'s range, in index order.
std::vector<std::shared_ptr<SimDataModule>> addDataModules(SimWorld& world, const SimFleetConfig& config);

// Delays every OTA answer of `module` by `latency` on `queue` (the world's
// queue), in the order the module makes them. Answers still on their way
// when the module goes are dropped.
void delayOtaAnswers(const std::shared_ptr<SimDataModule>& module, const std::shared_ptr<RunLoop>& queue,
                     RunLoop::Clock::duration latency);

}  // namespace quillon::sim
