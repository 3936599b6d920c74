#include "quillon/ota/ota_checksum.h"

#include <cstring>

namespace quillon {

std::uint8_t calc_sum(const std::uint8_t* data, std::int64_t length) {
  // Eight bytes at a time: the even and the odd bytes of each word are added
  // into four 16-bit lanes each, which cannot carry into one another for
  // 128 words (128 × 2 × 255 < 65536); only the lanes' low bytes matter in
  // the end, as the sum is taken modulo 256.
  constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
  std::uint64_t total = 0;
  std::int64_t i = 0;
  while (length - i >= 8) {
    std::uint64_t lanes = 0;
    for (int words = 0; words < 128 && length - i >= 8; ++words, i += 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
    }
    for (int lane = 0; lane < 4; ++lane) total += (lanes >> (16 * lane)) & 0xFFFF;
  }
  for (; i < length; ++i) total += data[i];
  return static_cast<std::uint8_t>(total);
}

}  // namespace quillon
