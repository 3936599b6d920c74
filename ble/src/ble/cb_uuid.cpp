#include "quillon/ble/cb_uuid.h"

#include <algorithm>

#include "ble/hex_text.h"

namespace quillon {
namespace {

// 0000xxxx-0000-1000-8000-00805F9B34FB: the base that short forms expand over.
constexpr std::uint8_t kBluetoothBase[16] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

// A 128-bit UUID on the Bluetooth base is kept as its short form (16-bit
// when its top two bytes are zero, else 32-bit), so that "0000FF11-0000-
// 1000-8000-00805F9B34FB", as Linux's stack reports it, reads back "FF11".
std::vector<std::uint8_t> shortened(std::vector<std::uint8_t> bytes) {
  if (bytes.size() != 16 || !std::equal(bytes.begin() + 4, bytes.end(), kBluetoothBase + 4)) return bytes;
  if (bytes[0] == 0 && bytes[1] == 0) return {bytes[2], bytes[3]};
  return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

}  // namespace

std::optional<CBUUID> CBUUID::UUIDWithString(std::string_view text) {
  std::optional<std::vector<std::uint8_t>> bytes;
  if (text.size() == 4 || text.size() == 8) {
    bytes = hex_text::parse(text);
  } else {
    bytes = hex_text::parseGroups(text);
  }
  if (!bytes) return std::nullopt;
  return CBUUID(shortened(std::move(*bytes)));
}

CBUUID CBUUID::fromShort(std::uint16_t value) {
  return CBUUID({static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)});
}

std::string CBUUID::UUIDString() const {
  if (data_.size() == 16) return hex_text::formatGroups(data_.data());
  return hex_text::format(data_.data(), data_.size());
}

std::string CBUUID::fullUUIDString() const { return hex_text::formatGroups(full().data()); }

std::vector<std::uint8_t> CBUUID::full() const {
  if (data_.size() == 16) return data_;
  std::vector<std::uint8_t> expanded(std::begin(kBluetoothBase), std::end(kBluetoothBase));
  std::copy(data_.begin(), data_.end(), expanded.begin() + static_cast<long>(4 - data_.size()));
  return expanded;
}

bool operator==(const CBUUID& a, const CBUUID& b) { return a.full() == b.full(); }

}  // namespace quillon
