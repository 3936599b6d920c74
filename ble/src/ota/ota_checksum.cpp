#include "quillon/ota/ota_checksum.h"

namespace quillon {

std::uint8_t calc_sum(const std::uint8_t* data, std::int64_t length) {
  std::uint8_t sum = 0;
  for (std::int64_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
  return sum;
}

}  // namespace quillon
