#include "quillon/sim/sim_fleet.h"

#include <algorithm>
#include <string>

namespace quillon::sim {
namespace {

std::string numberedName(const std::string& base, std::size_t index, std::size_t count) {
  std::string number = std::to_string(index + 1);
  const std::size_t width = std::max<std::size_t>(2, std::to_string(count).size());
  if (number.size() < width) number.insert(0, width - number.size(), '0');
  return base + " " + number;
}

}  // namespace

NSUUID fleetIdentifier(const NSUUID& base, std::size_t index) {
  NSUUID::Bytes bytes = base.bytes();
  const std::size_t number = index + 1;
  bytes[14] = static_cast<std::uint8_t>(number >> 8);
  bytes[15] = static_cast<std::uint8_t>(number);
  return NSUUID(bytes);
}

std::vector<std::shared_ptr<SimDataModule>> addDataModules(SimWorld& world, const SimFleetConfig& config) {
  std::vector<std::shared_ptr<SimDataModule>> modules;
  modules.reserve(config.count);
  for (std::size_t i = 0; i < config.count; ++i) {
    SimDataModuleConfig one = config.module;
    one.identifier = fleetIdentifier(config.module.identifier, i);
    one.name = numberedName(config.module.name, i, config.count);
    if (config.faultyIndex == i) one.ota.faults = config.faults;
    if (config.adjust) config.adjust(i, one);
    auto module = std::make_shared<SimDataModule>(std::move(one));
    if (config.answerLatency > RunLoop::Clock::duration::zero()) {
      delayOtaAnswers(module, world.queue(), config.answerLatency);
    }
    world.addDevice(module);
    modules.push_back(std::move(module));
  }
  return modules;
}

void delayOtaAnswers(const std::shared_ptr<SimDataModule>& module, const std::shared_ptr<RunLoop>& queue,
                     RunLoop::Clock::duration latency) {
  std::weak_ptr<SimDataModule> weak = module;
  module->otaModule().set_output([weak, queue, latency](std::vector<std::uint8_t> chunk) {
    queue->post_after(latency, [weak, chunk = std::move(chunk)] {
      if (auto alive = weak.lock()) alive->notify(kOtaUUID, chunk);
    });
  });
}

}  // namespace quillon::sim
