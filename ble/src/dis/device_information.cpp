#include "quillon/dis/device_information.h"

#include <cstdio>

namespace quillon {
namespace {

struct FieldEntry {
  DeviceInformationField field;
  std::uint16_t uuid;
  const char* name;
};

constexpr FieldEntry kFieldEntries[] = {
    {DeviceInformationField::ManufacturerName, 0x2A29, "manufacturer name"},
    {DeviceInformationField::ModelNumber, 0x2A24, "model number"},
    {DeviceInformationField::SerialNumber, 0x2A25, "serial number"},
    {DeviceInformationField::HardwareRevision, 0x2A27, "hardware revision"},
    {DeviceInformationField::FirmwareRevision, 0x2A26, "firmware revision"},
    {DeviceInformationField::SoftwareRevision, 0x2A28, "software revision"},
};

const FieldEntry& entryOf(DeviceInformationField field) {
  for (const auto& entry : kFieldEntries) {
    if (entry.field == field) return entry;
  }
  return kFieldEntries[0];
}

// The length of the UTF-8 character at `at` when it is valid and not a
// control character (C0, DEL, C1); 0 otherwise.
std::size_t printableCharLength(const NSData& bytes, std::size_t at) {
  const auto lead = bytes[at];
  if (lead < 0x20 || lead == 0x7F) return 0;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  if (bytes[at + 1] < low || bytes[at + 1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((bytes[at + i] & 0xC0) != 0x80) return 0;
  }
  if (lead == 0xC2 && bytes[at + 1] < 0xA0) return 0;  // C1 controls
  return length;
}

}  // namespace

CBUUID characteristicUUIDOf(DeviceInformationField field) { return CBUUID::fromShort(entryOf(field).uuid); }

std::optional<DeviceInformationField> deviceInformationFieldOf(const CBUUID& characteristic) {
  for (const auto& entry : kFieldEntries) {
    if (CBUUID::fromShort(entry.uuid) == characteristic) return entry.field;
  }
  return std::nullopt;
}

const char* deviceInformationFieldName(DeviceInformationField field) { return entryOf(field).name; }

DeviceInformationText::DeviceInformationText(NSData bytes) : bytes_(std::move(bytes)) {
  std::string escaped;
  for (std::size_t at = 0; at < bytes_.size();) {
    const std::size_t length = printableCharLength(bytes_, at);
    if (length == 0) {
      plain_ = false;
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02X", bytes_[at]);
      escaped += code;
      ++at;
      continue;
    }
    if (bytes_[at] == '\\') escaped += '\\';
    escaped.append(bytes_.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes_.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  text_ = plain_ ? std::string(bytes_.begin(), bytes_.end()) : std::move(escaped);
}

}  // namespace quillon
