// A GATT attribute's UUID (CoreBluetooth's CBUUID): 16-bit and 32-bit
// Bluetooth SIG short forms or a full 128-bit UUID. Services and
// characteristics are matched and named by it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class CBUUID {
 public:
  // Parses 4 or 8 hexadecimal digits (short forms) or the 36-character
  // 8-4-4-4-12 form, either case. A full UUID on the Bluetooth base is
  // kept as its short form. Anything else gives an empty result: where the
  // platform would raise an exception, callers decide.
  static std::optional<CBUUID> UUIDWithString(std::string_view text);
  // A 16-bit SIG UUID such as 0xFF00.
  static CBUUID fromShort(std::uint16_t value);

  // Four upper-case hexadecimal digits for a 16-bit UUID, eight for a
  // 32-bit one, 36 upper-case characters (8-4-4-4-12) for a 128-bit one.
  // fullUUIDString: always the 36-character form (what BlueZ names).
  std::string UUIDString() const;
  std::string fullUUIDString() const;
  // The stored bytes, big-endian: 2, 4 or 16 of them.
  const std::vector<std::uint8_t>& data() const { return data_; }

  // Equal when both denote the same 128-bit UUID, so a short form equals
  // its expansion over the Bluetooth base UUID.
  friend bool operator==(const CBUUID& a, const CBUUID& b);

 private:
  explicit CBUUID(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
  std::vector<std::uint8_t> full() const;

  std::vector<std::uint8_t> data_;
};

}  // namespace quillon
