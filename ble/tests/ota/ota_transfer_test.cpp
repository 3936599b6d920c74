// Whole transfers: the controller against the simulated module, joined by an
// in-memory link and stepped until idle.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "ota_test_support.h"

namespace quillon::test {
namespace {

struct TransferCase {
  std::size_t length;
  std::uint8_t mtu;
  std::uint8_t credit;
};

// Runs one whole transfer from a file and checks everything a successful
// one promises.
void expect_clean_transfer(const TransferCase& c, TempDir& dir) {
  SCOPED_TRACE(testing::Message() << "length " << c.length << " mtu " << int(c.mtu) << " credit "
                                  << int(c.credit));
  const Bytes image = make_image(c.length, static_cast<std::uint32_t>(c.length + c.mtu));
  OtaModuleConfig config;
  config.mtu = c.mtu;
  config.credit = c.credit;
  OtaPair pair(config, std::make_shared<NullLogSink>());
  pair.delegate->keep_packets = false;
  pair.delegate->keep_dataing = false;
  pair.controller->download_firmware_from_file(
      PosixFileImageHandle::open_for_reading(dir.write("image.bin", image)));
  pair.run_until_idle();

  EXPECT_TRUE(pair.module.violations().empty()) << pair.module.violations().front();
  EXPECT_EQ(pair.module.image_length(), c.length);
  EXPECT_TRUE(pair.module.image() == image);
  const std::size_t room = c.mtu - 4u;
  const std::uint64_t data_packets = (c.length + room - 1) / room;
  EXPECT_EQ(pair.module.data_packets_received(), data_packets);
  EXPECT_EQ(pair.delegate->dataing_reports, data_packets);
  EXPECT_TRUE(pair.delegate->dataing_rising);
  EXPECT_EQ(pair.delegate->last_dataing, static_cast<std::int64_t>(c.length));
  EXPECT_EQ(pair.delegate->reports, (std::vector<Report>{{OTA_STATE_STARTING, 0},
                                                         {OTA_STATE_STARTED, static_cast<std::int64_t>(c.length)},
                                                         {OTA_STATE_COMPLETED, OTA_SUCCESS}}));
  EXPECT_EQ(pair.module.ends_received(), 1u);
  EXPECT_TRUE(pair.watchdogs->started.back()->isCancelled());
}

TEST(OtaTransfer, ImageArrivesWholeForEverySizeMtuAndCredit) {
  TempDir dir;
  for (std::uint8_t mtu : {5, 20, 23, 185, 247, 255}) {
    const std::size_t room = mtu - 4u;
    for (std::uint8_t credit : {1, 3, 255}) {
      for (std::size_t length : {std::size_t{0}, std::size_t{1}, room - 1, room, 3 * room, 7 * room,
                                 7 * room + 1, 1000 * room + room / 2}) {
        expect_clean_transfer({length, mtu, credit}, dir);
      }
    }
  }
}

TEST(OtaTransfer, SeveralMebibytes) {
  TempDir dir;
  expect_clean_transfer({3 * 1024 * 1024 + 17, 247, 3}, dir);
  expect_clean_transfer({1024 * 1024, 20, 255}, dir);
}

TEST(OtaTransfer, IndexWrapsAfter65536PacketsWhileCurrentIdKeepsCounting) {
  // One image byte per packet: 65,540 DATA packets. The module checks that
  // the indices run 0..65535, 0, 1, ...
  TempDir dir;
  expect_clean_transfer({65540, 5, 3}, dir);

  OtaPair pair(module_config(5, 255), std::make_shared<NullLogSink>());
  pair.delegate->keep_dataing = false;
  pair.controller->download_firmware_from_file(
      PosixFileImageHandle::open_for_reading(dir.write("wrap.bin", make_image(65540))));
  pair.run_until_idle();
  EXPECT_EQ(pair.controller->current_id(), 65540);
  const Bytes& wrapped = pair.delegate->sent[1 + 65536];  // START, then DATA 0..65535
  EXPECT_EQ(wrapped[1], 0);
  EXPECT_EQ(wrapped[2], 0);
}

TEST(OtaTransfer, StartCarriesTheLow32BitsOfAHugeImage) {
  TempDir dir;
  const std::string path = dir.write("sparse.bin", {});
  const std::int64_t length = (std::int64_t{1} << 32) + 5;
  {
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, length), 0);
    ::close(fd);
  }
  OtaPair pair;
  auto handle = PosixFileImageHandle::open_for_reading(path);
  ASSERT_TRUE(handle->seek(length - 1));  // a mid-file position is rewound
  pair.controller->download_firmware_from_file(handle);
  EXPECT_EQ(pair.controller->file_total_length(), length);
  ASSERT_EQ(pair.delegate->sent.size(), 1u);
  EXPECT_EQ(pair.delegate->sent[0], bytes_of(encode_start(5)));

  // The first DATA carries the file's first bytes, read from offset 0.
  pair.controller->pkt_received(bytes_of(encode_ack_start(0, 20, 1)));
  ASSERT_EQ(pair.delegate->sent.size(), 2u);
  EXPECT_EQ(pair.delegate->sent[1], encode_data(Bytes(16, 0), 0));
}

