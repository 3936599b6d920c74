#include "image_digest.h"

#include "quillon/platform/posix_file_image_handle.h"

namespace quillon::ota_tool {

std::optional<ImageDigest> digest_file(const std::string& path) {
  const auto file = PosixFileImageHandle::open_for_reading(path);
  if (!file->is_open()) return std::nullopt;
  const auto sha256 = sha256_of_image(*file);
  if (!sha256) return std::nullopt;
  return ImageDigest{static_cast<std::uint64_t>(file->seek_to_end()), *sha256};
}

ImageDigest digest_bytes(std::span<const std::uint8_t> bytes) { return {bytes.size(), sha256_of_bytes(bytes)}; }

}  // namespace quillon::ota_tool
