// Length and SHA-256 of a firmware image, to compare what the simulated
// module received with the image file, and to print a digest that can be
// checked with sha256sum.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "quillon/integrity/sha256_digest.h"

namespace quillon::ota_tool {

struct ImageDigest {
  std::uint64_t length = 0;
  Sha256Digest sha256;
  friend bool operator==(const ImageDigest&, const ImageDigest&) = default;
};

// Nothing when the file cannot be opened as an image or read to its end.
std::optional<ImageDigest> digest_file(const std::string& path);

ImageDigest digest_bytes(std::span<const std::uint8_t> bytes);

}  // namespace quillon::ota_tool
