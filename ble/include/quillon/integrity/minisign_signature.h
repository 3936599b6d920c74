// A minisign signature file (.minisig), read but not yet checked:
//   untrusted comment: <anything>
//   <base64 of "ED" or "Ed", the signer's key ID, the Ed25519 signature>
//   trusted comment: <text the signer vouches for>
//   <base64 of the Ed25519 signature of signature || trusted comment>
// "ED" signs the BLAKE2b-512 digest of the file (prehashed, minisign's
// default); "Ed" signs the file itself (legacy, `minisign -l`). A signature
// made by signify-openbsd has only the first two lines, and is legacy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "quillon/integrity/minisign_public_key.h"

namespace quillon {

struct MinisignSignature {
  bool prehashed = true;
  MinisignKeyId key_id;
  std::array<std::uint8_t, 64> signature{};
  // Both absent in a signify signature.
  std::optional<std::string> trusted_comment;
  std::optional<std::array<std::uint8_t, 64>> global_signature;
};

// The largest signature file taken: minisign's own limit on a trusted
// comment (8 KiB) and room for the other lines.
inline constexpr std::size_t kMaxMinisignSignatureBytes = 16 * 1024;

// The signature in `text`, or why it is not one ("truncated: ...",
// "the signature line is not base64", ...).
std::variant<MinisignSignature, std::string> parse_minisign_signature(std::string_view text);

}  // namespace quillon
