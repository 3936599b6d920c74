// Readable words for a characteristic's property bits, for display.
#pragma once

#include <string>

#include "quillon/ble/cb_characteristic.h"

namespace quillon {

// The words of the set bits joined by bare commas, in a fixed order (the
// encryption-required words before "Authenticated Signed Writes" and
// "Extended Properties"); unknown bits are ignored; no bits give "".
std::string characteristicPropertyString(CBCharacteristicProperties properties);

}  // namespace quillon
