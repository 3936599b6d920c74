// Strict base64 for the lines of minisign key and signature files: the
// standard alphabet with "=" padding, nothing else on the line. Decoding is
// OpenSSL's; the strictness (no blanks, no line breaks, exact padding) is
// ours, because OpenSSL's decoder skips blanks and counts pad bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quillon {

// The bytes `text` encodes; nothing when it is empty, holds other
// characters, or is not a whole number of padded 4-character groups.
std::optional<std::vector<std::uint8_t>> decode_minisign_base64(std::string_view text);

}  // namespace quillon
