// A minisign public key, the kind that signs firmware images: as a key file
// ("untrusted comment: ..." then the key line) or as the key line alone,
// the base64 text that `minisign -P` takes. signify-openbsd writes the same
// format, so its keys are read too.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quillon {

// The 8 bytes that tie a signature to the key that made it.
struct MinisignKeyId {
  std::array<std::uint8_t, 8> bytes{};

  // The bytes read as a little-endian number, as minisign takes them.
  std::uint64_t number() const;
  // As minisign prints it ("minisign public key 3E61B7E51877E704"): that
  // number in upper-case hex, without leading zeros.
  std::string hex() const;

  friend bool operator==(const MinisignKeyId&, const MinisignKeyId&) = default;
};

struct MinisignPublicKey {
  MinisignKeyId key_id;
  std::array<std::uint8_t, 32> ed25519{};

  friend bool operator==(const MinisignPublicKey&, const MinisignPublicKey&) = default;
};

// Why a text is not a public key. A public key file carries no checksum of
// its own; what it can carry is the key ID in its comment, and a comment
// that names another ID than the key's is refused (a key file edited by
// hand, or two files mixed up).
enum class KeyProblem {
  NotBase64,        // the key line holds characters outside base64, or none
  WrongLength,      // it decodes to something other than 42 bytes
  WrongAlgorithm,   // not an Ed25519 key ("Ed")
  KeyIdMismatch,    // the comment names another key ID than the key has
  Malformed,        // more lines than a key file has, or a comment line that is not one
};

// "not base64", "wrong length", ...: for messages.
std::string_view key_problem_text(KeyProblem problem);

// Reads a key file's text, or the key line alone. Line ends may be "\n" or
// "\r\n"; blanks around the key line and blank lines at the end are allowed.
std::variant<MinisignPublicKey, KeyProblem> parse_minisign_public_key(std::string_view text);

}  // namespace quillon
