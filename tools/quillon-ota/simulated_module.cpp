#include "simulated_module.h"

#include "quillon/sim/default_platform.h"

namespace quillon::ota_tool {

SimulatedSetup install_simulated_module(const ToolOptions& options, std::shared_ptr<LogSink> manager_log) {
  SimulatedSetup setup;
  setup.world = sim::SimWorld::create();
  if (!options.no_module) {
    sim::SimDataModuleConfig config;
    // Validated when the options were parsed.
    config.identifier = NSUUID::initWithUUIDString(options.module_identifier).value_or(NSUUID::UUID());
    config.ota = options.module;
    // Keeping the image costs memory; only --save-received and --verify
    // (which hashes what arrived with SHA-256) need the bytes.
    config.ota.store_image = options.save_received.has_value() || options.verify;
    setup.module = std::make_shared<sim::SimDataModule>(std::move(config));
    setup.world->addDevice(setup.module);
    if (options.latency_ms > 0) {
      // The module's answers reach the radio late, in the order made.
      const auto delay = std::chrono::milliseconds(options.latency_ms);
      std::weak_ptr<sim::SimDataModule> weak = setup.module;
      auto queue = setup.world->queue();
      setup.module->otaModule().set_output([weak, queue, delay](std::vector<std::uint8_t> chunk) {
        queue->post_after(delay, [weak, chunk = std::move(chunk)] {
          if (auto module = weak.lock()) module->notify(sim::kOtaUUID, chunk);
        });
      });
    }
  }
  sim::DefaultPlatformParts parts;
  parts.world = setup.world;
  parts.log = std::move(manager_log);
  sim::configureDefaultPlatform(std::move(parts));
  return setup;
}

}  // namespace quillon::ota_tool
