// The platform's 128-bit identifier (Foundation's NSUUID): how a peripheral
// is known to the system from one run to the next.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

class NSUUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // The all-zero identifier.
  NSUUID() = default;
  explicit NSUUID(const Bytes& bytes) : bytes_(bytes) {}

  // Parses 8-4-4-4-12 hexadecimal groups joined by hyphens, either case.
  // Any other text gives an empty result (the platform's nil).
  static std::optional<NSUUID> initWithUUIDString(std::string_view text);
  // A new random (version 4) identifier. Thread-safe.
  static NSUUID UUID();

  // 36 characters, upper-case hexadecimal, 8-4-4-4-12.
  std::string UUIDString() const;
  const Bytes& bytes() const { return bytes_; }

  friend auto operator<=>(const NSUUID&, const NSUUID&) = default;

 private:
  Bytes bytes_{};
};

}  // namespace quillon
