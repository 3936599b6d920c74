// The Device Information service (180A) as a module offers it: which
// characteristics carry which string, and a value as the library hands it
// to apps. A module's strings come from the module itself and may be
// anything (no terminator, a NUL, invalid UTF-8, escape sequences), so a
// value keeps its exact bytes and also offers a form that is always safe
// to print on a terminal or to put into a JSON document.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "quillon/ble/cb_uuid.h"
#include "quillon/ble/ns_data.h"

namespace quillon {

inline const CBUUID kDeviceInformationServiceUUID = CBUUID::fromShort(0x180A);

// The string characteristics of the service that the library reads.
enum class DeviceInformationField {
  ManufacturerName,  // 2A29
  ModelNumber,       // 2A24
  SerialNumber,      // 2A25
  HardwareRevision,  // 2A27
  FirmwareRevision,  // 2A26
  SoftwareRevision,  // 2A28
};

inline constexpr std::array<DeviceInformationField, 6> kDeviceInformationFields{
    DeviceInformationField::ManufacturerName, DeviceInformationField::ModelNumber,
    DeviceInformationField::SerialNumber,     DeviceInformationField::HardwareRevision,
    DeviceInformationField::FirmwareRevision, DeviceInformationField::SoftwareRevision};

// The characteristic that carries `field`.
CBUUID characteristicUUIDOf(DeviceInformationField field);
// The field a characteristic carries; absent for any other UUID.
std::optional<DeviceInformationField> deviceInformationFieldOf(const CBUUID& characteristic);
// The field's name for people, in lower case ("firmware revision").
const char* deviceInformationFieldName(DeviceInformationField field);

// One string a module reported.
class DeviceInformationText {
 public:
  explicit DeviceInformationText(NSData bytes);

  // Exactly what the module sent.
  const NSData& bytes() const { return bytes_; }
  // True when the bytes are UTF-8 without control characters; text() is
  // then exactly the bytes.
  bool plain() const { return plain_; }
  // The value to show: the bytes themselves when plain(), else each control
  // character, byte that is not part of valid UTF-8 and backslash shown as
  // \xNN (a backslash as \\). Always valid UTF-8 with no control character.
  const std::string& text() const { return text_; }

  friend bool operator==(const DeviceInformationText& a, const DeviceInformationText& b) { return a.bytes_ == b.bytes_; }

 private:
  NSData bytes_;
  bool plain_ = true;
  std::string text_;
};

}  // namespace quillon
