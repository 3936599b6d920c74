// Whether an InstallSettings value names existing catalogue rows. The dialog
// can only produce such values; the procedures check anyway so that a bad
// value ends them before they touch the system instead of reading past a
// table.
#pragma once

#include "logic/catalogue.h"
#include "logic/install_settings.h"

namespace spoolrig {

// The five serial rows are checked only for a serial port, the one case in
// which the procedures read them.
inline bool isWithinCatalogue(const InstallSettings& s) {
  auto within = [](int index, std::size_t size) {
    return index >= 0 && static_cast<std::size_t>(index) < size;
  };
  namespace mc = ModelCatalogue;
  if (!within(s.modelIndex, mc::models.size()) || !within(s.portIndex, mc::ports.size())) {
    return false;
  }
  if (!mc::isSerialPort(s.portIndex)) return true;
  return within(s.baudIndex, mc::baudRates.size()) &&
         within(s.byteSizeIndex, mc::byteSizes.size()) &&
         within(s.stopBitsIndex, mc::stopBits.size()) &&
         within(s.parityIndex, mc::parities.size()) &&
         within(s.flowIndex, mc::flowControls.size());
}

}  // namespace spoolrig
