// The wire format: the protocol's worked examples byte for byte, and the
// checksum's power to catch any single changed byte.
#include <gtest/gtest.h>

#include "ota_test_support.h"
#include "quillon/ota/ota_checksum.h"
#include "quillon/ota/ota_packet.h"

namespace quillon::test {
namespace {

TEST(OtaPacket, WorkedExamples) {
  EXPECT_EQ(bytes_of(encode_start(70000)), (Bytes{0xF1, 0x01, 0x70, 0x11, 0x01, 0x00, 0x74}));
  const Bytes payload{0x01, 0x02, 0x03};
  EXPECT_EQ(encode_data(payload, 5), (Bytes{0xF2, 0x05, 0x00, 0x01, 0x02, 0x03, 0xFD}));
  EXPECT_EQ(bytes_of(encode_end(0)), (Bytes{0xF3, 0x01, 0x00, 0xF4}));
  EXPECT_EQ(bytes_of(encode_ack_start(0, 20, 3)), (Bytes{0xFC, 0xF1, 0x00, 0x14, 0x03, 0x04}));
  EXPECT_EQ(bytes_of(encode_ack_data(0, 2)), (Bytes{0xFC, 0xF2, 0x00, 0x02, 0x00, 0xF0}));
}

TEST(OtaPacket, CalcSumIsThePlainSumModulo256) {
  const Bytes start{0xF1, 0x01, 0x70, 0x11, 0x01, 0x00};
  EXPECT_EQ(calc_sum(start.data(), 6), 0x74);
  EXPECT_EQ(calc_sum(start.data(), 0), 0);
  EXPECT_EQ(calc_sum(start.data(), -5), 0);
  const Bytes wraps{0xFF, 0xFF, 0x03};
  EXPECT_EQ(calc_sum(wraps), 0x01);
}

TEST(OtaPacket, ChangingAnyOneByteBreaksTheChecksum) {
  const Bytes packets[] = {bytes_of(encode_start(123456789)), encode_data(make_image(30), 77),
                           bytes_of(encode_end(0)), bytes_of(encode_ack_start(0, 247, 3)),
                           bytes_of(encode_ack_data(0, 513))};
  for (const Bytes& packet : packets) {
    for (std::size_t i = 0; i < packet.size(); ++i) {
      for (int delta : {1, 0x80, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "packet opcode " << int(packet[0]) << " byte " << i
                                        << " delta " << delta);
        Bytes changed = packet;
        changed[i] = static_cast<std::uint8_t>(changed[i] + delta);
        EXPECT_NE(calc_sum(changed.data(), static_cast<std::int64_t>(changed.size() - 1)),
                  changed.back());
      }
    }
  }
}

TEST(OtaPacket, FieldsTakeOnlyTheirLowBits) {
  // START carries the low 32 bits of the length, DATA the low 16 of the index.
  EXPECT_EQ(bytes_of(encode_start((std::int64_t{1} << 32) + 0x01020304)),
            (Bytes{0xF1, 0x01, 0x04, 0x03, 0x02, 0x01, 0xFC}));
  EXPECT_EQ(bytes_of(encode_start(-1)), (Bytes{0xF1, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE}));
  const Bytes data = encode_data({}, 65536 + 0x0102);
  EXPECT_EQ(data, (Bytes{0xF2, 0x02, 0x01, 0xF5}));
}

TEST(OtaPacket, ModuleReadsWhatTheHostWrote) {
  const auto start = decode_host_packet(bytes_of(encode_start(70000)));
  EXPECT_EQ(start.kind, OtaHostPacket::Kind::Start);
  EXPECT_TRUE(start.checksum_ok);
  EXPECT_EQ(start.announced_length, 70000u);

  const Bytes payload = make_image(9);
  const Bytes data_packet = encode_data(payload, 0x1234);
  const auto data = decode_host_packet(data_packet);
  EXPECT_TRUE(data.checksum_ok);
  EXPECT_EQ(data.index, 0x1234);
  EXPECT_EQ(Bytes(data.payload.begin(), data.payload.end()), payload);

  for (const Bytes& bad : {Bytes{}, Bytes{0xF1, 0x01}, Bytes{0xF2, 0x00}, Bytes{0xF3, 0x01, 0x00},
                           Bytes{0x42, 0x42}}) {
    SCOPED_TRACE(testing::Message() << "length " << bad.size());
    EXPECT_FALSE(decode_host_packet(bad).checksum_ok);
  }
}

}  // namespace
}  // namespace quillon::test
