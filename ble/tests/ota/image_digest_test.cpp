// SHA-256 of images, and the controller's opt-in check that the image is
// the one the host expects before anything goes to the module.
#include <gtest/gtest.h>

#include "ota_test_support.h"
#include "quillon/integrity/sha256_digest.h"
#include "support/memory_image.h"

namespace quillon::test {
namespace {

Sha256Digest digest(std::string_view hex) { return *Sha256Digest::from_hex(hex); }

// An image that claims a size but ends halfway, as a file that shrank
// after its size was taken would.
class ShortImage final : public ImageHandle {
 public:
  explicit ShortImage(Bytes bytes) : inner_(std::move(bytes)) {}
  std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
    if (served_ >= 100) return 0;
    const std::optional<std::size_t> got =
        inner_.read(into.first(std::min<std::size_t>(into.size(), 100 - served_)));
    if (got) served_ += *got;
    return got;
  }
  bool seek(std::int64_t offset) override {
    served_ = static_cast<std::size_t>(offset);
    return inner_.seek(offset);
  }
  std::int64_t seek_to_end() override { return inner_.seek_to_end(); }
  bool write(std::span<const std::uint8_t>) override { return false; }

 private:
  MemoryImage inner_;
  std::size_t served_ = 0;
};

TEST(Sha256Digest, KnownAnswersTextFormAndWholeImages) {
  const auto abc = std::string_view("abc");
  EXPECT_EQ(sha256_of_bytes({}).hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_of_bytes({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}).hex(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  EXPECT_EQ(Sha256Digest::from_hex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"),
            Sha256Digest::from_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  for (const char* bad : {"", "ba7816bf", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a",
                          "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad0",
                          "ga7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                          " a7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}) {
    EXPECT_FALSE(Sha256Digest::from_hex(bad)) << bad;
  }

  // The whole image counts, wherever the handle stood, and it is rewound.
  const Bytes image = make_image(200000);
  MemoryImage handle(image);
  ASSERT_TRUE(handle.seek(12345));
  EXPECT_EQ(sha256_of_image(handle), sha256_of_bytes(image));
  Bytes first(1);
  ASSERT_EQ(handle.read(first), std::optional<std::size_t>(1));
  EXPECT_EQ(first[0], image[0]);

  // Part of an image gets no digest at all.
  ShortImage short_image(image);
  EXPECT_FALSE(sha256_of_image(short_image));
}

TEST(ControllerImageDigest, OnlyTheExpectedImageIsSent) {
  const Bytes image = make_image(3000);
  const Sha256Digest right = sha256_of_bytes(image);
  const Sha256Digest wrong = digest("00000000000000000000000000000000000000000000000000000000000000ff");
  TempDir dir;
  const std::string path = dir.write("image.bin", image);

  {
    SCOPED_TRACE("the expected image goes out whole");
    OtaPair pair;
    pair.controller->setExpected_sha256(right);
    pair.controller->download_firmware_from_file(PosixFileImageHandle::open_for_reading(path));
    pair.run_until_idle();
    EXPECT_EQ(pair.module.image(), image);
    EXPECT_EQ(pair.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_SUCCESS}));
    EXPECT_EQ(pair.controller->image_sha256(), right);
    EXPECT_FALSE(pair.controller->image_failure().has_value());
  }
  struct Refused {
    const char* what;
    std::shared_ptr<ImageHandle> handle;
    std::string says;
    ImageFailureReason reason;
  };
  const std::string mismatch = "image digest mismatch: expected " + wrong.hex() + ", got ";
  const Refused refused[] = {
      {"another image", PosixFileImageHandle::open_for_reading(path), mismatch + right.hex(),
       ImageFailureReason::DigestMismatch},
      {"an image that cannot be read to its end", std::make_shared<ShortImage>(image),
       mismatch + "no digest (the image cannot be read to its end)", ImageFailureReason::DigestMismatch},
      {"no image", nullptr, "image cannot be read: there is no image", ImageFailureReason::ImageUnreadable},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    OtaPair pair;
    pair.controller->setExpected_sha256(wrong);
    pair.controller->download_firmware_from_file(c.handle);
    pair.run_until_idle();
    EXPECT_EQ(pair.module.packets_received(), 0u) << "not even START";
    EXPECT_EQ(pair.delegate->reports, (std::vector<Report>{{OTA_STATE_COMPLETED, OTA_ERR_OTHER}}));
    EXPECT_EQ(pair.memory_log->lines().back(), c.says);
    ASSERT_TRUE(pair.controller->image_failure().has_value());
    EXPECT_EQ(pair.controller->image_failure()->reason, c.reason);
    EXPECT_EQ(pair.controller->image_failure()->message, c.says);
    EXPECT_TRUE(pair.watchdogs->started.empty());
  }
}

}  // namespace
}  // namespace quillon::test
