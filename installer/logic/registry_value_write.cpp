#include "logic/registry_value_write.h"

namespace spoolrig {

void writeRegistryValue(SystemLayer& system, RegistryRoot root, const char* subKey,
                        const char* valueName, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) {
  RegistryKey key = RegistryKey::None;
  if (system.RegOpenKeyExA(root, subKey, 0, win::kKeySetValue, &key) != win::kErrorSuccess) {
    return;
  }
  if (system.RegSetValueExA(key, valueName, 0, type, data, size) != win::kErrorSuccess) {
    system.MessageBoxA(kRegistryErrorMessage, win::kMbOk | win::kMbIconExclamation);
  }
  system.RegCloseKey(key);
}

}  // namespace spoolrig
