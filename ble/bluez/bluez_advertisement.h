// What a scan reports of a device, read from its Device1 properties: the
// advertisement dictionary the host sees, and whether the device passes
// the scan's service filter.
#pragma once

#include <string>
#include <vector>

#include "bluez_object_tree.h"
#include "quillon/ble/advertisement_dictionary.h"
#include "quillon/ble/cb_peripheral.h"

namespace quillon::bluez {

// A device's advertised UUIDs meet the scan's filter (absent: all).
bool passesFilter(const CBUUIDFilter& filter, const std::vector<std::string>& uuids);

// Name, UUIDs, the first ManufacturerData entry (company identifier first,
// little-endian, as the platform hands it over), ServiceData (short UUIDs
// where they have one) and TxPower.
AdvertisementDictionary advertisementFrom(const Properties& device);

}  // namespace quillon::bluez
