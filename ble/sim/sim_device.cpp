#include "quillon/sim/sim_device.h"

#include <algorithm>

#include "quillon/sim/sim_peripheral.h"

namespace quillon::sim {

SimDevice::SimDevice(SimDeviceConfig config) : config_(std::move(config)) {
  // A zero interval would make a scan's advertisements fall due forever.
  if (config_.advertisingInterval <= std::chrono::milliseconds(0)) config_.advertisingInterval = std::chrono::milliseconds(1);
}

AdvertisementDictionary SimDevice::advertisement() const {
  AdvertisementDictionary ad;
  ad.localName = config_.name;
  ad.serviceUUIDs = config_.advertisedServices;
  ad.manufacturerData = config_.manufacturerData;
  ad.serviceData = config_.serviceData;
  ad.isConnectable = config_.acceptsConnections;
  return ad;
}

bool SimDevice::matches(const std::optional<std::vector<CBUUID>>& filter) const {
  if (!filter) return true;
  return std::any_of(filter->begin(), filter->end(), [&](const CBUUID& wanted) {
    return std::find(config_.advertisedServices.begin(), config_.advertisedServices.end(), wanted) !=
           config_.advertisedServices.end();
  });
}

void SimDevice::addService(SimGattService service) { services_.push_back(std::move(service)); }

void SimDevice::addCharacteristic(const CBUUID& service, SimGattCharacteristic characteristic) {
  if (auto* known = findMutable(characteristic.uuid)) {
    known->value = std::move(characteristic.value);
    return;
  }
  for (auto& existing : services_) {
    if (existing.uuid == service) {
      existing.characteristics.push_back(std::move(characteristic));
      return;
    }
  }
  services_.push_back({service, {std::move(characteristic)}});
}

const SimGattService* SimDevice::findService(const CBUUID& uuid) const {
  for (const auto& service : services_) {
    if (service.uuid == uuid) return &service;
  }
  return nullptr;
}

const SimGattCharacteristic* SimDevice::findCharacteristic(const CBUUID& uuid) const {
  return const_cast<SimDevice*>(this)->findMutable(uuid);
}

SimGattCharacteristic* SimDevice::findMutable(const CBUUID& uuid) {
  for (auto& service : services_) {
    for (auto& characteristic : service.characteristics) {
      if (characteristic.uuid == uuid) return &characteristic;
    }
  }
  return nullptr;
}

std::optional<NSData> SimDevice::value(const CBUUID& characteristic) const {
  const auto* found = findCharacteristic(characteristic);
  if (!found) return std::nullopt;
  return found->value;
}

void SimDevice::setValue(const CBUUID& characteristic, NSData value) {
  if (auto* found = findMutable(characteristic)) found->value = std::move(value);
}

void SimDevice::setWriteHandler(const CBUUID& characteristic, WriteHandler handler) {
  for (auto& [uuid, existing] : writeHandlers_) {
    if (uuid == characteristic) {
      existing = std::move(handler);
      return;
    }
  }
  writeHandlers_.emplace_back(characteristic, std::move(handler));
}

void SimDevice::setWriteError(const CBUUID& characteristic, std::optional<NSError> error) {
  std::erase_if(writeErrors_, [&](const auto& entry) { return entry.first == characteristic; });
  if (error) writeErrors_.emplace_back(characteristic, std::move(*error));
}

void SimDevice::notify(const CBUUID& characteristic, const NSData& value) {
  setValue(characteristic, value);
  for (const auto& weak : std::vector(links_)) {
    if (auto link = weak.lock()) link->deliverNotification(characteristic, value);
  }
}

void SimDevice::disconnectAll() {
  auto links = std::move(links_);
  links_.clear();
  for (const auto& weak : links) {
    if (auto link = weak.lock()) link->deliverDeviceDisconnect();
  }
}

std::size_t SimDevice::connectionCount() const {
  return static_cast<std::size_t>(
      std::count_if(links_.begin(), links_.end(), [](const auto& weak) { return !weak.expired(); }));
}

void SimDevice::attach(const std::shared_ptr<SimPeripheral>& link) {
  detach(link.get());
  links_.push_back(link);
}

void SimDevice::detach(const SimPeripheral* link) {
  std::erase_if(links_, [&](const auto& weak) {
    auto locked = weak.lock();
    return !locked || locked.get() == link;
  });
}

std::optional<NSError> SimDevice::receiveWrite(const CBUUID& characteristic, const NSData& bytes,
                                               CBCharacteristicWriteType type) {
  auto* found = findMutable(characteristic);
  const CBCharacteristicProperties needed = type == CBCharacteristicWriteWithResponse
                                                ? CBCharacteristicPropertyWrite
                                                : CBCharacteristicPropertyWriteWithoutResponse;
  if (!found || (found->properties & needed) == 0) {
    return NSError{CBATTErrorDomain, CBATTErrorWriteNotPermitted, "Writing is not permitted."};
  }
  if (type == CBCharacteristicWriteWithResponse) {
    for (const auto& [uuid, error] : writeErrors_) {
      if (uuid == characteristic) return error;
    }
  }
  found->value = bytes;
  for (const auto& [uuid, handler] : writeHandlers_) {
    if (uuid == characteristic && handler) {
      auto call = handler;  // the handler may replace itself
      call(bytes, type);
      break;
    }
  }
  return std::nullopt;
}

}  // namespace quillon::sim
