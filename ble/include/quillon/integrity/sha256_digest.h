// SHA-256 digests of firmware images, so that a host can make sure the image
// it is about to send is the one it meant (the digest published beside the
// image, or given by the user) before a single byte reaches the module.
// Hashing is OpenSSL's libcrypto; nothing here is hand-written cryptography.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quillon/platform/image_handle.h"

namespace quillon {

struct Sha256Digest {
  std::array<std::uint8_t, 32> bytes{};

  // 64 hexadecimal digits, either case; nothing for anything else (wrong
  // length, other characters, surrounding blanks).
  static std::optional<Sha256Digest> from_hex(std::string_view text);
  // 64 lower-case hexadecimal digits, as sha256sum prints them.
  std::string hex() const;

  friend bool operator==(const Sha256Digest&, const Sha256Digest&) = default;
};

// The digest of `bytes`.
Sha256Digest sha256_of_bytes(std::span<const std::uint8_t> bytes);

// The digest of the whole image, read through the handle from offset 0 to
// its end; the handle is left at offset 0. Nothing when the handle cannot
// be positioned or yields fewer bytes than its size: a digest of part of
// an image would vouch for bytes that were never checked.
std::optional<Sha256Digest> sha256_of_image(ImageHandle& image);

}  // namespace quillon
