// The manager's state from what the bus shows: org.bluez absent from the
// start is Unsupported (no Bluetooth stack), gone after it was seen is
// PoweredOff (a restart, a crash); the adapter missing is Unsupported; the
// adapter's Powered property is PoweredOn or PoweredOff.
#pragma once

#include "bluez_object_tree.h"
#include "quillon/ble/cb_central_manager.h"

namespace quillon::bluez {

CBManagerState managerState(bool bluezPresent, bool bluezEverSeen, const Properties* adapter);

}  // namespace quillon::bluez
