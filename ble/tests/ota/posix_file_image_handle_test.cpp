// The POSIX image handle as the transfer and the download use it: written at
// its end, rewound, read in pieces; and a handle that failed to open.
#include <fcntl.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillon::test
