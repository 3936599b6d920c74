#include "quillon/sim/sim_peripheral.h"

#include "quillon/ble/peripheral_errors.h"
#include "quillon/sim/sim_central_manager.h"

namespace quillon::sim {

SimPeripheral::SimPeripheral(std::shared_ptr<SimDevice> device, std::weak_ptr<SimCentralManager> central,
                             std::shared_ptr<RunLoop> queue)
    : device_(std::move(device)), central_(std::move(central)), queue_(std::move(queue)) {}

SimPeripheral::~SimPeripheral() { device_->detach(this); }

// Runs `body` on the queue later, with this peripheral and its delegate as
// they are then; nothing happens if the peripheral has gone by then.
template <typename Body>
void SimPeripheral::later(Body body) {
  queue_->post([weak = weak_from_this(), body = std::move(body)]() mutable {
    if (auto self = weak.lock()) body(*self, std::static_pointer_cast<CBPeripheral>(self));
  });
}

void SimPeripheral::setState(CBPeripheralState state) {
  state_ = state;
  if (state == CBPeripheralStateConnected) {
    device_->attach(shared_from_this());
  } else if (state == CBPeripheralStateDisconnected) {
    device_->detach(this);
    forgetGatt();
  }
}

// After a disconnection the platform invalidates what was discovered.
void SimPeripheral::forgetGatt() {
  if (!services_) return;
  for (const auto& service : *services_) {
    if (!service->characteristics()) continue;
    for (const auto& characteristic : *service->characteristics()) characteristic->setNotifying(false);
  }
  services_.reset();
}

void SimPeripheral::discoverServices(const CBUUIDFilter& serviceUUIDs) {
  later([filter = serviceUUIDs](SimPeripheral& self, const std::shared_ptr<CBPeripheral>& me) {
    auto delegate = self.delegate();
    if (self.state_ != CBPeripheralStateConnected) {
      if (delegate) delegate->peripheral_didDiscoverServices(me, notConnectedError());
      return;
    }
    // As on the platform, a discovery adds what it finds to the services
    // found before: a filtered one leaves the others in the list, and a
    // service found again keeps its object (and its characteristics).
    CBServiceList list;
    for (const auto& deviceService : self.device_->services()) {
      std::shared_ptr<CBService> known;
      if (self.services_) {
        for (const auto& existing : *self.services_) {
          if (existing->UUID() == deviceService.uuid) known = existing;
        }
      }
      if (known) {
        list.push_back(known);
      } else if (passesFilter(filter, deviceService.uuid)) {
        list.push_back(std::make_shared<CBService>(deviceService.uuid, me));
      }
    }
    self.services_ = std::move(list);
    if (delegate) delegate->peripheral_didDiscoverServices(me, std::nullopt);
  });
}

void SimPeripheral::discoverCharacteristics_forService(const CBUUIDFilter& characteristicUUIDs,
                                                       const std::shared_ptr<CBService>& service) {
  later([filter = characteristicUUIDs, service](SimPeripheral& self, const std::shared_ptr<CBPeripheral>& me) {
    auto delegate = self.delegate();
    const SimGattService* deviceService = service ? self.device_->findService(service->UUID()) : nullptr;
    const bool connected = self.state_ == CBPeripheralStateConnected;
    if (!connected || !deviceService) {
      if (delegate) {
        delegate->peripheral_didDiscoverCharacteristicsForService_error(me, service,
                                                                        characteristicDiscoveryError(connected));
      }
      return;
    }
    CBCharacteristicList list;
    for (const auto& deviceCharacteristic : deviceService->characteristics) {
      if (!passesFilter(filter, deviceCharacteristic.uuid)) continue;
      std::shared_ptr<CBCharacteristic> known;
      if (service->characteristics()) {
        for (const auto& existing : *service->characteristics()) {
          if (existing->UUID() == deviceCharacteristic.uuid) known = existing;
        }
      }
      list.push_back(known ? known
                           : std::make_shared<CBCharacteristic>(deviceCharacteristic.uuid,
                                                                deviceCharacteristic.properties, service));
    }
    service->setCharacteristics(std::move(list));
    if (delegate) delegate->peripheral_didDiscoverCharacteristicsForService_error(me, service, std::nullopt);
  });
}

void SimPeripheral::readValueForCharacteristic(const std::shared_ptr<CBCharacteristic>& characteristic) {
  later([characteristic](SimPeripheral& self, const std::shared_ptr<CBPeripheral>& me) {
    std::optional<NSError> error;
    const auto* found = self.device_->findCharacteristic(characteristic->UUID());
    if (self.state_ != CBPeripheralStateConnected) {
      error = notConnectedError();
    } else if (!found || (found->properties & CBCharacteristicPropertyRead) == 0) {
      error = NSError{CBATTErrorDomain, CBATTErrorReadNotPermitted, "Reading is not permitted."};
    } else {
      characteristic->setValue(found->value);
    }
    if (auto delegate = self.delegate()) delegate->peripheral_didUpdateValueForCharacteristic_error(me, characteristic, error);
  });
}

// The bytes reach the device on the queue too, in the order written; only a
// write with response is confirmed, as on the platform.
void SimPeripheral::writeValue_forCharacteristic_type(const NSData& data,
                                                      const std::shared_ptr<CBCharacteristic>& characteristic,
                                                      CBCharacteristicWriteType type) {
  if (type == CBCharacteristicWriteWithoutResponse) {
    ++writesInFlight_;
    if (!canSendWriteWithoutResponse()) wasFull_ = true;
  }
  later([data, characteristic, type](SimPeripheral& self, const std::shared_ptr<CBPeripheral>& me) {
    if (type == CBCharacteristicWriteWithoutResponse) self.carried(me);
    std::optional<NSError> error;
    if (self.state_ != CBPeripheralStateConnected) {
      error = notConnectedError();
    } else if (data.size() > self.maximumWriteValueLengthForType(type)) {
      // Longer than one PDU carries: a write without response is lost on
      // the way (the platform cannot say so), one with response refused.
      if (type == CBCharacteristicWriteWithoutResponse) return;
      error = NSError{CBATTErrorDomain, CBATTErrorInvalidAttributeValueLength,
                      "The value's length is invalid."};
    } else {
      error = self.device_->receiveWrite(characteristic->UUID(), data, type);
    }
    if (type != CBCharacteristicWriteWithResponse) return;
    if (auto delegate = self.delegate()) delegate->peripheral_didWriteValueForCharacteristic_error(me, characteristic, error);
  });
}

bool SimPeripheral::canSendWriteWithoutResponse() const {
  return writesInFlight_ < kWritesWithoutResponseInFlight;
}

// The link carried one write without response: room for another. Told
// after the write reaches the device, so a writer woken here is behind it.
void SimPeripheral::carried(const std::shared_ptr<CBPeripheral>& me) {
  if (writesInFlight_ > 0) --writesInFlight_;
  if (!wasFull_ || !canSendWriteWithoutResponse()) return;
  wasFull_ = false;
  queue_->post([weak = weak_from_this(), me] {
    auto self = weak.lock();
    if (!self) return;
    if (auto delegate = self->delegate()) delegate->peripheralIsReadyToSendWriteWithoutResponse(me);
  });
}

std::size_t SimPeripheral::maximumWriteValueLengthForType(CBCharacteristicWriteType type) const {
  if (type == CBCharacteristicWriteWithResponse) return 512;
  return device_->attMtu() > 3 ? device_->attMtu() - 3 : 0;
}

void SimPeripheral::setNotifyValue_forCharacteristic(bool enabled,
                                                     const std::shared_ptr<CBCharacteristic>& characteristic) {
  later([enabled, characteristic](SimPeripheral& self, const std::shared_ptr<CBPeripheral>& me) {
    const auto* found = self.device_->findCharacteristic(characteristic->UUID());
    const bool canNotify =
        found && (found->properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate)) != 0;
    std::optional<NSError> error;
    if (self.state_ != CBPeripheralStateConnected) {
      error = notConnectedError();
    } else if (!canNotify) {
      error = NSError{CBATTErrorDomain, CBATTErrorWriteNotPermitted, "The characteristic does not notify."};
    } else {
      characteristic->setNotifying(enabled);
    }
    if (auto delegate = self.delegate()) {
      delegate->peripheral_didUpdateNotificationStateForCharacteristic_error(me, characteristic, error);
    }
  });
}

