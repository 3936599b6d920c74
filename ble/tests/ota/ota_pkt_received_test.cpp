// The controller's reaction to chunks from the module, byte for byte: what it
// sends, reports and logs for each kind of packet and for chunks holding
// several packets, broken packets or stray bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ota_test_support.h"
#include "quillon/ota/ota_packet.h"

namespace quillon::test {
namespace {

using ::testing::ElementsAre;

const Bytes kHostEnd{0xF3, 0x01, 0x00, 0xF4};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A controller with an in-memory image, started, START already recorded.
struct Started {
  explicit Started(std::size_t image_length) : image(make_image(image_length)) {
    controller.setDelegate(delegate);
    controller.download_firmware_from_file(handle());
    delegate->sent.clear();
    delegate->reports.clear();
    log->clear();
  }
  std::shared_ptr<ImageHandle> handle() {
    std::string path = dir.write("image.bin", image);
    return PosixFileImageHandle::open_for_reading(path);
  }
  void receive(const Bytes& chunk) { controller.pkt_received(chunk); }
  SteppedWatchdog& watchdog() { return *watchdogs->started.back(); }

  TempDir dir;
  Bytes image;
  std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(500);
  std::shared_ptr<SteppedWatchdogFactory> watchdogs = std::make_shared<SteppedWatchdogFactory>();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  BLEOTAController controller{platform_with(log, clock, watchdogs)};
};

TEST(OtaPktReceived, AckOfStartReleasesTheFirstWindow) {
  Started t(50);
  t.receive(kAckStart20x3);

  ASSERT_EQ(t.delegate->sent.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Bytes& packet = t.delegate->sent[i];
    ASSERT_EQ(packet.size(), 20u);
    EXPECT_EQ(packet, encode_data(std::span(t.image).subspan(16 * i, 16), static_cast<std::int64_t>(i)));
  }
  EXPECT_EQ(t.delegate->reports, (std::vector<Report>{{OTA_STATE_STARTED, 50},
                                                      {OTA_STATE_DATAING, 16},
                                                      {OTA_STATE_DATAING, 32},
                                                      {OTA_STATE_DATAING, 48}}));
  EXPECT_THAT(t.log->lines(),
              ElementsAre("pkt_received +++++++++", "ack of start command received,mtu is 20,credit is 3",
                          "send 16", "send 16", "send 16", "pkt_received --------"));
  EXPECT_EQ(t.controller.current_id(), 3);
  EXPECT_EQ(t.controller.credit(), 0);
  EXPECT_EQ(t.controller.mtu(), 20);

  // The next window carries the last 2 bytes and then END, in one go; a
  // later acknowledgement (late, or repeated by the transport) sends nothing.
  t.delegate->sent.clear();
  t.log->clear();
  t.receive(kAckData);
  ASSERT_EQ(t.delegate->sent.size(), 2u);
  EXPECT_EQ(t.delegate->sent[0], encode_data(std::span(t.image).subspan(48, 2), 3));
  EXPECT_EQ(t.delegate->sent[1], kHostEnd);
  EXPECT_THAT(t.log->lines(), ElementsAre("pkt_received +++++++++", "ack of data received", "send 2",
                                          "end of file, download completed.", "pkt_received --------"));
  EXPECT_EQ(t.controller.credit(), 2);
  t.log->clear();
  t.receive(kAckData);
  t.receive(kAckData);
  EXPECT_EQ(t.delegate->sent.size(), 2u);
  EXPECT_THAT(t.log->lines(), ElementsAre("pkt_received +++++++++", "ack of data after end command, ignored",
                                          "pkt_received --------", "pkt_received +++++++++",
                                          "ack of data after end command, ignored", "pkt_received --------"));
}

TEST(OtaPktReceived, SeveralPacketsInOneChunkAreActedOnInOrder) {
  {
    SCOPED_TRACE("two acknowledgements of DATA: two windows of 3");
    Started t(1000);
    t.receive(kAckStart20x3);
    t.delegate->sent.clear();
    t.receive(cat({kAckData, kAckData}));
    EXPECT_EQ(t.delegate->sent.size(), 6u);
    EXPECT_EQ(t.controller.current_id(), 9);
  }
  {
    SCOPED_TRACE("acknowledgement of DATA, then the module's END");
    Started t(1000);
    t.receive(kAckStart20x3);
    t.delegate->sent.clear();
    t.delegate->reports.clear();
    t.receive(cat({kAckData, kModuleEndOk}));
    EXPECT_EQ(t.delegate->sent.size(), 3u);
    ASSERT_EQ(t.delegate->reports.size(), 4u);
    EXPECT_EQ(t.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_SUCCESS}));
    EXPECT_TRUE(t.watchdog().isCancelled());
    EXPECT_EQ(t.controller.myThread(), nullptr);
  }
}

TEST(OtaPktReceived, AckOfEndEndsTheScanOfTheChunk) {
  Started t(100);
  t.receive(cat({Bytes{0xFC, 0xF3}, kModuleEndOk}));
  EXPECT_TRUE(t.delegate->reports.empty());
  EXPECT_FALSE(t.watchdog().isCancelled());
  EXPECT_THAT(t.log->lines(),
              ElementsAre("pkt_received +++++++++", "ack of end command.", "pkt_received --------"));
}

