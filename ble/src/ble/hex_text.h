// Hexadecimal digits in the UUID texts of NSUUID and CBUUID.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::hex_text {

// Parses pairs of hexadecimal digits (either case); empty when any
// character is not a digit or the count is odd.
std::optional<std::vector<std::uint8_t>> parse(std::string_view digits);
// Upper-case digits, two per byte.
std::string format(const std::uint8_t* bytes, std::size_t count);

// Parses the 36-character 8-4-4-4-12 form into 16 bytes.
std::optional<std::vector<std::uint8_t>> parseGroups(std::string_view text);
// Formats 16 bytes in the 8-4-4-4-12 form, upper-case.
std::string formatGroups(const std::uint8_t* bytes16);

}  // namespace quillon::hex_text
