// Reads an image in large blocks and hands it out in small pieces, so that a
// transfer that takes a few hundred bytes per packet makes one system call
// per block instead of one per packet. Memory is the one block, whatever the
// image's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quillon/platform/image_handle.h"

namespace quillon {

class ImageBlockReader {
 public:
  static constexpr std::size_t kBlockBytes = 64 * 1024;

  // Forgets what was read ahead: the next read starts at the handle's
  // current position. An image known to be small (`expected_length` bytes)
  // gets a block no larger than it needs.
  void reset(std::int64_t expected_length = -1);

  // Fills `into` from `image` as ImageHandle::read would: all of it unless
  // the image ends first, 0 at its end, nothing once a read of the handle
  // failed. A different handle than last time starts afresh.
  std::optional<std::size_t> read(ImageHandle& image, std::span<std::uint8_t> into);

 private:
  std::vector<std::uint8_t> block_;
  std::size_t block_size_ = kBlockBytes;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  const ImageHandle* source_ = nullptr;
  bool at_end_ = false;
};

}  // namespace quillon