TEST(OtaPktReceived, ModuleEndReportsItsVerdictAndStopsTheWatchdog) {
  for (std::uint8_t verdict : {0, 1, 2, 0x7F}) {
    SCOPED_TRACE(int(verdict));
    Started t(10);
    t.receive(bytes_of(encode_end(verdict, 9)));
    EXPECT_EQ(t.delegate->reports, (std::vector<Report>{{OTA_STATE_COMPLETED, verdict}}));
    EXPECT_TRUE(t.watchdog().isCancelled());
    EXPECT_THAT(t.log->lines(),
                ElementsAre("pkt_received +++++++++", "cancel thread", "pkt_received --------"));
  }
}

TEST(OtaPktReceived, ChecksumMismatchIsReportedAndTheScanGoesOn) {
  struct Case {
    const char* name;
    Bytes bad;
    bool stops_watchdog;
  };
  Bytes bad_ack_start = kAckStart20x3;
  bad_ack_start[5] ^= 1;
  Bytes bad_ack_data = kAckData;
  bad_ack_data[3] ^= 1;
  Bytes bad_end = kModuleEndOk;
  bad_end[2] = 5;
  for (const Case& c : {Case{"ack of START", bad_ack_start, false}, Case{"ack of DATA", bad_ack_data, false},
                        Case{"module END", bad_end, true}}) {
    SCOPED_TRACE(c.name);
    Started t(100);
    // The bad packet, then a good acknowledgement of START after it.
    t.receive(cat({c.bad, kAckStart20x3}));
    ASSERT_GE(t.delegate->reports.size(), 2u);
    EXPECT_EQ(t.delegate->reports[0], (Report{OTA_STATE_COMPLETED, OTA_ERR_CHECK_SUM_FAIL}));
    EXPECT_EQ(t.delegate->reports[1], (Report{OTA_STATE_STARTED, 100}));
    EXPECT_EQ(t.delegate->sent.size(), 3u);
    EXPECT_EQ(t.watchdog().isCancelled(), c.stops_watchdog);
    const auto lines = t.log->lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "check sum error"), 1);
  }
}

TEST(OtaPktReceived, BadAckOfStartLeavesMtuAndCreditAtZero) {
  Started t(100);
  Bytes bad = kAckStart20x3;
  bad[3] = 0x15;
  t.receive(bad);
  EXPECT_EQ(t.controller.mtu(), 0);
  EXPECT_EQ(t.controller.credit(), 0);
  EXPECT_TRUE(t.delegate->sent.empty());
}

TEST(OtaPktReceived, PacketCutOffByTheChunkEndIsDroppedSilently) {
  for (const Bytes& whole : {kAckStart20x3, kAckData, kModuleEndOk}) {
    for (std::size_t keep = 1; keep < whole.size(); ++keep) {
      if (whole[0] == 0xFC && keep == 2 && whole[1] == 0xF3) continue;
      SCOPED_TRACE(testing::Message() << "opcode " << int(whole[1]) << " keep " << keep);
      Started t(100);
      // Each prefix in a buffer of exactly its length, so that ASan sees any
      // read past the chunk.
      auto chunk = std::make_unique<std::uint8_t[]>(keep);
      std::copy_n(whole.begin(), keep, chunk.get());
      t.controller.pkt_received(std::span<const std::uint8_t>(chunk.get(), keep));
      EXPECT_TRUE(t.delegate->sent.empty());
      EXPECT_TRUE(t.delegate->reports.empty());
      EXPECT_FALSE(t.watchdog().isCancelled());
      EXPECT_THAT(t.log->lines(), ElementsAre("pkt_received +++++++++", "pkt_received --------"));
    }
  }
}

TEST(OtaPktReceived, UnrecognisedBytesDropTheRestOfTheChunk) {
  for (const Bytes& head : {Bytes{0xFC, 0xF7}, Bytes{0x00}, Bytes{0xF1}}) {
    SCOPED_TRACE(int(head.back()));
    Started t(100);
    t.receive(cat({head, kAckStart20x3, kModuleEndOk}));
    EXPECT_TRUE(t.delegate->sent.empty());
    EXPECT_TRUE(t.delegate->reports.empty());
    EXPECT_THAT(t.log->lines(),
                ElementsAre("pkt_received +++++++++", "error packet", "pkt_received --------"));
  }
}

TEST(OtaPktReceived, MtuWithoutRoomForImageBytesEndsAtOnce) {
  for (std::uint8_t mtu = 0; mtu <= 5; ++mtu) {
    SCOPED_TRACE(int(mtu));
    Started t(10);
    t.receive(bytes_of(encode_ack_start(0, mtu, 3)));
    ASSERT_EQ(t.delegate->sent.size(), mtu == 5 ? 3u : 1u);
    if (mtu < 5) {
      EXPECT_EQ(t.delegate->sent[0], kHostEnd);
      EXPECT_EQ(t.controller.file_current_length(), 0);
    } else {
      EXPECT_EQ(t.delegate->sent[0], encode_data(std::span(t.image).first(1), 0));
    }
  }
}

TEST(OtaPktReceived, NoDelegateMeansPacketsAndReportsGoNowhere) {
  Started t(100);
  t.delegate.reset();
  t.receive(kAckStart20x3);  // must not crash; the window still advances
  EXPECT_EQ(t.controller.current_id(), 3);
  EXPECT_EQ(t.controller.file_current_length(), 48);
}

}  // namespace
}  // namespace quillon::test
