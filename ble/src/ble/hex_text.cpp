#include "ble/hex_text.h"

namespace quillon::hex_text {
namespace {

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> parse(std::string_view digits) {
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int hi = digitValue(digits[i]);
    const int lo = digitValue(digits[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return bytes;
}

std::string format(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> parseGroups(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphenPlace != (text[i] == '-')) return std::nullopt;
    if (!hyphenPlace) digits.push_back(text[i]);
  }
  return parse(digits);
}

std::string formatGroups(const std::uint8_t* bytes16) {
  return format(bytes16, 4) + "-" + format(bytes16 + 4, 2) + "-" + format(bytes16 + 6, 2) + "-" +
         format(bytes16 + 8, 2) + "-" + format(bytes16 + 10, 6);
}

}  // namespace quillon::hex_text
