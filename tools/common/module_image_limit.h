// The largest image a module takes (--max-image), read the same way by both
// tools: quillon-ota gives it to the simulated module, quillon-module to the
// module it serves from a real adapter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillon/module/ota_module.h"

namespace quillon::tools {

// Applies one --max-image value (a whole number of bytes) to `config`.
// Returns an error message, or nothing when it was understood.
std::optional<std::string> apply_max_image(std::string_view bytes, OtaModuleConfig& config);

}  // namespace quillon::tools
