// The contents of one received advertisement, as the central hands it to
// its delegate (CoreBluetooth's advertisement dictionary, with one field per
// CBAdvertisementData...Key that this library knows; absent keys stay empty).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillon/ble/cb_uuid.h"
#include "quillon/ble/ns_data.h"

namespace quillon {

struct AdvertisementDictionary {
  std::optional<std::string> localName;          // CBAdvertisementDataLocalNameKey
  std::vector<CBUUID> serviceUUIDs;              // CBAdvertisementDataServiceUUIDsKey
  std::optional<NSData> manufacturerData;        // CBAdvertisementDataManufacturerDataKey
  // CBAdvertisementDataServiceDataKey: data a module advertises for a service,
  // keyed by the service's UUID (short forms as the platform shows them).
  std::vector<std::pair<CBUUID, NSData>> serviceData;
  std::optional<int> txPowerLevel;               // CBAdvertisementDataTxPowerLevelKey
  bool isConnectable = true;                     // CBAdvertisementDataIsConnectable
};

}  // namespace quillon
