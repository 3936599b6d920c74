// The choices of one installation, as rows of the catalogue's tables.
// The Detail Setting dialog fills one when OK is clicked and hands it, by
// value, to the installation procedure of the detected Windows family.
#pragma once

namespace spoolrig {

struct InstallSettings {
  int modelIndex = 0;     // row of ModelCatalogue::models
  bool setDefault = false;
  int portIndex = 0;      // row of ModelCatalogue::ports; serial from firstSerialPortIndex on
  int baudIndex = 0;      // the five serial rows count only for a serial port
  int byteSizeIndex = 0;
  int stopBitsIndex = 0;
  int parityIndex = 0;
  int flowIndex = 0;
};

}  // namespace spoolrig