TEST(OtaTransfer, StartingAgainBeginsAFreshTransfer) {
  TempDir dir;
  OtaPair pair(module_config(20, 3));
  const Bytes image = make_image(100);
  const std::string path = dir.write("image.bin", image);
  pair.controller->download_firmware_from_file(PosixFileImageHandle::open_for_reading(path));
  pair.module.receive(pair.to_module.front());  // START reaches the module, the rest is lost
  pair.to_module.clear();
  (void)pair.module.take_output();

  pair.controller->download_firmware_from_file(PosixFileImageHandle::open_for_reading(path));
  ASSERT_EQ(pair.watchdogs->started.size(), 2u);
  EXPECT_TRUE(pair.watchdogs->started[0]->isCancelled());
  pair.run_until_idle();
  EXPECT_TRUE(pair.module.image() == image);
  EXPECT_EQ(pair.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_SUCCESS}));
}

// Faults of the module: what the host reports, and that it never claims
// success for a transfer that went wrong.
TEST(OtaTransfer, ModuleFaults) {
  using Faults = std::function<void(OtaModuleFaults&)>;
  struct Case {
    const char* name;
    Faults faults;
    std::uint8_t credit;
    std::vector<Report> reports;  // after STARTING
    bool watchdog_stopped;
  };
  const Report started{OTA_STATE_STARTED, 100};
  const Report checksum_fail{OTA_STATE_COMPLETED, OTA_ERR_CHECK_SUM_FAIL};
  const Report success{OTA_STATE_COMPLETED, OTA_SUCCESS};
  const Case cases[] = {
      {"ack of START corrupted", [](auto& f) { f.corrupt_ack = 0; }, 3, {checksum_fail}, false},
      {"ack of DATA corrupted", [](auto& f) { f.corrupt_ack = 1; }, 3, {started, checksum_fail}, false},
      {"END corrupted", [](auto& f) { f.corrupt_end = true; }, 3, {started, checksum_fail}, true},
      {"ack of DATA dropped", [](auto& f) { f.drop_ack = 2; }, 3, {started}, false},
      {"acks split across chunks", [](auto& f) { f.split_chunks_at = 3; }, 3, {}, false},
      {"ack of END merged with END",
       [](auto& f) {
         f.ack_end = true;
         f.merge_chunks = true;
       },
       3, {started}, false},
      {"ack of END then END", [](auto& f) { f.ack_end = true; }, 3, {started, success}, true},
      {"never answers", [](auto& f) { f.silent_after = 0; }, 3, {}, false},
      {"falls silent after 5 packets", [](auto& f) { f.silent_after = 5; }, 3, {started}, false},
      {"unrecognised ack opcode", [](auto& f) { f.unknown_opcode_ack = 1; }, 3, {started}, false},
      {"credit 0", {}, 0, {started}, false},
  };
  TempDir dir;
  const std::string path = dir.write("image.bin", make_image(100));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OtaPair pair(module_config(20, c.credit, c.faults));
    pair.delegate->keep_dataing = false;
    pair.controller->download_firmware_from_file(PosixFileImageHandle::open_for_reading(path));
    pair.run_until_idle();
    std::vector<Report> expected{{OTA_STATE_STARTING, 0}};
    expected.insert(expected.end(), c.reports.begin(), c.reports.end());
    EXPECT_EQ(pair.delegate->reports, expected);
    auto& watchdog = *pair.watchdogs->started.back();
    EXPECT_EQ(watchdog.isCancelled(), c.watchdog_stopped);

    // A transfer left hanging is ended by the watchdog.
    if (!c.watchdog_stopped) {
      const std::int64_t t = pair.clock->now_seconds();
      watchdog.run(*pair.clock, {t, t + 3, t + 6});
      EXPECT_EQ(pair.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
    }
  }
}

TEST(OtaTransfer, ModuleRejectsAShortImage) {
  // The handle holds fewer bytes than START announced: the module says so.
  TempDir dir;
  OtaPair pair(module_config(20, 3));
  pair.controller->setFile_write_handle(
      PosixFileImageHandle::open_for_reading(dir.write("image.bin", make_image(40))));
  pair.controller->setFile_total_length(50);
  pair.controller->start(50);
  pair.run_until_idle();
  EXPECT_EQ(pair.delegate->reports.back(), (Report{OTA_STATE_COMPLETED, OTA_ERR_OTHER}));
  // The same code as a module's refusal; the controller says it was its own.
  ASSERT_TRUE(pair.controller->image_failure().has_value());
  EXPECT_EQ(pair.controller->image_failure()->reason, ImageFailureReason::ImageEndedEarly);
  EXPECT_EQ(pair.controller->image_failure()->message, "image ended after 40 of 50 bytes");
}

TEST(OtaTransfer, HandleThatIsNoImageFailsWithoutStarting) {
  // A handle that failed to open, or none at all, is not an empty image:
  // the module is told nothing, so it cannot answer success.
  for (auto handle : {std::shared_ptr<ImageHandle>(PosixFileImageHandle::open_for_reading("/nonexistent/x")),
                      std::shared_ptr<ImageHandle>()}) {
    OtaPair pair(module_config(20, 3));
    pair.controller->download_firmware_from_file(handle);
    pair.run_until_idle();
    EXPECT_EQ(pair.module.packets_received(), 0u);
    EXPECT_EQ(pair.delegate->reports, (std::vector<Report>{{OTA_STATE_COMPLETED, OTA_ERR_OTHER}}));
  }
}

}  // namespace
}  // namespace quillon::test
