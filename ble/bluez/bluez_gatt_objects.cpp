// The GATT objects under a device, as the peripheral's services and
// characteristics: read from the object tree when the host discovers them,
// forgotten when the link ends. Also the ATT MTU they tell.
#include "bluez_peripheral.h"

#include "quillon/ble/peripheral_errors.h"

namespace quillon::bluez {
namespace {

CBCharacteristicProperties propertiesFromFlags(const std::vector<std::string>& flags) {
  static const std::pair<const char*, CBCharacteristicProperties> kFlags[] = {
      {"broadcast", CBCharacteristicPropertyBroadcast},
      {"read", CBCharacteristicPropertyRead},
      {"write-without-response", CBCharacteristicPropertyWriteWithoutResponse},
      {"write", CBCharacteristicPropertyWrite},
      {"notify", CBCharacteristicPropertyNotify},
      {"indicate", CBCharacteristicPropertyIndicate},
      {"authenticated-signed-writes", CBCharacteristicPropertyAuthenticatedSignedWrites},
      {"extended-properties", CBCharacteristicPropertyExtendedProperties},
  };
  CBCharacteristicProperties properties = 0;
  for (const auto& flag : flags) {
    for (const auto& [name, bit] : kFlags) {
      if (flag == name) properties |= bit;
    }
  }
  return properties;
}

}  // namespace

// After a disconnection what was discovered is stale: the module may come
// back (after a firmware update) with another GATT table.
void BluezPeripheral::forgetGatt() {
  for (auto& entry : characteristicEntries_) {
    entry.writeSocket.reset();
    entry.notifySocket.reset();
    entry.characteristic->setNotifying(false);
  }
  characteristicEntries_.clear();
  serviceEntries_.clear();
  services_.reset();
  mtuLogged_ = false;
  acquiredMtu_ = 0;
  wasFull_ = false;
}

BluezPeripheral::CharacteristicEntry* BluezPeripheral::entryFor(const std::shared_ptr<CBCharacteristic>& characteristic) {
  for (auto& entry : characteristicEntries_) {
    if (entry.characteristic == characteristic) return &entry;
  }
  return nullptr;
}

BluezPeripheral::CharacteristicEntry* BluezPeripheral::entryAt(const std::string& path) {
  for (auto& entry : characteristicEntries_) {
    if (entry.path == path) return &entry;
  }
  return nullptr;
}

const BluezPeripheral::ServiceEntry* BluezPeripheral::entryFor(const std::shared_ptr<CBService>& service) const {
  for (const auto& entry : serviceEntries_) {
    if (entry.service == service) return &entry;
  }
  return nullptr;
}

void BluezPeripheral::discoverServices(const CBUUIDFilter& serviceUUIDs) {
  later([filter = serviceUUIDs](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>& me,
                                PeripheralContext& context) {
    auto delegate = self.delegate();
    if (self.state_ != CBPeripheralStateConnected) {
      if (delegate) delegate->peripheral_didDiscoverServices(me, notConnectedError());
      return;
    }
    CBServiceList list;
    std::vector<ServiceEntry> entries;
    for (const auto& path : context.tree().children(kServiceInterface, "Device", self.path_)) {
      auto uuid = CBUUID::UUIDWithString(
          property<std::string>(context.tree().find(path, kServiceInterface), "UUID").value_or(""));
      if (!uuid) continue;
      // A filtered discovery adds to what was found before: a service
      // already known stays, the same object, for as long as bluetoothd
      // still has it.
      std::shared_ptr<CBService> service;
      for (const auto& known : self.serviceEntries_) {
        if (known.path == path) service = known.service;
      }
      if (!service && !passesFilter(filter, *uuid)) continue;
      if (!service) service = std::make_shared<CBService>(*uuid, me);
      list.push_back(service);
      entries.push_back({path, service});
    }
    self.serviceEntries_ = std::move(entries);
    self.services_ = std::move(list);
    if (delegate) delegate->peripheral_didDiscoverServices(me, std::nullopt);
  });
}

void BluezPeripheral::discoverCharacteristics_forService(const CBUUIDFilter& characteristicUUIDs,
                                                         const std::shared_ptr<CBService>& service) {
  later([filter = characteristicUUIDs, service](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>& me,
                                                PeripheralContext& context) {
    auto delegate = self.delegate();
    const ServiceEntry* serviceEntry = self.entryFor(service);
    const bool connected = self.state_ == CBPeripheralStateConnected;
    if (!connected || !serviceEntry) {
      if (delegate) {
        delegate->peripheral_didDiscoverCharacteristicsForService_error(me, service,
                                                                        characteristicDiscoveryError(connected));
      }
      return;
    }
    CBCharacteristicList list;
    for (const auto& path : context.tree().children(kCharacteristicInterface, "Service", serviceEntry->path)) {
      const Properties* properties = context.tree().find(path, kCharacteristicInterface);
      auto uuid = CBUUID::UUIDWithString(property<std::string>(properties, "UUID").value_or(""));
      if (!uuid || !passesFilter(filter, *uuid)) continue;
      std::shared_ptr<CBCharacteristic> characteristic;
      for (const auto& known : self.characteristicEntries_) {
        if (known.path == path) characteristic = known.characteristic;
      }
      if (!characteristic) {
        const auto flags = property<std::vector<std::string>>(properties, "Flags").value_or(std::vector<std::string>{});
        characteristic = std::make_shared<CBCharacteristic>(*uuid, propertiesFromFlags(flags), service);
        CharacteristicEntry entry;
        entry.path = path;
        entry.characteristic = characteristic;
        self.characteristicEntries_.push_back(std::move(entry));
      }
      list.push_back(characteristic);
      self.logMtu(path);
    }
    service->setCharacteristics(std::move(list));
    if (delegate) delegate->peripheral_didDiscoverCharacteristicsForService_error(me, service, std::nullopt);
  });
}

// The ATT MTU is not a property of the device; BlueZ gives it per
// characteristic (MTU) or with AcquireWrite. Without either, 23 is all that
// can be assumed.
void BluezPeripheral::logMtu(const std::string& path) {
  if (mtuLogged_) return;
  auto context = context_.lock();
  if (!context) return;
  if (auto mtu = property<std::int64_t>(context->tree().find(path, kCharacteristicInterface), "MTU")) {
    context->log("ATT MTU " + std::to_string(*mtu) + " (characteristic MTU property)");
    mtuLogged_ = true;
  }
}

// bluetoothd refuses a PDU longer than the ATT MTU; for a write without
// response nobody hears of it (the socket's refusal is ignored, and a
// WriteValue "command" has no reply), so callers must know the limit.
std::size_t BluezPeripheral::maximumWriteValueLengthForType(CBCharacteristicWriteType type) const {
  if (type == CBCharacteristicWriteWithResponse) return 512;
  std::size_t mtu = acquiredMtu_;
  if (auto context = context_.lock()) {
    for (const auto& entry : characteristicEntries_) {
      if (auto known = property<std::int64_t>(context->tree().find(entry.path, kCharacteristicInterface), "MTU")) {
        mtu = static_cast<std::size_t>(*known);
        break;
      }
    }
  }
  // Without either, the ATT minimum is all that is sure.
  if (mtu < 23) mtu = 23;
  return mtu - 3;
}

}  // namespace quillon::bluez
