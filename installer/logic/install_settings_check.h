// Whether an InstallSettings value names existing catalogue rows. The dialog
// can only produce such values; the procedures check anyway so that a bad
// value ends them before they touch the system instead of reading past a
// table.
#pragma once

#include "logic/catalogue.h"
#include "logic/install_settings.h"

namespace spoolrig {

inline bool isRowOf(int index, std::size_t rows) {
  return index >= 0 && static_cast<std::size_t>(index) < rows;
}

// The rows the NT family looks up. The five serial rows are checked only for
// a serial port, the one case in which they are read.
inline bool ntSettingsWithinCatalogue(const InstallSettings& s) {
  namespace mc = ModelCatalogue;
  if (!isRowOf(s.modelIndex, mc::models.size()) || !isRowOf(s.portIndex, mc::ports.size())) {
    return false;
  }
  if (!mc::isSerialPort(s.portIndex)) return true;
  return isRowOf(s.baudIndex, mc::baudRates.size()) &&
         isRowOf(s.byteSizeIndex, mc::byteSizes.size()) &&
         isRowOf(s.stopBitsIndex, mc::stopBits.size()) &&
         isRowOf(s.parityIndex, mc::parities.size()) &&
         isRowOf(s.flowIndex, mc::flowControls.size());
}

// The rows the 9x family looks up: any flow row beyond XonXoff means
// hardware flow control, so the flow row is never looked up.
inline bool win9xSettingsWithinCatalogue(const InstallSettings& s) {
  namespace mc = ModelCatalogue;
  if (!isRowOf(s.modelIndex, mc::models.size()) || !isRowOf(s.portIndex, mc::ports.size())) {
    return false;
  }
  if (!mc::isSerialPort(s.portIndex)) return true;
  return isRowOf(s.baudIndex, mc::baudRates.size()) &&
         isRowOf(s.byteSizeIndex, mc::byteSizes.size()) &&
         isRowOf(s.stopBitsIndex, mc::stopBits.size()) &&
         isRowOf(s.parityIndex, mc::parities.size());
}

}  // namespace spoolrig
