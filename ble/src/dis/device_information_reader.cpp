#include "quillon/dis/device_information_reader.h"

#include <algorithm>

namespace quillon {

std::shared_ptr<DeviceInformationReader> DeviceInformationReader::create(std::shared_ptr<RunLoop> queue) {
  return std::shared_ptr<DeviceInformationReader>(new DeviceInformationReader(std::move(queue)));
}

void DeviceInformationReader::read(std::shared_ptr<CBPeripheral> peripheral, std::chrono::milliseconds timeout,
                                   Completion done) {
  if (reading()) finish(DeviceInformationReadResult::Ending::LinkLost);
  peripheral_ = std::move(peripheral);
  done_ = std::move(done);
  result_ = {};
  const auto generation = ++generation_;
  queue_->post_after(timeout, [weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (self && self->reading() && self->generation_ == generation) {
      self->finish(DeviceInformationReadResult::Ending::TimedOut);
    }
  });
  // What an app discovered before is used as it is; otherwise only this
  // service is looked for, which leaves the services known so far in place.
  if (auto known = services(); !known.empty()) {
    discoverCharacteristics(known);
  } else {
    askedServices_ = true;
    peripheral_->discoverServices(std::vector{kDeviceInformationServiceUUID});
  }
}

void DeviceInformationReader::linkLost(const std::optional<NSError>& error) {
  if (reading()) finish(DeviceInformationReadResult::Ending::LinkLost, error);
}

std::vector<std::shared_ptr<CBService>> DeviceInformationReader::services() const {
  std::vector<std::shared_ptr<CBService>> found;
  for (const auto& service : peripheral_->services().value_or(CBServiceList{})) {
    if (service->UUID() == kDeviceInformationServiceUUID) found.push_back(service);
  }
  return found;
}

// Discovers the strings' characteristics of each instance that has none
// known yet; collects once every discovery has answered.
void DeviceInformationReader::discoverCharacteristics(const std::vector<std::shared_ptr<CBService>>& services) {
  std::vector<CBUUID> wanted;
  for (auto field : kDeviceInformationFields) wanted.push_back(characteristicUUIDOf(field));
  for (const auto& service : services) {
    if (!service->characteristics()) awaited_.push_back(service);
  }
  if (awaited_.empty()) {
    queue_->post([weak = weak_from_this(), generation = generation_] {
      auto self = weak.lock();
      if (self && self->reading() && self->generation_ == generation) self->collect();
    });
    return;
  }
  for (const auto& service : std::vector(awaited_)) peripheral_->discoverCharacteristics_forService(wanted, service);
}

void DeviceInformationReader::peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             const std::optional<NSError>& error) {
  if (!reading() || peripheral != peripheral_ || !askedServices_) return;
  askedServices_ = false;
  if (error) return finish(DeviceInformationReadResult::Ending::DiscoveryFailed, error);
  auto found = services();
  if (found.empty()) return finish(DeviceInformationReadResult::Ending::NoService);
  discoverCharacteristics(found);
}

void DeviceInformationReader::peripheral_didDiscoverCharacteristicsForService_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
    const std::optional<NSError>& error) {
  if (!reading() || peripheral != peripheral_) return;
  const auto awaited = std::find(awaited_.begin(), awaited_.end(), service);
  if (awaited == awaited_.end()) return;
  awaited_.erase(awaited);
  if (error && !discoveryError_) discoveryError_ = error;
  if (awaited_.empty()) collect();
}

void DeviceInformationReader::collect() {
  collected_ = true;
  // In the order of the fields, so that results read alike on every
  // backend; of a string offered twice, the first instance's.
  const auto found = services();
  for (auto field : kDeviceInformationFields) {
    bool taken = false;
    for (const auto& service : found) {
      for (const auto& characteristic : service->characteristics().value_or(CBCharacteristicList{})) {
        if (!taken && characteristic->UUID() == characteristicUUIDOf(field)) {
          toRead_.push_back(characteristic);
          taken = true;
        }
      }
    }
  }
  if (toRead_.empty() && discoveryError_) {
    return finish(DeviceInformationReadResult::Ending::DiscoveryFailed, discoveryError_);
  }
  readNext();
}

// One read at a time: small modules answer one ATT request at a time anyway.
void DeviceInformationReader::readNext() {
  if (toRead_.empty()) return finish(DeviceInformationReadResult::Ending::Complete);
  inFlight_ = toRead_.front();
  toRead_.erase(toRead_.begin());
  peripheral_->readValueForCharacteristic(inFlight_);
}

void DeviceInformationReader::peripheral_didUpdateValueForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  if (!reading() || peripheral != peripheral_ || characteristic != inFlight_) return;
  inFlight_.reset();
  const auto field = deviceInformationFieldOf(characteristic->UUID());
  if (error) {
    // A read that failed because the link went is the link's end, not the module's refusal.
    if (peripheral_->state() != CBPeripheralStateConnected) {
      return finish(DeviceInformationReadResult::Ending::LinkLost, error);
    }
    if (field) result_.refused.emplace_back(*field, *error);
  } else if (field) {
    result_.values.insert_or_assign(*field, DeviceInformationText(characteristic->value().value_or(NSData{})));
  }
  readNext();
}

void DeviceInformationReader::finish(DeviceInformationReadResult::Ending ending, std::optional<NSError> error) {
  result_.ending = ending;
  result_.error = std::move(error);
  auto done = std::move(done_);
  auto result = std::move(result_);
  peripheral_.reset();
  done_ = nullptr;
  result_ = {};
  awaited_.clear();
  discoveryError_.reset();
  toRead_.clear();
  askedServices_ = false;
  collected_ = false;
  inFlight_.reset();
  ++generation_;
  // Never inside read() or a caller's linkLost(): the caller may start the next read from `done`.
  queue_->post([done = std::move(done), result = std::move(result)] {
    if (done) done(result);
  });
}

}  // namespace quillon
