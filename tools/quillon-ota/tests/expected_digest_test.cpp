// Finding the expected digest of an image in a sums file, in each form
// sha256sum writes.
#include "expected_digest.h"

#include <gtest/gtest.h>

namespace quillon::ota_tool {
namespace {

const std::string kA(64, 'a');
const std::string kB(64, 'b');

std::string listed(std::string_view sums, std::string_view name) {
  auto result = digest_listed_for(sums, name);
  if (auto* digest = std::get_if<Sha256Digest>(&result)) return digest->hex();
  return "error: " + std::get<std::string>(result);
}

TEST(ExpectedDigest, TheImagesLineIsFoundInEveryFormSha256sumWrites) {
  EXPECT_EQ(listed(kB + "  other.bin\n" + kA + "  fw.bin\n", "fw.bin"), kA);
  EXPECT_EQ(listed(kA + " *dist/fw.bin\r\n", "fw.bin"), kA) << "binary mode, a path, CRLF";
  EXPECT_EQ(listed("SHA256 (fw.bin) = " + kA + "\n", "fw.bin"), kA) << "--tag";
  EXPECT_EQ(listed("\\" + kA + "  odd\\\\name.bin\n", "odd\\name.bin"), kA) << "escaped name";
  EXPECT_EQ(listed(kA + "  fw.bin\n" + kA + "  ./fw.bin\n", "fw.bin"), kA) << "listed twice, alike";

  EXPECT_EQ(listed(kA + "  fw.bin.old\n" + kA + "  xfw.bin\n", "fw.bin"),
            "error: no SHA-256 digest is listed for 'fw.bin'");
  EXPECT_EQ(listed(kA + "  fw.bin\n" + kB + "  fw.bin\n", "fw.bin"),
            "error: two different digests are listed for 'fw.bin'");
  EXPECT_EQ(listed(std::string(64, 'z') + "  fw.bin\n", "fw.bin"),
            "error: the line for 'fw.bin' has no SHA-256 digest");
  EXPECT_EQ(listed(kA + "  fw.bin\n", ""), "error: no SHA-256 digest is listed for ''");
}

TEST(ExpectedDigest, TheImagesNameIsItsLastPathSegment) {
  EXPECT_EQ(image_name_of("/srv/fw/app.bin", false), "app.bin");
  EXPECT_EQ(image_name_of("app.bin", false), "app.bin");
  EXPECT_EQ(image_name_of("https://example.com/fw/app.bin?v=2#top", true), "app.bin");
  EXPECT_EQ(image_name_of("https://example.com", true), "");
}

}  // namespace
}  // namespace quillon::ota_tool
