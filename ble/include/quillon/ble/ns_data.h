// Byte containers as the platform hands them over (Foundation's NSData):
// characteristic values, written values and advertisement payloads.
#pragma once

#include <cstdint>
#include <vector>

namespace quillon {

using NSData = std::vector<std::uint8_t>;

}  // namespace quillon
