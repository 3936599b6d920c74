// The installer's fixed knowledge of the printer family and the serial line
// settings it can configure. Every table is indexed by the position of the
// matching list in the Detail Setting dialog, so a list position and a row
// number are the same thing; the lists show the rows' listText in row order.
#pragma once

#include <array>
#include <cstddef>

namespace spoolrig {

struct ModelEntry {
  const char* listText;   // 17 characters: name padded to 11, then "Series"
  const char* modelName;  // name of the registered driver and of the printer
  const char* driverDll;  // model's resource DLL (NT); + ".drv" is the 9x driver
  const char* gpdFile;    // model's GPD file, the NT driver's data file
};

struct PortEntry {
  const char* listText;
  const char* portName;  // spooler's port name, with the trailing colon
};

struct SerialOption {
  const char* listText;
  const char* code;  // token of the NT serial settings text
};

namespace ModelCatalogue {

inline constexpr std::array<ModelEntry, 7> models{{
    {"TPX-58     Series", "TPX-58", "TPX58.DLL", "TPX58.GPD"},
    {"TPX-58C    Series", "TPX-58C", "TPX58.DLL", "TPX58C.GPD"},
    {"TPX-80     Series", "TPX-80", "TPX80.DLL", "TPX80.GPD"},
    {"TPX-80C    Series", "TPX-80C", "TPX80.DLL", "TPX80C.GPD"},
    {"TPX-90     Series", "TPX-90", "TPX80.DLL", "TPX90.GPD"},
    {"TPX-76     Series", "TPX-76", "TPX76.DLL", "TPX76.GPD"},
    {"TPX-76C    Series", "TPX-76C", "TPX76.DLL", "TPX76C.GPD"},
}};

inline constexpr std::array<PortEntry, 7> ports{{
    {"LPT1", "LPT1:"}, {"LPT2", "LPT2:"}, {"LPT3", "LPT3:"},
    {"COM1", "COM1:"}, {"COM2", "COM2:"}, {"COM3", "COM3:"}, {"COM4", "COM4:"},
}};

// A port row is serial exactly when its row number is at least this.
inline constexpr int firstSerialPortIndex = 3;

inline constexpr std::array<SerialOption, 9> baudRates{{
    {"300", "300"}, {"1200", "1200"}, {"2400", "2400"}, {"4800", "4800"},
    {"9600", "9600"}, {"19200", "19200"}, {"38400", "38400"},
    {"57600", "57600"}, {"115200", "115200"},
}};

inline constexpr std::array<SerialOption, 4> byteSizes{{
    {"5", "5"}, {"6", "6"}, {"7", "7"}, {"8", "8"},
}};

inline constexpr std::array<SerialOption, 3> stopBits{{
    {"1", "1"}, {"1.5", "1.5"}, {"2", "2"},
}};

inline constexpr std::array<SerialOption, 5> parities{{
    {"Even", "e"}, {"Mark", "m"}, {"None", "n"}, {"Odd", "o"}, {"Space", "s"},
}};

// Row 0's code is one blank, not an empty text: the NT settings text then
// ends in ", ".
inline constexpr std::array<SerialOption, 3> flowControls{{
    {"None", " "}, {"XonXoff", "x"}, {"Hardware", "p"},
}};

inline constexpr bool isSerialPort(int portIndex) { return portIndex >= firstSerialPortIndex; }

}  // namespace ModelCatalogue
}  // namespace spoolrig
