// The app-facing wrapper of one received advertisement, handed to
// BLEManagerDelegate with each discovery. It copies the advertisement
// dictionary and offers its entries; the manager keeps no reference to it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/ble/advertisement_dictionary.h"

namespace quillon {

class BLEAdvertisementData {
 public:
  // A new wrapper around a copy of `dictionary`.
  static std::shared_ptr<BLEAdvertisementData> bleAdvertisementDatWithDictionary(
      const AdvertisementDictionary& dictionary);

  explicit BLEAdvertisementData(AdvertisementDictionary dictionary) : dictionary_(std::move(dictionary)) {}

  const std::optional<std::string>& localName() const { return dictionary_.localName; }
  const std::vector<CBUUID>& serviceUUIDs() const { return dictionary_.serviceUUIDs; }
  const std::optional<NSData>& manufacturerData() const { return dictionary_.manufacturerData; }
  const std::vector<std::pair<CBUUID, NSData>>& serviceData() const { return dictionary_.serviceData; }
  const std::optional<int>& txPowerLevel() const { return dictionary_.txPowerLevel; }
  bool isConnectable() const { return dictionary_.isConnectable; }
  const AdvertisementDictionary& dictionary() const { return dictionary_; }

 private:
  AdvertisementDictionary dictionary_;
};

}  // namespace quillon
