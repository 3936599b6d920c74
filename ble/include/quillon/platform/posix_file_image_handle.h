// An ImageHandle over a POSIX file descriptor, large-file safe (64-bit
// offsets). A handle that failed to open can be neither read, positioned nor
// written.
#pragma once

#include <memory>
#include <string>

#include "quillon/platform/image_handle.h"

namespace quillon {

class PosixFileImageHandle final : public ImageHandle {
 public:
  // Opens `path` read-only, if it is a regular file (after following
  // links): a device, FIFO, socket or directory is no image and gives a
  // failed handle, without blocking and without side effects on the
  // device. On failure `why_not` (when given) says why: the system's
  // reason, or what the path is ("it is a FIFO, not a regular file").
  static std::shared_ptr<PosixFileImageHandle> open_for_reading(const std::string& path,
                                                                std::string* why_not = nullptr);
  // Opens an existing `path` for reading and writing, positioned at 0.
  static std::shared_ptr<PosixFileImageHandle> open_for_updating(const std::string& path);
  // Takes over `fd` (closed when the handle goes); -1 gives a failed handle.
  explicit PosixFileImageHandle(int fd) : fd_(fd) {}
  ~PosixFileImageHandle() override;
  PosixFileImageHandle(const PosixFileImageHandle&) = delete;
  PosixFileImageHandle& operator=(const PosixFileImageHandle&) = delete;

  bool is_open() const { return fd_ >= 0; }

  std::optional<std::size_t> read(std::span<std::uint8_t> into) override;
  bool seek(std::int64_t offset) override;
  std::int64_t seek_to_end() override;
  bool write(std::span<const std::uint8_t> bytes) override;

 private:
  int fd_;
};

}  // namespace quillon
