// What an emulated module reports as its firmware revision after an update:
// the version tagged in the image it accepted ("QVER:" VERSION NUL, the
// first tag wherever it lies and however the image was cut into packets),
// an empty revision for an image without a tag, and no change after an
// update it did not accept.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillon/module/image_version_tag.h"
#include "quillon/ota/ota_codes.h"
#include "quillon/ota/ota_packet.h"
#include "quillon/sim/sim_data_module.h"

namespace quillon::sim {
namespace {

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(ImageVersionTag, FirstWholeTagCountsWhereverItLiesAndHoweverTheImageIsCut) {
  const std::string too_long = "QVER:" + std::string(ImageVersionTagScanner::kMaxVersionLength + 1, 'x') + '\0';
  const struct {
    std::string image;
    std::optional<std::string> version;
  } cases[] = {
      {std::string("\x7f" "ELF..QVER:1.4.2\0..QVER:9.9\0", 28), "1.4.2"},
      {std::string("QVER:\0", 6), ""},
      {"QVER:1.0 without its NUL", std::nullopt},
      {std::string("QVQVER:2.0\0", 11), "2.0"},
      {too_long, std::nullopt},
      // A tag that begins inside a candidate too long to be one.
      {"QVER:" + std::string(ImageVersionTagScanner::kMaxVersionLength - 2, 'x') + std::string("QVER:3.1\0", 9), "3.1"},
      {"QVER:" + std::string(ImageVersionTagScanner::kMaxVersionLength, 'y') + '\0', std::string(ImageVersionTagScanner::kMaxVersionLength, 'y')},
  };
  for (const auto& c : cases) {
    const auto image = bytes(c.image);
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, image.size() + 1}) {
      SCOPED_TRACE(c.image.substr(0, 20) + " in pieces of " + std::to_string(piece));
      ImageVersionTagScanner scanner;
      for (std::size_t at = 0; at < image.size(); at += piece) {
        scanner.feed(std::span(image).subspan(at, std::min(piece, image.size() - at)));
      }
      EXPECT_EQ(scanner.version(), c.version);
    }
  }
}

// Writes `image` to the module's FF11 as a host would: START, DATA packets
// of `payload` bytes, END. `announced` differs from the length to make the
// module refuse the image.
void update(SimDataModule& module, const std::vector<std::uint8_t>& image, std::size_t payload,
            std::optional<std::size_t> announced = std::nullopt) {
  const auto write = [&](std::span<const std::uint8_t> packet) {
    module.receiveWrite(kOtaUUID, NSData(packet.begin(), packet.end()), CBCharacteristicWriteWithoutResponse);
  };
  write(encode_start(static_cast<std::int64_t>(announced.value_or(image.size()))));
  std::int64_t index = 0;
  for (std::size_t at = 0; at < image.size(); at += payload) {
    write(encode_data(std::span(image).subspan(at, std::min(payload, image.size() - at)), index++));
  }
  write(encode_end(OTA_SUCCESS));
}

TEST(SimDataModuleVersion, ReportsTheAcceptedImagesTagOnly) {
  const auto revision = [](const SimDataModule& module) {
    auto value = module.deviceInformation(DeviceInformationField::FirmwareRevision);
    return value ? std::optional<std::string>(std::string(value->begin(), value->end())) : std::nullopt;
  };
  SimDataModuleConfig config;
  config.ota.credit = 255;
  config.ota.data_window = 255;
  config.deviceInformation = {{DeviceInformationField::ModelNumber, bytes("QL-7")},
                              {DeviceInformationField::FirmwareRevision, bytes("1.0.0")}};
  SimDataModule module(config);
  ASSERT_EQ(revision(module), "1.0.0");

  auto tagged = bytes(std::string(300, '\xAA') + std::string("QVER:2.0.0\0", 11) + std::string(100, '\x55'));
  update(module, tagged, 7);  // the tag spans DATA packets
  EXPECT_EQ(module.otaModule().verdict(), OTA_SUCCESS);
  EXPECT_EQ(revision(module), "2.0.0");
  EXPECT_EQ(module.deviceInformation(DeviceInformationField::ModelNumber), bytes("QL-7")) << "only the revision changes";

  auto newer = bytes(std::string("QVER:3.0.0\0", 11));
  update(module, newer, 20, newer.size() + 1);  // the module refuses: fewer bytes than announced
  EXPECT_NE(module.otaModule().verdict(), OTA_SUCCESS);
  EXPECT_EQ(revision(module), "2.0.0") << "a refused image is not running";

  update(module, bytes(std::string(64, 'z')), 20);
  EXPECT_EQ(revision(module), "") << "an image without a tag leaves the revision empty";

  // A module without the service gains it with a tagged image, as new firmware that offers it.
  SimDataModuleConfig without;
  without.ota = config.ota;
  SimDataModule plain(without);
  update(plain, bytes(std::string(64, 'z')), 20);
  EXPECT_EQ(revision(plain), std::nullopt);
  update(plain, tagged, 20);
  EXPECT_EQ(revision(plain), "2.0.0");
}

}  // namespace
}  // namespace quillon::sim
