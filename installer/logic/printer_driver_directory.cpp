#include "logic/printer_driver_directory.h"

#include <cstdint>

#include "layer/system_layer.h"

namespace spoolrig {

std::optional<std::string> printerDriverDirectory(SystemLayer& system, const char* environment) {
  char directory[255] = {};
  std::uint32_t needed = 0;
  const bool ok = system.GetPrinterDriverDirectoryA(nullptr, environment, 1, directory,
                                                    sizeof directory, &needed);
  directory[sizeof directory - 1] = '\0';
  if (!ok || directory[0] == '\0') return std::nullopt;
  return std::string(directory);
}

}  // namespace spoolrig
