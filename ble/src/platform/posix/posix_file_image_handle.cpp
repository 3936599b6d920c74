// Large-file support must be chosen before any system header is included.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "quillon/platform/posix_file_image_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

static_assert(sizeof(off_t) == 8, "image offsets need 64 bits");

namespace quillon {

namespace {

// Why a path that is not a regular file is refused, naming what it is.
std::string not_regular(mode_t mode) {
  const char* kind = S_ISDIR(mode)    ? "a directory"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISSOCK(mode) ? "a socket"
                                      : nullptr;
  return kind != nullptr ? std::string("it is ") + kind + ", not a regular file" : "it is not a regular file";
}

std::shared_ptr<PosixFileImageHandle> refuse(std::string* why_not, std::string reason) {
  if (why_not != nullptr) *why_not = std::move(reason);
  return std::make_shared<PosixFileImageHandle>(-1);
}

}  // namespace

std::shared_ptr<PosixFileImageHandle> PosixFileImageHandle::open_for_reading(const std::string& path,
                                                                             std::string* why_not) {
  // A device would stream without end (/dev/zero) and a FIFO would block
  // the open until a writer comes. Looking first keeps open() away from
  // them; the non-blocking open and the second look close the gap in which
  // the path could be replaced.
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) return refuse(why_not, std::strerror(errno));
  if (!S_ISREG(before.st_mode)) return refuse(why_not, not_regular(before.st_mode));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return refuse(why_not, std::strerror(errno));
  struct stat after {};
  if (::fstat(fd, &after) != 0 || !S_ISREG(after.st_mode)) {
    const std::string reason = not_regular(after.st_mode);
    ::close(fd);
    return refuse(why_not, reason);
  }
  // Reads of the image are ordinary blocking reads.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(fd);
    return refuse(why_not, reason);
  }
  return std::make_shared<PosixFileImageHandle>(fd);
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
