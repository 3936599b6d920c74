// A GATT characteristic as the central sees it (CoreBluetooth's
// CBCharacteristic): UUID, property bits and the last value read or
// notified. The platform backend fills it in; apps and handlers read it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "quillon/ble/cb_uuid.h"
#include "quillon/ble/ns_data.h"

namespace quillon {

class CBService;

// The property bit set of a characteristic (CBCharacteristicProperties).
using CBCharacteristicProperties = std::uint64_t;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyBroadcast = 0x01;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyRead = 0x02;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyWriteWithoutResponse = 0x04;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyWrite = 0x08;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyNotify = 0x10;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyIndicate = 0x20;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyAuthenticatedSignedWrites = 0x40;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyExtendedProperties = 0x80;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyNotifyEncryptionRequired = 0x100;
inline constexpr CBCharacteristicProperties CBCharacteristicPropertyIndicateEncryptionRequired = 0x200;

enum CBCharacteristicWriteType : long {
  CBCharacteristicWriteWithResponse = 0,
  CBCharacteristicWriteWithoutResponse = 1,
};

class CBCharacteristic {
 public:
  CBCharacteristic(CBUUID uuid, CBCharacteristicProperties properties,
                   std::weak_ptr<CBService> service = {})
      : uuid_(std::move(uuid)), properties_(properties), service_(std::move(service)) {}

  const CBUUID& UUID() const { return uuid_; }
  CBCharacteristicProperties properties() const { return properties_; }
  // The last value read or notified; absent until one arrived.
  const std::optional<NSData>& value() const { return value_; }
  bool isNotifying() const { return notifying_; }
  // The service this characteristic belongs to; empty once it is gone.
  std::shared_ptr<CBService> service() const { return service_.lock(); }

  // For platform backends: record what the peripheral reported.
  void setValue(std::optional<NSData> value) { value_ = std::move(value); }
  void setNotifying(bool notifying) { notifying_ = notifying; }

 private:
  CBUUID uuid_;
  CBCharacteristicProperties properties_;
  std::optional<NSData> value_;
  bool notifying_ = false;
  std::weak_ptr<CBService> service_;
};

}  // namespace quillon
