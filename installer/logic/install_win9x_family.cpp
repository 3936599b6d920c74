// Installation on Windows 95, 98 and Me: copy the model's 9x driver and the
// shared Unidrv files from the top of the medium into the driver directory,
// where they stay, register driver and printer (the default flag travels in
// the printer record), for COM1 or COM2 store the line settings as a raw DCB
// under that port's class key, and tell the user when no printer of the
// model's name exists at the end.

#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "layer/system_layer.h"
#include "logic/catalogue.h"
#include "logic/install_procedures.h"
#include "logic/install_settings_check.h"
#include "logic/local_printer_record.h"
#include "logic/printer_driver_directory.h"
#include "logic/printer_install_outcome.h"
#include "logic/registry_value_write.h"

namespace spoolrig {

namespace {

constexpr char kWin9xEnvironment[] = "Windows 4.0";
constexpr std::uint32_t kWin9xDriverVersion = 0;

// The low 16 bits of the DCB flag word per flow-control row:
// bit 0 fBinary, bit 2 fOutxCtsFlow, bits 4-5 fDtrControl (1 = enable),
// bit 8 fOutX, bit 9 fInX, bits 12-13 fRtsControl (2 = handshake).
constexpr std::uint32_t kFlowNoneFlags = 0x0011;
constexpr std::uint32_t kFlowXonXoffFlags = 0x0311;
constexpr std::uint32_t kFlowHardwareFlags = 0x2015;

std::uint32_t lowFlagsForFlow(int flowIndex) {
  switch (flowIndex) {
    case 0: return kFlowNoneFlags;
    case 1: return kFlowXonXoffFlags;
    default: return kFlowHardwareFlags;
  }
}

// Bit 1 of the DCB flag word: fParity, parity checking on.
constexpr std::uint32_t kParityCheckFlag = 0x0002;

// The DCB Parity value per row of the parity list (Even, Mark, None, Odd,
// Space): NOPARITY 0, ODDPARITY 1, EVENPARITY 2, MARKPARITY 3, SPACEPARITY 4.
constexpr std::uint8_t kDcbParity[] = {2, 3, 0, 1, 4};
static_assert(std::size(kDcbParity) == ModelCatalogue::parities.size());
constexpr int kNoParityRow = 2;

// The DCB StopBits value per row of the stop-bits list (1, 1.5, 2):
// ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2.
constexpr std::uint8_t kDcbStopBits[] = {0, 1, 2};
static_assert(std::size(kDcbStopBits) == ModelCatalogue::stopBits.size());

// The class key that holds a port's DCB. Only COM1 (key 0000) and COM2
// (key 0001) have a key whose owner is known; COM3 and COM4 get none rather
// than overwrite another port's record.
const char* portClassKey(int portIndex) {
  switch (portIndex - ModelCatalogue::firstSerialPortIndex) {
    case 0: return "System\\CurrentControlSet\\Services\\Class\\Ports\\0000";
    case 1: return "System\\CurrentControlSet\\Services\\Class\\Ports\\0001";
    default: return nullptr;
  }
}

void storeSerialSettings(SystemLayer& system, const InstallSettings& settings) {
  const char* key = portClassKey(settings.portIndex);
  if (key == nullptr) return;  // no record of its own: COM1 is not even opened
  // The record starts as COM1's current state whichever port was chosen;
  // the fields not replaced below keep COM1's values.
  const FileHandle comPort =
      system.CreateFileA("COM1", win::kGenericRead | win::kGenericWrite, 0, nullptr,
                         win::kOpenExisting, 0, FileHandle::None);
  if (comPort == kInvalidFileHandle) return;  // no state to start from: write nothing
  Dcb dcb{};
  if (system.GetCommState(comPort, &dcb)) {
    dcb.BaudRate = static_cast<std::uint32_t>(
        system.StrToIntA(ModelCatalogue::baudRates[settings.baudIndex].code));
    dcb.ByteSize = static_cast<std::uint8_t>(
        system.StrToIntA(ModelCatalogue::byteSizes[settings.byteSizeIndex].code));
    dcb.Parity = kDcbParity[settings.parityIndex];
    dcb.StopBits = kDcbStopBits[settings.stopBitsIndex];
    dcb.flags = (dcb.flags & 0xFFFF0000u) | lowFlagsForFlow(settings.flowIndex) |
                (settings.parityIndex != kNoParityRow ? kParityCheckFlag : 0);

    std::uint8_t bytes[kDcbSize];
    std::memcpy(bytes, &dcb, kDcbSize);
    writeRegistryValue(system, RegistryRoot::LocalMachine, key, "DCB", win::kRegBinary, bytes,
                       kDcbSize);
  }
  system.CloseHandle(comPort);
}

}  // namespace

void InstallWin9xFamily(SystemLayer& system, InstallSettings settings) {
  if (!win9xSettingsWithinCatalogue(settings)) return;

  const std::optional<std::string> driverDirectory = printerDriverDirectory(system, nullptr);
  if (!driverDirectory) return;

  const PortEntry& port = ModelCatalogue::ports[settings.portIndex];
  const ModelEntry& model = ModelCatalogue::models[settings.modelIndex];
  const std::string& directory = *driverDirectory;
  auto inDirectory = [&](const std::string& name) { return directory + "\\" + name; };

  // The whole DLL name, extension included, precedes ".drv": TPX58.DLL.drv.
  const std::string driverFile = std::string(model.driverDll) + ".drv";

  system.CopyFileA(driverFile.c_str(), inDirectory(driverFile).c_str(), false);
  system.CopyFileA("iconlib.dll", inDirectory("iconlib.dll").c_str(), false);
  // An installed unidrv.dll may be newer than the medium's; never replace it.
  const std::string unidrv = inDirectory("unidrv.dll");
  const FindHandle found = system.FindFirstFileA(unidrv.c_str());
  if (found == kInvalidFindHandle) {
    system.CopyFileA("unidrv.dll", unidrv.c_str(), false);
  } else {
    system.FindClose(found);
  }
  system.CopyFileA("unidrv.hlp", inDirectory("unidrv.HLP").c_str(), false);

  DriverInfo3 driver{};
  driver.cVersion = kWin9xDriverVersion;
  driver.pName = model.modelName;
  driver.pEnvironment = kWin9xEnvironment;
  driver.pDriverPath = driverFile.c_str();
  driver.pDataFile = driverFile.c_str();
  driver.pConfigFile = driverFile.c_str();
  driver.pHelpFile = "UNIDRV.HLP";
  driver.pDependentFiles = "";
  driver.pMonitorName = "";
  driver.pDefaultDataType = "RAW";
  system.AddPrinterDriverA(nullptr, 3, driver);

  PrinterInfo2 printer = localPrinterRecord(model, port);
  printer.Attributes = settings.setDefault ? win::kPrinterAttributeDefault : 0;
  const PrinterHandle printerHandle = system.AddPrinterA(nullptr, 2, printer);
  const bool printerExists = printerExistsAfterAdding(system, printerHandle, model.modelName);
  if (printerHandle != PrinterHandle::None) system.ClosePrinter(printerHandle);

  if (ModelCatalogue::isSerialPort(settings.portIndex)) storeSerialSettings(system, settings);

  if (!printerExists) reportPrinterNotInstalled(system);
}

}  // namespace spoolrig
