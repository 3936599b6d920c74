// An open firmware image (or the download cache file that becomes one): a
// byte stream with a current position, read sequentially by the OTA transfer
// and written at its end while a download arrives. Offsets are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quillon {

class ImageHandle {
 public:
  virtual ~ImageHandle() = default;

  // Reads up to into.size() bytes from the current position into `into` and
  // advances the position by the number read, which it returns; fewer than
  // asked only at the end of the image, and 0 there. Nothing (nullopt) when
  // the handle cannot be read: a failed read is never the end of the image.
  virtual std::optional<std::size_t> read(std::span<std::uint8_t> into) = 0;

  // Moves the position to `offset` from the start. False if it cannot.
  virtual bool seek(std::int64_t offset) = 0;

  // Moves the position to the end and returns it (the size in bytes), or -1
  // if the handle cannot be positioned.
  virtual std::int64_t seek_to_end() = 0;

  // Writes all of `bytes` at the current position and advances it. False if
  // not everything could be written.
  virtual bool write(std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace quillon
