#include "quillon/ota/ble_ota_controller.h"

#include <algorithm>

#include "quillon/ota/ota_chunk_scan.h"
#include "quillon/ota/ota_packet.h"
#include "quillon/ota/ota_watchdog_rule.h"

namespace quillon {

BLEOTAController::BLEOTAController(OtaPlatform platform) : platform_(std::move(platform)) {
  // A caller that replaces only some pieces may leave others empty.
  if (!platform_.log) platform_.log = std::make_shared<StderrLogSink>();
  if (!platform_.clock) platform_.clock = std::make_shared<SystemClock>();
  if (!platform_.watchdogs) platform_.watchdogs = std::make_shared<ThreadWatchdogFactory>();
}

BLEOTAController::~BLEOTAController() {
  // A download cut short by the controller's end leaves no half-written
  // image behind in the cache.
  drop_download();
  // Cancel all first so that they wind down together, then wait for each;
  // join() returns at once on the watchdog's own thread.
  if (myThread_) myThread_->cancel();
  for (auto& old : retired_watchdogs_) old->cancel();
  if (myThread_) myThread_->join();
  for (auto& old : retired_watchdogs_) old->join();
}

void BLEOTAController::setMyThread(std::shared_ptr<WatchdogThread> value) {
  // A replaced watchdog runs on to its own end, as a thread whose reference
  // is dropped would; it is joined at the latest when the controller goes.
  if (myThread_) retired_watchdogs_.push_back(std::move(myThread_));
  myThread_ = std::move(value);
}

void BLEOTAController::retire_watchdog() {
  std::erase_if(retired_watchdogs_, [](const auto& old) {
    if (!old->finished()) return false;
    old->join();
    return true;
  });
  if (!myThread_) return;
  myThread_->cancel();
  retired_watchdogs_.push_back(std::move(myThread_));
  myThread_.reset();
}

void BLEOTAController::send_packet(std::vector<std::uint8_t> packet) {
  if (auto delegate = delegate_.lock()) delegate->ota_send_data(std::move(packet));
}

void BLEOTAController::report(std::uint8_t state, std::int64_t parameter) {
  if (auto delegate = delegate_.lock()) delegate->ota_state_parameter(state, parameter);
}

void BLEOTAController::start(std::int64_t total_length) {
  current_id_ = 0;
  credit_ = 0;
  mtu_ = 0;
  file_current_length_ = 0;
  setLast_sent_time(0);
  setLatest_received_time(0);

  const auto packet = encode_start(total_length);
  send_packet(std::vector<std::uint8_t>(packet.begin(), packet.end()));
  setLast_sent_time(platform_.clock->now_seconds());

  retire_watchdog();
  myThread_ = platform_.watchdogs->start([this](WatchdogThread& self) { timeout_check_thread_proc(self); });
}

void BLEOTAController::data_index(std::span<const std::uint8_t> payload, std::int64_t index) {
  send_packet(encode_data(payload, index));
  setLast_sent_time(platform_.clock->now_seconds());
}

void BLEOTAController::end(std::uint8_t error) {
  const auto packet = encode_end(error);
  send_packet(std::vector<std::uint8_t>(packet.begin(), packet.end()));
}

void BLEOTAController::window_step() {
  while (credit_ > 0) {
    // An mtu below 5 leaves no room for image bytes: the image counts as
    // exhausted rather than asking for a negative or oversized read.
    const std::size_t room = mtu_ > static_cast<std::int64_t>(kOtaDataOverhead)
                                 ? static_cast<std::size_t>(mtu_) - kOtaDataOverhead
                                 : 0;
    // The image bytes are read straight into the packet that goes out.
    std::vector<std::uint8_t> packet(room + kOtaDataOverhead);
    std::size_t got = 0;
    if (room > 0 && file_write_handle_) {
      got = file_write_handle_->read(std::span(packet).subspan(kOtaDataHeaderSize, room));
      got = std::min(got, room);
    }
    if (got == 0) {
      platform_.log->logf("end of file, download completed.");
      end(OTA_SUCCESS);
      return;
    }
    if (got < room) {
      packet.resize(got + kOtaDataOverhead);
      packet.shrink_to_fit();  // every packet sits in a buffer of exactly its length
    }
    platform_.log->logf("send %lu", static_cast<unsigned long>(got));
    file_current_length_ += static_cast<std::int64_t>(got);
    report(OTA_STATE_DATAING, file_current_length_);
    seal_data_packet(packet, current_id_);
    send_packet(std::move(packet));
    setLast_sent_time(platform_.clock->now_seconds());
    ++current_id_;
    --credit_;
  }
}

void BLEOTAController::pkt_received(std::span<const std::uint8_t> pkt) {
  setLatest_received_time(platform_.clock->now_seconds());
  LogSink& log = *platform_.log;
  log.logf("pkt_received +++++++++");

  OtaChunkScanner scanner(pkt);
  while (auto item = scanner.next()) {
    using Kind = OtaChunkItem::Kind;
    switch (item->kind) {
      case Kind::AckStart:
      case Kind::AckData:
        if (!item->checksum_ok) {
          log.logf("check sum error");
          report(OTA_STATE_COMPLETED, OTA_ERR_CHECK_SUM_FAIL);
          break;
        }
        if (item->kind == Kind::AckStart) {
          mtu_ = item->mtu;
          credit_ = item->credit;
          log.logf("ack of start command received,mtu is %ld,credit is %ld", static_cast<long>(mtu_),
                   static_cast<long>(credit_));
          report(OTA_STATE_STARTED, file_total_length_);
        } else {
          log.logf("ack of data received");
          credit_ = 3;
        }
        window_step();
        break;
      case Kind::AckEnd:
        log.logf("ack of end command.");
        break;
      case Kind::AckUnknown:
      case Kind::Stray:
        log.logf("error packet");
        break;
      case Kind::End:
        // The module has given its verdict: the watchdog stops whether or
        // not the verdict's checksum holds.
        retire_watchdog();
        log.logf("cancel thread");
        if (item->checksum_ok) {
          report(OTA_STATE_COMPLETED, item->result);
        } else {
          log.logf("check sum error");
          report(OTA_STATE_COMPLETED, OTA_ERR_CHECK_SUM_FAIL);
        }
        break;
      case Kind::Truncated:
        // A packet cut off by the chunk's end: nothing is known of it.
        break;
    }
  }
  log.logf("pkt_received --------");
}

void BLEOTAController::timeout_check_thread_proc(WatchdogThread& self) {
  for (;;) {
    if (self.isCancelled()) return;
    const std::int64_t now = platform_.clock->now_seconds();
    const std::int64_t sent = last_sent_time();
    const std::int64_t received = latest_received_time();
    if (ota_watchdog_timed_out(now, sent, received)) {
      // The report may destroy the controller (on this very thread), so
      // take what the rest needs first and leave `this` alone afterwards.
      const std::shared_ptr<LogSink> log = platform_.log;
      const std::shared_ptr<BLEOTADelegate> delegate = delegate_.lock();
      if (self.isCancelled()) return;
      if (delegate) delegate->ota_state_parameter(OTA_STATE_COMPLETED, OTA_ERR_OTHER);
      log->logf("exit thread");
      return;
    }
    platform_.log->logf("%ld,%ld,%ld", static_cast<long>(sent), static_cast<long>(received),
                        static_cast<long>(now));
    self.sleep_period();
  }
}

void BLEOTAController::download_firmware_from_file(std::shared_ptr<ImageHandle> file) {
  // The host's image replaces a download still running: left alive, that
  // download would write the rest of its body into the host's file and, at
  // its end, start a second transfer over this one.
  drop_download();
  file_write_handle_ = std::move(file);
  file_current_length_ = 0;
  std::int64_t length = 0;
  if (file_write_handle_ && file_write_handle_->seek(0)) {
    length = std::max<std::int64_t>(file_write_handle_->seek_to_end(), 0);
    file_write_handle_->seek(0);
  }
  file_total_length_ = length;
  if (!image_digest_accepted()) {
    report(OTA_STATE_COMPLETED, OTA_ERR_OTHER);
    return;
  }
  report(OTA_STATE_STARTING, 0);
  start(file_total_length_);
}

}  // namespace quillon
