// The POSIX image handle as the transfer and the download use it: written at
// its end, rewound, read in pieces; and a handle that failed to open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include "ota_test_support.h"

namespace quillon::test {
namespace {

TEST(PosixFileImageHandle, WrittenAtTheEndThenReadFromTheStart) {
  TempDir dir;
  auto handle = PosixFileImageHandle::open_for_updating(dir.write("cache.bin", {}));
  ASSERT_TRUE(handle->is_open());
  const Bytes image = make_image(1000);
  for (std::size_t at = 0; at < image.size(); at += 300) {
    EXPECT_EQ(handle->seek_to_end(), static_cast<std::int64_t>(at));
    const std::size_t n = std::min<std::size_t>(300, image.size() - at);
    ASSERT_TRUE(handle->write(std::span(image).subspan(at, n)));
  }
  ASSERT_TRUE(handle->seek(0));
  Bytes back;
  Bytes piece(243);
  while (std::size_t got = handle->read(piece).value_or(0)) {
    back.insert(back.end(), piece.begin(), piece.begin() + got);
  }
  EXPECT_EQ(back, image);
  EXPECT_EQ(handle->read(piece), 0u);
}

TEST(PosixFileImageHandle, ReadErrorsAreNotTheEndOfTheImage) {
  // A handle that failed to open, and one whose reads fail (a descriptor
  // open for writing only): neither reads as an empty image.
  auto failed = PosixFileImageHandle::open_for_reading("/nonexistent/image.bin");
  EXPECT_FALSE(failed->is_open());
  TempDir dir;
  PosixFileImageHandle unreadable(::open(dir.write("image.bin", make_image(100)).c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(unreadable.is_open());
  Bytes piece(10);
  EXPECT_EQ(failed->read(piece), std::nullopt);
  EXPECT_EQ(unreadable.read(piece), std::nullopt);
}

TEST(PosixFileImageHandle, FailedHandleCannotBePositionedOrWritten) {
  auto handle = PosixFileImageHandle::open_for_reading("/nonexistent/image.bin");
  Bytes piece(10);
  EXPECT_FALSE(handle->seek(0));
  EXPECT_EQ(handle->seek_to_end(), -1);
  EXPECT_FALSE(handle->write(piece));
}

// A device streams without end and a FIFO blocks open() until a writer
// comes: neither is an image, and refusing them must not block.
TEST(PosixFileImageHandle, OnlyARegularFileOpensForReading) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = dir.path() + "/socket";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string link = dir.path() + "/link-to-fifo";
  ASSERT_EQ(::symlink(fifo.c_str(), link.c_str()), 0);

  const std::pair<std::string, std::string> refused[] = {
      {"/dev/zero", "it is a character device, not a regular file"},
      {fifo, "it is a FIFO, not a regular file"},
      {link, "it is a FIFO, not a regular file"},
      {socket_path, "it is a socket, not a regular file"},
      {dir.path(), "it is a directory, not a regular file"},
      {dir.path() + "/missing.bin", std::strerror(ENOENT)},
  };
  for (const auto& [path, reason] : refused) {
    SCOPED_TRACE(path);
    std::string why_not;
    EXPECT_FALSE(PosixFileImageHandle::open_for_reading(path, &why_not)->is_open());
    EXPECT_EQ(why_not, reason);
  }
  ::close(listener);
  ::unlink(socket_path.c_str());
  ::unlink(link.c_str());
  ::unlink(fifo.c_str());

  // A regular file still opens, and reads wait for their bytes as usual.
  const Bytes image = make_image(5000);
  std::string why_not;
  auto handle = PosixFileImageHandle::open_for_reading(dir.write("image.bin", image), &why_not);
  ASSERT_TRUE(handle->is_open()) << why_not;
  Bytes back(image.size());
  EXPECT_EQ(handle->read(back), image.size());
  EXPECT_EQ(back, image);
}

}  // namespace
}  // namespace quillon::test
