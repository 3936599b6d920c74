// Fuzzes BLEOTAController::pkt_received in the middle of a transfer: each
// input sets the mtu and credit the module grants, then is cut into chunks
// that reach the controller one after another. The delegate checks every
// packet the controller hands out against the wire format.
//
// Input: byte 0 mtu, byte 1 credit, byte 2 flags (bit 0: the delegate is
// gone), byte 3 image length / 4; then chunks, each a length byte followed
// by that many bytes (the last chunk takes what is left).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "quillon/ota/ble_ota_controller.h"
#include "support/idle_watchdog.h"
#include "support/memory_image.h"
#include "quillon/ota/ota_checksum.h"
#include "quillon/ota/ota_packet.h"

namespace {

using namespace quillon;

class FixedClock final : public Clock {
 public:
  std::int64_t now_seconds() override { return 1000; }
};

class CheckingDelegate final : public BLEOTADelegate {
 public:
  const BLEOTAController* controller = nullptr;
  void ota_send_data(std::vector<std::uint8_t> packet) override {
    if (packet.size() < 2) std::abort();
    if (calc_sum(packet.data(), static_cast<std::int64_t>(packet.size() - 1)) != packet.back()) std::abort();
    switch (packet[0]) {
      case OTA_CMD_START:
        if (packet.size() != kOtaStartSize) std::abort();
        break;
      case OTA_CMD_END:
        if (packet.size() != kOtaEndSize) std::abort();
        break;
      case OTA_CMD_DATA:
        // Never empty, never above the mtu granted last.
        if (packet.size() <= kOtaDataOverhead ||
            static_cast<std::int64_t>(packet.size()) > controller->mtu()) {
          std::abort();
        }
        break;
      default:
        std::abort();
    }
  }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    if (state < OTA_STATE_STARTING || state > OTA_STATE_COMPLETED) std::abort();
    // A checksum failure is reported without ending the transfer; any other
    // COMPLETED ends it, and only one may come.
    if (state == OTA_STATE_COMPLETED && parameter != OTA_ERR_CHECK_SUM_FAIL) ++completed;
  }
  int completed = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  // The platform's pieces are shared; each input gets a controller of its
  // own, freed at its end, so that nothing lives on from one input to the
  // next (and the leak checker has nothing to scan for).
  static const OtaPlatform platform = [] {
    OtaPlatform p;
    p.log = std::make_shared<NullLogSink>();
    p.clock = std::make_shared<FixedClock>();
    p.watchdogs = std::make_shared<quillon::test::IdleWatchdogFactory>();
    p.http = nullptr;
    return p;
  }();
  BLEOTAController controller(platform);
  auto delegate = std::make_shared<CheckingDelegate>();

  const std::uint8_t mtu = data[0];
  const std::uint8_t credit = data[1];
  const bool delegate_gone = data[2] & 1;
  std::vector<std::uint8_t> image(static_cast<std::size_t>(data[3]) * 4);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);

  delegate->controller = &controller;
  if (!delegate_gone) controller.setDelegate(delegate);
  controller.download_firmware_from_file(std::make_shared<quillon::test::MemoryImage>(std::move(image)));
  const auto ack = encode_ack_start(0, mtu, credit);
  controller.pkt_received(ack);

  // Every chunk in its own buffer of exactly its length, so that ASan sees
  // a read past its end.
  std::size_t pos = 4;
  while (pos < size) {
    std::size_t n = data[pos++];
    n = std::min(n, size - pos);
    std::vector<std::uint8_t> chunk(data + pos, data + pos + n);
    controller.pkt_received(chunk);
    pos += n;
  }
  if (controller.mtu() < 0 || controller.credit() < 0) std::abort();
  if (delegate->completed > 1) std::abort();  // one verdict per transfer
  return 0;
}
