#include "quillon/platform/image_block_reader.h"

#include <algorithm>
#include <cstring>

namespace quillon {

void ImageBlockReader::reset(std::int64_t expected_length) {
  // One byte over the expected length, so that a small image is read whole
  // and its end seen in one call.
  block_size_ = expected_length >= 0 && static_cast<std::uint64_t>(expected_length) < kBlockBytes
                    ? static_cast<std::size_t>(expected_length) + 1
                    : kBlockBytes;
  begin_ = end_ = 0;
  source_ = nullptr;
  at_end_ = false;
}

std::optional<std::size_t> ImageBlockReader::read(ImageHandle& image, std::span<std::uint8_t> into) {
  if (source_ != &image) {
    begin_ = end_ = 0;
    at_end_ = false;
    source_ = &image;
  }
  std::size_t total = 0;
  while (total < into.size()) {
    if (begin_ == end_) {
      if (at_end_) break;
      if (block_.size() != block_size_) block_.resize(block_size_);
      const auto got = image.read(block_);
      if (!got) return std::nullopt;
      begin_ = 0;
      end_ = std::min(*got, block_.size());
      // A short block is the image's end (ImageHandle::read fills what it can).
      if (end_ < block_.size()) at_end_ = true;
      if (end_ == 0) break;
    }
    const std::size_t n = std::min(into.size() - total, end_ - begin_);
    std::memcpy(into.data() + total, block_.data() + begin_, n);
    begin_ += n;
    total += n;
  }
  return total;
}

}  // namespace quillon
