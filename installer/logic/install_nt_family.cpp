// Installation on Windows NT 4 to 7: stage the Unidrv-based driver files from
// the medium's "win2k" folder into the spooler's driver directory, register
// driver and printer, write the default-printer value (only when the printer
// exists) and the serial-port value, remove the staged copies again (the
// spooler has taken its own by then), and tell the user when no printer of
// the model's name exists at the end.

#include <algorithm>
#include <cstring>
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

// The spooler adds a printer only when its driver is registered for the
// platform the spooler runs on, and takes a caller's own platform for it: the
// 32-bit program's "Windows NT x86". A 64-bit build of the same sources (run
// by the Wine tests on hosts without 32-bit support) therefore registers its
// driver for x64; every other step is the same.
#ifdef _WIN64
constexpr char kNtEnvironment[] = "Windows x64";
#else
constexpr char kNtEnvironment[] = "Windows NT x86";
#endif
constexpr std::uint32_t kNtDriverVersion = 3;

// The six files that every model shares, in staging order.
constexpr const char* kSharedFiles[] = {"UNIDRV.DLL", "UNIDRVUI.DLL", "UNIRES.DLL",
                                        "UNIDRV.HLP", "TTFSUB.GPD",   "STDNAMES.GPD"};

// The dependent files after the model's DLL, each with its NUL, and the NUL
// that closes the list (the literal's own terminator).
constexpr char kSharedDependentFiles[] =
    "TTFSUB.GPD\0STDNAMES.GPD\0uniDRVui.DLL\0uniDRV.DLL\0UNIRES.DLL\0";
static_assert(sizeof kSharedDependentFiles == 60);

constexpr std::size_t kLongestDriverDll = [] {
  std::size_t longest = 0;
  for (const ModelEntry& m : ModelCatalogue::models) {
    longest = std::max(longest, std::char_traits<char>::length(m.driverDll));
  }
  return longest;
}();

constexpr char kDefaultPrinterKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr char kPortsKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

void writeTextValue(SystemLayer& system, RegistryRoot root, const char* subKey,
                    const char* valueName, const std::string& text) {
  // The NUL is part of the stored value.
  writeRegistryValue(system, root, subKey, valueName, win::kRegSz,
                     reinterpret_cast<const std::uint8_t*>(text.c_str()),
                     static_cast<std::uint32_t>(text.size() + 1));
}

}  // namespace

void InstallNtFamily(SystemLayer& system, InstallSettings settings) {
  if (!ntSettingsWithinCatalogue(settings)) return;

  const std::optional<std::string> driverDirectory = printerDriverDirectory(system, kNtEnvironment);
  if (!driverDirectory) return;
  char dependentFiles[256] = {};

  const PortEntry& port = ModelCatalogue::ports[settings.portIndex];
  const ModelEntry& model = ModelCatalogue::models[settings.modelIndex];
  const std::string& directory = *driverDirectory;
  auto staged = [&](const char* name) { return directory + "\\" + name; };

  // Stale copies of the model's files from an earlier run.
  system.DeleteFileA(staged(model.driverDll).c_str());
  system.DeleteFileA(staged(model.gpdFile).c_str());

  std::string stagedNames[8] = {model.driverDll, model.gpdFile};
  for (std::size_t i = 0; i < std::size(kSharedFiles); ++i) stagedNames[i + 2] = kSharedFiles[i];
  for (const std::string& name : stagedNames) {
    const std::string source = "win2k\\" + name;
    system.CopyFileA(source.c_str(), staged(name.c_str()).c_str(), false);
  }

  const std::size_t dllLength = std::strlen(model.driverDll);
  static_assert(sizeof dependentFiles >= kLongestDriverDll + 1 + sizeof kSharedDependentFiles);
  std::memcpy(dependentFiles, model.driverDll, dllLength);
  std::memcpy(dependentFiles + dllLength + 1, kSharedDependentFiles, sizeof kSharedDependentFiles);
  const std::string dataFile = std::string("\\") + model.gpdFile;

  DriverInfo3 driver{};
  driver.cVersion = kNtDriverVersion;
  driver.pName = model.modelName;
  driver.pEnvironment = kNtEnvironment;
  driver.pDriverPath = "\\uniDRV.DLL";
  driver.pDataFile = dataFile.c_str();
  driver.pConfigFile = "\\uniDRVui.DLL";
  driver.pHelpFile = "\\uniDRV.HLP";
  driver.pDependentFiles = dependentFiles;
  driver.pMonitorName = "";
  driver.pDefaultDataType = "RAW";
  system.AddPrinterDriverA(nullptr, 3, driver);

  const PrinterInfo2 printer = localPrinterRecord(model, port);
  const PrinterHandle printerHandle = system.AddPrinterA(nullptr, 2, printer);
  const bool printerExists = printerExistsAfterAdding(system, printerHandle, model.modelName);

  // A default printer that nothing answers to would replace the user's
  // working one.
  if (settings.setDefault && printerExists) {
    const std::string device = std::string(model.modelName) + ",winspool," + port.portName;
    writeTextValue(system, RegistryRoot::CurrentUser, kDefaultPrinterKey, "Device", device);
  }

  if (ModelCatalogue::isSerialPort(settings.portIndex)) {
    // Baud rate, parity, data bits, stop bits, flow control: the order of the
    // platform's own port settings text, not the dialog's.
    const std::string line = std::string(ModelCatalogue::baudRates[settings.baudIndex].code) +
                             "," + ModelCatalogue::parities[settings.parityIndex].code + "," +
                             ModelCatalogue::byteSizes[settings.byteSizeIndex].code + "," +
                             ModelCatalogue::stopBits[settings.stopBitsIndex].code + "," +
                             ModelCatalogue::flowControls[settings.flowIndex].code;
    writeTextValue(system, RegistryRoot::LocalMachine, kPortsKey, port.portName, line);
  }

  // The spooler copied what it needs during AddPrinterDriverA; the driver
  // directory was only a staging area.
  for (const std::string& name : stagedNames) system.DeleteFileA(staged(name.c_str()).c_str());

  if (printerHandle != PrinterHandle::None) system.ClosePrinter(printerHandle);

  // Last, so that nothing stays staged while the message is up.
  if (!printerExists) reportPrinterNotInstalled(system);
}

}  // namespace spoolrig
