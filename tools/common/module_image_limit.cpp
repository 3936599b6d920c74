#include "module_image_limit.h"

#include <cstdint>
#include <limits>

#include "command_line.h"

namespace quillon::tools {

std::optional<std::string> apply_max_image(std::string_view bytes, OtaModuleConfig& config) {
  const auto n = parse_count(bytes, 0, std::numeric_limits<std::uint32_t>::max());
  if (!n) return "--max-image must be a whole number of bytes from 0 to 4294967295, not '" + std::string(bytes) + "'";
  config.max_image_length = static_cast<std::uint32_t>(*n);
  return std::nullopt;
}

}  // namespace quillon::tools
