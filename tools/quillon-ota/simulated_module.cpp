#include "simulated_module.h"

#include <algorithm>

#include "quillon/sim/default_platform.h"
#include "quillon/sim/sim_fleet.h"

namespace quillon::ota_tool {

std::shared_ptr<sim::SimDataModule> SimulatedSetup::module(const std::string& identifier) const {
  for (const auto& module : modules) {
    if (module->identifier().UUIDString() == identifier) return module;
  }
  return nullptr;
}

SimulatedSetup install_simulated_modules(const ToolOptions& options, std::shared_ptr<LogSink> manager_log) {
  SimulatedSetup setup;
  setup.world = sim::SimWorld::create();
  const auto identifiers = simulated_identifiers(options);
  sim::SimFleetConfig fleet;
  fleet.count = identifiers.size();
  fleet.module.ota = options.module;
  fleet.module.attMtu = options.att_mtu;
  // Keeping the image costs memory; only --save-received and --verify
  // (which hashes what arrived with SHA-256) need the bytes.
  fleet.module.ota.store_image = options.save_received.has_value() || options.verify;
  // The module's answers reach the radio late, in the order made, as over
  // a real link's connection interval.
  fleet.answerLatency = std::chrono::milliseconds(options.latency_ms);
  fleet.adjust = [&](std::size_t index, sim::SimDataModuleConfig& config) {
    const std::string& identifier = identifiers[index];
    // Validated when the options were parsed.
    config.identifier = *NSUUID::initWithUUIDString(identifier);
    // Only numbered modules get numbered names.
    if (!options.modules) config.name = sim::SimDataModuleConfig{}.name;
    // A module's own strings come on top of those given for all.
    for (const std::string& key : {std::string(), "#" + std::to_string(index + 1), identifier}) {
      if (auto it = options.module_information.find(key); it != options.module_information.end()) {
        for (const auto& [field, text] : it->second) config.deviceInformation[field] = NSData(text.begin(), text.end());
      }
    }
    // A module's own faults replace the ones given for all.
    for (const std::string& key : {"#" + std::to_string(index + 1), identifier}) {
      if (auto it = options.module_faults.find(key); it != options.module_faults.end()) {
        config.ota.faults = it->second;
      }
    }
  };
  setup.modules = sim::addDataModules(*setup.world, fleet);
  // Made like the others, so that numbers and identifiers stay as without
  // --out-of-range, then taken out of the world's range.
  for (std::size_t i = 0; i < setup.modules.size(); ++i) {
    const auto& ids = options.out_of_range;
    if (std::find(ids.begin(), ids.end(), "#" + std::to_string(i + 1)) != ids.end() ||
        std::find(ids.begin(), ids.end(), identifiers[i]) != ids.end()) {
      setup.world->removeDevice(setup.modules[i]->identifier());
    }
  }
  sim::DefaultPlatformParts parts;
  parts.world = setup.world;
  parts.log = std::move(manager_log);
  sim::configureDefaultPlatform(std::move(parts));
  return setup;
}

}  // namespace quillon::ota_tool
