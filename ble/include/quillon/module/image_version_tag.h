// The version an image says it is, as the emulated modules learn it: the
// ASCII bytes "QVER:", then the version, then a NUL byte, anywhere in the
// image; the first such tag counts. Only the modules read it (to report
// their firmware revision after an update); the host decides nothing
// from it. The scan takes the image in pieces of any size, so that a
// module that does not keep the image can still find the tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillon {

class ImageVersionTagScanner {
 public:
  // A version longer than this is no tag; the scan looks on behind its "QVER:".
  static constexpr std::size_t kMaxVersionLength = 128;

  // Takes the next bytes of the image.
  void feed(std::span<const std::uint8_t> bytes);
  // The first tag's version, once its NUL has been seen; absent until then.
  const std::optional<std::string>& version() const { return version_; }
  // Starts over with a new image.
  void reset();

 private:
  void take(std::uint8_t byte);

  std::string window_;  // the bytes since a possible tag began
  std::optional<std::string> version_;
};

// The tag of the image a host is sending, followed from the packets it
// writes on the OTA characteristic: START begins a new image, each sound
// DATA adds its bytes. What the module reports once it accepted the image.
class ImageVersionFollower {
 public:
  void hostPacket(std::span<const std::uint8_t> packet);
  // The version of the image sent since the last START; "" without a tag.
  std::string version() const { return scanner_.version().value_or(""); }

 private:
  ImageVersionTagScanner scanner_;
};

// The version of the whole of `image` (absent: no tag).
std::optional<std::string> imageVersionTag(std::span<const std::uint8_t> image);

}  // namespace quillon
