// Large-file support must be chosen before any system header is included.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "quillon/platform/posix_file_image_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

static_assert(sizeof(off_t) == 8, "image offsets need 64 bits");

namespace quillon {

std::shared_ptr<PosixFileImageHandle> PosixFileImageHandle::open_for_reading(const std::string& path) {
  return std::make_shared<PosixFileImageHandle>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

std::shared_ptr<PosixFileImageHandle> PosixFileImageHandle::open_for_updating(const std::string& path) {
  return std::make_shared<PosixFileImageHandle>(::open(path.c_str(), O_RDWR | O_CLOEXEC));
}

PosixFileImageHandle::~PosixFileImageHandle() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::size_t> PosixFileImageHandle::read(std::span<std::uint8_t> into) {
  if (fd_ < 0) return std::nullopt;
  std::size_t total = 0;
  // A short read is not the end of the file; only 0 is. An error is neither.
  while (total < into.size()) {
    const ssize_t n = ::read(fd_, into.data() + total, into.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  return total;
}

bool PosixFileImageHandle::seek(std::int64_t offset) {
  if (fd_ < 0 || offset < 0) return false;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::int64_t PosixFileImageHandle::seek_to_end() {
  if (fd_ < 0) return -1;
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  return end < 0 ? -1 : static_cast<std::int64_t>(end);
}

bool PosixFileImageHandle::write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return false;
  std::size_t total = 0;
  while (total < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + total, bytes.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    total += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace quillon
