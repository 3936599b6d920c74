// Length and FNV-1a 64 hash of a firmware image, read from a file in pieces,
// to compare with what the simulated module reports it received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillon::ota_tool {

struct ImageDigest {
  std::uint64_t length = 0;
  std::uint64_t hash = 0;
  friend bool operator==(const ImageDigest&, const ImageDigest&) = default;
};

// Nothing when the file cannot be read to its end.
std::optional<ImageDigest> digest_file(const std::string& path);

}  // namespace quillon::ota_tool