void SimPeripheral::deliverNotification(const CBUUID& uuid, const NSData& value) {
  later([uuid, value](SimPeripheral& self, const std::shared_ptr<CBPeripheral>& me) {
    if (self.state_ != CBPeripheralStateConnected || !self.services_) return;
    for (const auto& service : *self.services_) {
      if (!service->characteristics()) continue;
      for (const auto& characteristic : *service->characteristics()) {
        if (characteristic->UUID() == uuid && characteristic->isNotifying()) {
          characteristic->setValue(value);
          if (auto delegate = self.delegate()) {
            delegate->peripheral_didUpdateValueForCharacteristic_error(me, characteristic, std::nullopt);
          }
        }
      }
    }
  });
}

// Holds this peripheral until the event is out: a device replaced by a new
// object in the world drops the central's last reference to the old link,
// whose disconnection must still be reported.
void SimPeripheral::deliverDeviceDisconnect() {
  queue_->post([self = shared_from_this()] {
    if (self->state_ == CBPeripheralStateDisconnected) return;
    self->setState(CBPeripheralStateDisconnected);
    if (auto central = self->central_.lock()) {
      central->reportDisconnect(self, NSError{CBErrorDomain, CBErrorPeripheralDisconnected,
                                              "The specified device has disconnected from us."});
    }
  });
}

}  // namespace quillon::sim
