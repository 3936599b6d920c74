// The 8-bit additive checksum that ends every OTA packet in either direction:
// the plain sum of the bytes modulo 256, no seed, no complement.
#pragma once

#include <cstdint>
#include <span>

namespace quillon {

// Sum of the `length` bytes at `data`, taken as unsigned, modulo 256.
// A length of 0 or less gives 0 and reads nothing.
std::uint8_t calc_sum(const std::uint8_t* data, std::int64_t length);

inline std::uint8_t calc_sum(std::span<const std::uint8_t> bytes) {
  return calc_sum(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

}  // namespace quillon
