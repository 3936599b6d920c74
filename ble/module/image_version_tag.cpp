#include "quillon/module/image_version_tag.h"

#include <string_view>

#include "quillon/ota/ota_packet.h"

namespace quillon {
namespace {

constexpr std::string_view kPrefix = "QVER:";

}  // namespace

void ImageVersionTagScanner::feed(std::span<const std::uint8_t> bytes) {
  for (auto byte : bytes) {
    if (version_) return;
    take(byte);
  }
}

void ImageVersionTagScanner::take(std::uint8_t byte) {
  window_ += static_cast<char>(byte);
  while (!window_.empty()) {
    if (window_.size() <= kPrefix.size()) {
      if (kPrefix.starts_with(window_)) return;
    } else if (window_.starts_with(kPrefix)) {
      // Only the byte just taken can be the first NUL after the prefix.
      const bool ended = byte == 0;
      const std::size_t length = window_.size() - kPrefix.size() - (ended ? 1 : 0);
      if (length <= kMaxVersionLength) {
        if (ended) {
          version_ = window_.substr(kPrefix.size(), length);
          window_.clear();
        }
        return;
      }
    }
    // No tag starts here: look from the next byte (a tag may begin inside
    // what was taken for a too-long one).
    window_.erase(0, 1);
  }
}

void ImageVersionTagScanner::reset() {
  window_.clear();
  version_.reset();
}

void ImageVersionFollower::hostPacket(std::span<const std::uint8_t> packet) {
  const OtaHostPacket decoded = decode_host_packet(packet);
  if (!decoded.checksum_ok || !decoded.length_ok) return;
  if (decoded.kind == OtaHostPacket::Kind::Start) scanner_.reset();
  if (decoded.kind == OtaHostPacket::Kind::Data) scanner_.feed(decoded.payload);
}

std::optional<std::string> imageVersionTag(std::span<const std::uint8_t> image) {
  ImageVersionTagScanner scanner;
  scanner.feed(image);
  return scanner.version();
}

}  // namespace quillon
