#include "module_information_reads.h"

#include <algorithm>
#include <cstdio>

namespace quillon::ota_tool {

ModuleInformationReads::ModuleInformationReads(BLEManager& manager, std::shared_ptr<RunLoop> queue, Settings settings,
                                               std::function<void(std::size_t, const ModuleInformation&)> each)
    : manager_(manager), queue_(std::move(queue)), settings_(settings), each_(std::move(each)) {}

void ModuleInformationReads::start(std::vector<std::shared_ptr<CBPeripheral>> peripherals) {
  for (auto& peripheral : peripherals) modules_.push_back({std::move(peripheral), Phase::Waiting, nullptr, {}});
  fill();
}

void ModuleInformationReads::stop() {
  if (stopped_) return;
  stopped_ = true;
  for (auto& module : modules_) {
    if (module.phase == Phase::Connecting || module.phase == Phase::Reading) manager_.disconnect(module.peripheral);
    dropReader(module);
  }
}

ModuleInformationReads::Module* ModuleInformationReads::find(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             Phase phase) {
  for (auto& module : modules_) {
    if (module.phase == phase && module.peripheral == peripheral) return &module;
  }
  return nullptr;
}

void ModuleInformationReads::fill() {
  while (!stopped_ && busy_ < settings_.at_once && next_ < modules_.size()) {
    const std::size_t index = next_++;
    auto& module = modules_[index];
    module.phase = Phase::Connecting;
    ++busy_;
    manager_.connect(module.peripheral);
    queue_->post_after(settings_.connect_limit, [weak = weak_from_this(), index] {
      auto self = weak.lock();
      if (!self || self->stopped_ || self->modules_[index].phase != Phase::Connecting) return;
      auto& late = self->modules_[index];
      char text[64];
      std::snprintf(text, sizeof text, "no connection within %g s",
                    static_cast<double>(self->settings_.connect_limit.count()) / 1000.0);
      late.result.connect_failure = text;
      self->hangUp(index);
    });
  }
}

void ModuleInformationReads::connected(const std::shared_ptr<CBPeripheral>& peripheral) {
  Module* module = find(peripheral, Phase::Connecting);
  if (!module || stopped_) return;
  const std::size_t index = static_cast<std::size_t>(module - modules_.data());
  module->phase = Phase::Reading;
  module->reader = DeviceInformationReader::create(queue_);
  manager_.bleServices().push_back(module->reader);
  module->reader->read(peripheral, settings_.read_limit, [weak = weak_from_this(), index](const DeviceInformationReadResult& result) {
    if (auto self = weak.lock()) self->readDone(index, result);
  });
}

void ModuleInformationReads::failed(const std::shared_ptr<CBPeripheral>& peripheral,
                                    const std::optional<NSError>& error) {
  Module* module = find(peripheral, Phase::Connecting);
  if (!module || stopped_) return;
  module->result.connect_failure = error ? error->localizedDescription : "the connection failed";
  const std::size_t index = static_cast<std::size_t>(module - modules_.data());
  // No link was made: nothing to wait for.
  module->phase = Phase::Disconnecting;
  placeFree(index);
}

void ModuleInformationReads::disconnected(const std::shared_ptr<CBPeripheral>& peripheral,
                                          const std::optional<NSError>& error) {
  if (Module* reading = find(peripheral, Phase::Reading)) {
    // The reader hears of it and ends; its result then hangs up (a no-op now).
    if (reading->reader) reading->reader->linkLost(error);
    return;
  }
  if (Module* connecting = find(peripheral, Phase::Connecting)) {
    connecting->result.connect_failure = error ? error->localizedDescription : "the link went down";
    connecting->phase = Phase::Disconnecting;
    placeFree(static_cast<std::size_t>(connecting - modules_.data()));
    return;
  }
  if (Module* leaving = find(peripheral, Phase::Disconnecting); leaving && !settings_.hang_up) {
    placeFree(static_cast<std::size_t>(leaving - modules_.data()));
  }
}

void ModuleInformationReads::readDone(std::size_t index, const DeviceInformationReadResult& result) {
  auto& module = modules_[index];
  if (stopped_ || module.phase != Phase::Reading) return;
  module.result.read = result;
  dropReader(module);
  hangUp(index);
}

void ModuleInformationReads::hangUp(std::size_t index) {
  auto& module = modules_[index];
  const bool linkDown = module.result.read && module.result.read->ending == DeviceInformationReadResult::Ending::LinkLost &&
                        module.peripheral->state() == CBPeripheralStateDisconnected;
  module.phase = Phase::Disconnecting;
  if (linkDown) return placeFree(index);
  if (settings_.hang_up) {
    settings_.hang_up(module.peripheral, [weak = weak_from_this(), index] {
      if (auto self = weak.lock()) self->placeFree(index);
    });
  } else {
    manager_.disconnect(module.peripheral);
  }
  queue_->post_after(settings_.disconnect_limit, [weak = weak_from_this(), index] {
    auto self = weak.lock();
    if (self && self->modules_[index].phase == Phase::Disconnecting) self->placeFree(index);
  });
}

void ModuleInformationReads::placeFree(std::size_t index) {
  auto& module = modules_[index];
  if (module.phase == Phase::Done) return;
  module.phase = Phase::Done;
  --busy_;
  ++done_;
  if (!stopped_ && each_) each_(index, module.result);
  fill();
}

void ModuleInformationReads::dropReader(Module& module) {
  if (!module.reader) return;
  auto& handlers = manager_.bleServices();
  handlers.erase(std::remove(handlers.begin(), handlers.end(), module.reader), handlers.end());
  module.reader.reset();
}

}  // namespace quillon::ota_tool
