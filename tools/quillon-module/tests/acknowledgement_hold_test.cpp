// --hold-ack's counters against a host that overruns the module's credit:
// DATA sent while the module's acknowledgement is still held, and writes
// after END. Driven packet by packet; the hold is released by handing
// release_due a moment far enough ahead, so nothing here waits.
#include <gtest/gtest.h>

#include <chrono>

#include "acknowledgement_hold.h"
#include "quillon/ota/ota_packet.h"

namespace quillon::module_tool {
namespace {

using namespace std::chrono_literals;

TEST(AcknowledgementHold, CountsDataWhileAnAcknowledgementIsDueAndWritesAfterEnd) {
  auto log = std::make_shared<MemoryLogSink>();
  AcknowledgementHold hold(40ms, log);
  OtaModuleConfig config;
  config.mtu = 20;
  config.credit = 3;
  OtaModule module(config);
  std::vector<std::vector<std::uint8_t>> notified;
  module.set_output(hold.wrap([&](std::vector<std::uint8_t> chunk) { notified.push_back(std::move(chunk)); }));
  const auto write = [&](const std::vector<std::uint8_t>& packet) {
    hold.written(packet);
    module.receive(packet);
  };
  const std::vector<std::uint8_t> payload(16, 0x5A);
  const auto start = encode_start(6 * 16);
  write({start.begin(), start.end()});
  ASSERT_EQ(notified.size(), 1u) << "the acknowledgement of START goes at once";

  for (std::int64_t index = 0; index < 3; ++index) write(encode_data(payload, index));
  EXPECT_EQ(notified.size(), 1u) << "the acknowledgement of the window is held";
  write(encode_data(payload, 3));  // beyond the credit: its acknowledgement has not gone out
  EXPECT_EQ(hold.data_while_due(), 1u);
  EXPECT_EQ(hold.release_due(std::chrono::steady_clock::now() + 1s), -1);
  ASSERT_EQ(notified.size(), 2u);
  EXPECT_EQ(notified[1][1], 0xF2);

  for (std::int64_t index = 4; index < 6; ++index) write(encode_data(payload, index));
  EXPECT_EQ(hold.data_while_due(), 1u) << "DATA within the new window counted";
  const auto end = encode_end(0);
  write({end.begin(), end.end()});
  write({end.begin(), end.end()});
  EXPECT_EQ(hold.writes_after_end(), 1u);
  EXPECT_EQ(log->lines().back(),
            "credit: 1 DATA packets arrived while an acknowledgement was due, 1 writes after END (a write after END)");

  write({start.begin(), start.end()});
  EXPECT_EQ(hold.data_while_due(), 0u) << "a new START starts the counts afresh";
  EXPECT_EQ(hold.writes_after_end(), 0u);
}

}  // namespace
}  // namespace quillon::module_tool
