#include "quillon/ble/ns_uuid.h"

#include <algorithm>
#include <mutex>
#include <random>

#include "ble/hex_text.h"

namespace quillon {

std::optional<NSUUID> NSUUID::initWithUUIDString(std::string_view text) {
  auto bytes = hex_text::parseGroups(text);
  if (!bytes) return std::nullopt;
  Bytes value{};
  std::copy(bytes->begin(), bytes->end(), value.begin());
  return NSUUID(value);
}

NSUUID NSUUID::UUID() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  Bytes value{};
  {
    std::lock_guard lock(mutex);
    for (auto& byte : value) byte = static_cast<std::uint8_t>(engine());
  }
  value[6] = static_cast<std::uint8_t>((value[6] & 0x0F) | 0x40);  // version 4
  value[8] = static_cast<std::uint8_t>((value[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return NSUUID(value);
}

std::string NSUUID::UUIDString() const { return hex_text::formatGroups(bytes_.data()); }

}  // namespace quillon
