// Writing one registry value the way both installation procedures do: open
// an existing key for setting values only, set the value, tell the user when
// that fails, close the key. A key that cannot be opened is skipped without
// a word, since on many systems it simply does not exist.
#pragma once

#include <cstdint>

#include "layer/system_layer.h"

namespace spoolrig {

// "错误：无法设置有关的注册表信息" (Error: unable to set the related registry
// information) in code page 936, the only message the procedures show.
inline constexpr char kRegistryErrorMessage[] =
    "\xb4\xed\xce\xf3\xa3\xba\xce\xde\xb7\xa8\xc9\xe8\xd6\xc3\xd3\xd0"
    "\xb9\xd8\xb5\xc4\xd7\xa2\xb2\xe1\xb1\xed\xd0\xc5\xcf\xa2";

// Opens `subKey` under `root` with KEY_SET_VALUE, writes `size` bytes of
// `data` as `valueName` of `type`, and closes the key. When the write fails
// it shows kRegistryErrorMessage (MB_OK | MB_ICONEXCLAMATION) and returns
// after the user dismissed it and the key is closed.
void writeRegistryValue(SystemLayer& system, RegistryRoot root, const char* subKey,
                        const char* valueName, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size);

}  // namespace spoolrig
