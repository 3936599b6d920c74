#include "bluez_advertisement.h"

#include <algorithm>

namespace quillon::bluez {

bool passesFilter(const CBUUIDFilter& filter, const std::vector<std::string>& uuids) {
  if (!filter) return true;
  for (const auto& text : uuids) {
    auto uuid = CBUUID::UUIDWithString(text);
    if (uuid && std::find(filter->begin(), filter->end(), *uuid) != filter->end()) return true;
  }
  return false;
}

AdvertisementDictionary advertisementFrom(const Properties& device) {
  AdvertisementDictionary advertisement;
  const auto uuids = property<std::vector<std::string>>(&device, "UUIDs").value_or(std::vector<std::string>{});
  advertisement.localName = property<std::string>(&device, "Name");
  for (const auto& text : uuids) {
    if (auto uuid = CBUUID::UUIDWithString(text)) advertisement.serviceUUIDs.push_back(*uuid);
  }
  // As the platform hands it over: the company identifier (little-endian), then the data.
  if (auto makers = property<std::map<std::uint16_t, Bytes>>(&device, "ManufacturerData"); makers && !makers->empty()) {
    const auto& [company, bytes] = *makers->begin();
    NSData data{static_cast<std::uint8_t>(company & 0xFF), static_cast<std::uint8_t>(company >> 8)};
    data.insert(data.end(), bytes.begin(), bytes.end());
    advertisement.manufacturerData = std::move(data);
  }
  // Keyed by 128-bit UUID strings; CBUUID gives them their short forms.
  if (auto services = property<std::map<std::string, Bytes>>(&device, "ServiceData")) {
    for (const auto& [text, bytes] : *services) {
      if (auto uuid = CBUUID::UUIDWithString(text)) advertisement.serviceData.emplace_back(*uuid, bytes);
    }
  }
  if (auto tx = property<std::int64_t>(&device, "TxPower")) advertisement.txPowerLevel = static_cast<int>(*tx);
  return advertisement;
}

}  // namespace quillon::bluez
