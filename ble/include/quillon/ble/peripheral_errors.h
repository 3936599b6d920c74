// What every backend's peripheral reports alike: the errors of operations
// that cannot run, and which UUIDs a discovery filter lets through.
#pragma once

#include <algorithm>

#include "quillon/ble/cb_peripheral.h"
#include "quillon/ble/ns_error.h"

namespace quillon {

inline NSError notConnectedError() {
  return NSError{CBErrorDomain, CBErrorNotConnected, "The device is not connected."};
}

// A characteristic discovery that cannot run: the peripheral is not
// connected, or (when it is) the service is not one of this device's.
inline NSError characteristicDiscoveryError(bool connected) {
  return connected ? NSError{CBErrorDomain, CBErrorInvalidParameters, "The service is not on this device."}
                   : notConnectedError();
}

// Absent filter: every UUID passes.
inline bool passesFilter(const CBUUIDFilter& filter, const CBUUID& uuid) {
  return !filter || std::find(filter->begin(), filter->end(), uuid) != filter->end();
}

}  // namespace quillon
