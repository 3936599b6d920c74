// The module's side against a peer that does not keep to what it announced:
// what the module keeps stays within the announced length and its own
// limit, whatever is written to it, and the next honest transfer succeeds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ota_test_support.h"
#include "quillon/ota/ota_codes.h"

namespace quillon::test {
namespace {

using ::testing::ElementsAre;

// Every chunk the module has sent since the last call, in order.
std::vector<Bytes> answers(OtaModule& module) {
  std::vector<Bytes> out;
  while (auto chunk = module.take_output()) out.push_back(*chunk);
  return out;
}

Bytes start_of(std::int64_t length) {
  const auto start = encode_start(length);
  return {start.begin(), start.end()};
}

Bytes end_of() {
  const auto end = encode_end(OTA_SUCCESS);
  return {end.begin(), end.end()};
}

Bytes module_end(std::uint8_t verdict) {
  const auto end = encode_end(verdict);
  return {end.begin(), end.end()};
}

// Writes `image` in DATA packets of `room` bytes from index `first`.
void send_data(OtaModule& module, const Bytes& image, std::size_t room, std::int64_t first = 0) {
  for (std::size_t at = 0; at < image.size(); at += room) {
    const std::size_t n = std::min(room, image.size() - at);
    module.receive(encode_data(std::span<const std::uint8_t>(image).subspan(at, n), first++));
  }
}

TEST(OtaModuleBounds, KeepsNoMoreThanAnnouncedAndRefusesWhatItCannotHold) {
  OtaModuleConfig config = module_config(20, 3);
  config.max_image_length = 1000;
  OtaModule module(config);
  const std::size_t room = 16;

  // DATA before any START: complained of once, counted, not kept, not acknowledged.
  const Bytes image = make_image(250);
  send_data(module, image, room);
  EXPECT_TRUE(module.image().empty());
  EXPECT_THAT(module.violations(), ElementsAre("DATA before START (16 times)"));
  EXPECT_TRUE(answers(module).empty());

  // Four times the announced length: only the announced bytes are kept.
  module.receive(start_of(250));
  EXPECT_TRUE(module.violations().empty()) << "a START begins afresh";
  Bytes four_times;
  for (int i = 0; i < 4; ++i) four_times.insert(four_times.end(), image.begin(), image.end());
  send_data(module, four_times, room);
  module.receive(end_of());
  EXPECT_TRUE(module.image() == image);
  EXPECT_EQ(module.image_hash(), OtaModule::hash_of(image));
  EXPECT_EQ(module.image_length(), 1000u);
  EXPECT_THAT(module.violations(), ElementsAre("DATA beyond the announced length (48 times)"));
  EXPECT_EQ(module.verdict(), OTA_ERR_OTHER);
  EXPECT_EQ(answers(module).back(), module_end(OTA_ERR_OTHER));

  // Exactly the limit is taken; one byte more, or 4 GiB, is refused at once:
  // no credit, then the module's END, and nothing sent after it is kept.
  module.receive(start_of(1000));
  EXPECT_FALSE(module.start_refused());
  EXPECT_EQ(answers(module), (std::vector<Bytes>{{0xFC, 0xF1, 0x00, 20, 3, 0x04}}));
  for (const std::int64_t too_big : {std::int64_t{1001}, std::int64_t{0xFFFFFFFF}}) {
    SCOPED_TRACE(too_big);
    module.receive(start_of(too_big));
    EXPECT_TRUE(module.start_refused());
    const auto refusal = encode_ack_start(OTA_ERR_OTHER, 20, 0);
    EXPECT_EQ(answers(module), (std::vector<Bytes>{{refusal.begin(), refusal.end()}, module_end(OTA_ERR_OTHER)}));
    send_data(module, image, room);
    EXPECT_TRUE(module.image().empty());
    EXPECT_TRUE(answers(module).empty()) << "no window is acknowledged for a refused START";
    EXPECT_EQ(module.violations().front(), "START announcing " + std::to_string(too_big) +
                                               " bytes refused: this module holds at most 1000");
    EXPECT_EQ(module.violations().back(), "DATA after a refused START (16 times)");
  }

  // Distinct complaints without end: the list stays short, the rest is counted.
  module.receive(start_of(1000));
  for (std::int64_t index = 1; index <= 1000; index += 2) module.receive(encode_data(Bytes{1}, index));
  EXPECT_EQ(module.violations().size(), OtaModule::kMaxViolationsListed);
  EXPECT_EQ(module.violations_not_listed(), 500u - OtaModule::kMaxViolationsListed);
  EXPECT_EQ(module.image().size(), 500u);

  // After all that, an honest transfer of the largest image it holds succeeds.
  const Bytes largest = make_image(1000, 7);
  module.receive(start_of(1000));
  send_data(module, largest, room);
  module.receive(end_of());
  EXPECT_TRUE(module.violations().empty()) << module.violations().front();
  EXPECT_TRUE(module.image() == largest);
  EXPECT_EQ(module.verdict(), OTA_SUCCESS);
  EXPECT_EQ(answers(module).back(), module_end(OTA_SUCCESS));

  // DATA after END is the transfer's no more.
  send_data(module, image, room, 63);
  EXPECT_TRUE(module.image() == largest);
  EXPECT_EQ(module.violations().back(), "DATA after END (16 times)");
}

}  // namespace
}  // namespace quillon::test
