// The POSIX image handle as the transfer and the download use it: written at
// its end, rewound, read in pieces; and a handle that failed to open.
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
  while (std::size_t got = handle->read(piece)) back.insert(back.end(), piece.begin(), piece.begin() + got);
  EXPECT_EQ(back, image);
  EXPECT_EQ(handle->read(piece), 0u);
}

TEST(PosixFileImageHandle, FailedHandleIsAnEmptyUnwritableFile) {
  auto handle = PosixFileImageHandle::open_for_reading("/nonexistent/image.bin");
  EXPECT_FALSE(handle->is_open());
  Bytes piece(10);
  EXPECT_EQ(handle->read(piece), 0u);
  EXPECT_FALSE(handle->seek(0));
  EXPECT_EQ(handle->seek_to_end(), -1);
  EXPECT_FALSE(handle->write(piece));
}

}  // namespace
}  // namespace quillon::test
