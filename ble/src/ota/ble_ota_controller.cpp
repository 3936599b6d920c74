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
  log_wanted_ = platform_.log->wants_lines();
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

bool BLEOTAController::claim_completion(std::uint64_t transfer) {
  std::uint64_t expected = transfer;
  return transfer != 0 && unreported_transfer_.compare_exchange_strong(expected, 0);
}

void BLEOTAController::leave_transfer() {
  retire_watchdog();
  // The transfer was given up by the host: nothing more is reported for it,
  // and what its module still sends must not drive the next one.
  unreported_transfer_.store(0);
  acquiring_ = true;
}

void BLEOTAController::start(std::int64_t total_length) {
  current_id_ = 0;
  credit_ = 0;
  mtu_ = 0;
  file_current_length_ = 0;
  setLast_sent_time(0);
  setLatest_received_time(0);
  start_acknowledged_ = false;
  acquiring_ = false;
  image_failed_ = false;
  end_sent_ = false;
  image_reader_.reset(file_total_length_);

  // The old watchdog goes before START does, so that it can never speak for
  // this transfer, even if the module answers inside the send.
  retire_watchdog();
  const std::uint64_t transfer = ++transfer_;
  unreported_transfer_.store(transfer);

  const auto packet = encode_start(total_length);
  setLast_sent_time(platform_.clock->now_seconds());
  send_packet(std::vector<std::uint8_t>(packet.begin(), packet.end()));

  setMyThread(platform_.watchdogs->start(
      [this, transfer](WatchdogThread& self) { timeout_check_thread_proc(self, transfer); }));
}

void BLEOTAController::data_index(std::span<const std::uint8_t> payload, std::int64_t index) {
  send_packet(encode_data(payload, index));
  setLast_sent_time(platform_.clock->now_seconds());
}

void BLEOTAController::end(std::uint8_t error) {
  end_sent_ = true;
  const auto packet = encode_end(error);
  send_packet(std::vector<std::uint8_t>(packet.begin(), packet.end()));
}

void BLEOTAController::fail_transfer() {
  image_failed_ = true;
  retire_watchdog();
  // Claimed before END goes out: a module that answers inside the send must
  // not turn a broken image into its verdict.
  const bool report_it = claim_completion(transfer_);
  end(OTA_ERR_OTHER);
  if (report_it) report(OTA_STATE_COMPLETED, OTA_ERR_OTHER);
}

void BLEOTAController::window_step() {
  // One look at the delegate and the clock per window, not per packet: the
  // window goes out in one go, well within the clock's whole second.
  const std::shared_ptr<BLEOTADelegate> delegate = delegate_.lock();
  std::int64_t now = -1;
  while (credit_ > 0 && !image_failed_) {
    // An mtu below 5 leaves no room for image bytes: the image counts as
    // exhausted rather than asking for a negative or oversized read.
    const std::size_t room = mtu_ > static_cast<std::int64_t>(kOtaDataOverhead)
                                 ? static_cast<std::size_t>(mtu_) - kOtaDataOverhead
                                 : 0;
    // The image bytes are copied once, from the read-ahead block straight
    // into the packet that goes out.
    std::vector<std::uint8_t> packet(room + kOtaDataOverhead);
    std::size_t got = 0;
    if (room > 0) {
      if (!file_write_handle_) {
        note_failure(ImageFailureReason::ImageUnreadable, "image cannot be read: there is no image");
        fail_transfer();
        return;
      }
      const auto read = image_reader_.read(*file_write_handle_, std::span(packet).subspan(kOtaDataHeaderSize, room));
      if (!read) {
        note_failure(ImageFailureReason::ImageUnreadable, "image cannot be read after " + std::to_string(file_current_length_) + " of " +
                              std::to_string(file_total_length_) + " bytes");
        fail_transfer();
        return;
      }
      got = std::min(*read, room);
      if (got == 0 && file_current_length_ < file_total_length_) {
        note_failure(ImageFailureReason::ImageEndedEarly, "image ended after " + std::to_string(file_current_length_) +
                                                              " of " + std::to_string(file_total_length_) + " bytes");
        fail_transfer();
        return;
      }
    }
    if (got == 0) {
      platform_.log->line("end of file, download completed.");
      end(OTA_SUCCESS);
      return;
    }
    if (got < room) {
      packet.resize(got + kOtaDataOverhead);
      packet.shrink_to_fit();  // every packet sits in a buffer of exactly its length
    }
    // The window's state moves on before the packet is handed over: a
    // delegate may deliver the module's answer inside ota_send_data, and the
    // window step it runs there must see this packet as sent.
    const std::int64_t index = current_id_;
    ++current_id_;
    --credit_;
    file_current_length_ += static_cast<std::int64_t>(got);
    if (log_wanted_) platform_.log->logf("send %lu", static_cast<unsigned long>(got));
    if (delegate) delegate->ota_state_parameter(OTA_STATE_DATAING, file_current_length_);
    seal_data_packet(packet, index);
    if (now < 0) now = platform_.clock->now_seconds();
    setLast_sent_time(now);
    if (delegate) delegate->ota_send_data(std::move(packet));
  }
}

void BLEOTAController::pkt_received(std::span<const std::uint8_t> pkt) {
  LogSink& log = *platform_.log;
  if (acquiring_) {
    // What the module of an abandoned transfer still says belongs to no
    // transfer: acting on it would drive windows over the next image.
    log.line("packet ignored: no transfer is running");
    return;
  }
  setLatest_received_time(platform_.clock->now_seconds());
  log.line("pkt_received +++++++++");

  OtaChunkScanner scanner(pkt);
  while (auto item = scanner.next()) {
    using Kind = OtaChunkItem::Kind;
    switch (item->kind) {
      case Kind::AckStart:
      case Kind::AckData:
        if (!item->checksum_ok) {
          log.line("check sum error");
          report(OTA_STATE_COMPLETED, OTA_ERR_CHECK_SUM_FAIL);
          break;
        }
        if (item->kind == Kind::AckData && !start_acknowledged_) {
          // A stale acknowledgement (of an earlier transfer) or a confused
          // module: with no mtu granted yet, a window would end the image.
          log.line("ack of data before ack of start, ignored");
          break;
        }
        if (item->kind == Kind::AckData && end_sent_) {
          // The image is all out and END has gone: a late or repeated
          // acknowledgement has no window left to release.
          log.line("ack of data after end command, ignored");
          break;
        }
        if (item->kind == Kind::AckStart) {
          start_acknowledged_ = true;
          mtu_ = item->mtu;
          credit_ = item->credit;
          log.logf("ack of start command received,mtu is %ld,credit is %ld", static_cast<long>(mtu_),
                   static_cast<long>(credit_));
          report(OTA_STATE_STARTED, file_total_length_);
        } else {
          log.line("ack of data received");
          credit_ = 3;
        }
        window_step();
        break;
      case Kind::AckEnd:
        log.line("ack of end command.");
        break;
      case Kind::AckUnknown:
      case Kind::Stray:
        log.line("error packet");
        break;
      case Kind::End:
        // The module has given its verdict: the watchdog stops whether or
        // not the verdict's checksum holds.
        retire_watchdog();
        log.line("cancel thread");
        if (!claim_completion(transfer_)) {
          // The time-out (or a broken image) has already ended this transfer.
          log.line("end of the module ignored: the transfer has already ended");
        } else if (item->checksum_ok) {
          report(OTA_STATE_COMPLETED, item->result);
        } else {
          log.line("check sum error");
          report(OTA_STATE_COMPLETED, OTA_ERR_CHECK_SUM_FAIL);
        }
        break;
      case Kind::Truncated:
        // A packet cut off by the chunk's end: nothing is known of it.
        break;
    }
  }
  log.line("pkt_received --------");
}

void BLEOTAController::timeout_check_thread_proc(WatchdogThread& self, std::uint64_t transfer) {
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
      // The module's END may arrive between the check above and the report:
      // whichever of the two claims the transfer's end first reports it.
      if (!claim_completion(transfer)) return;
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
  leave_transfer();
  drop_download();
  image_failure_.reset();
  file_write_handle_ = std::move(file);
  file_current_length_ = 0;
  file_total_length_ = 0;
  // A handle that cannot be positioned cannot be measured or read from its
  // first byte: it is no image, and nothing goes to the module.
  std::int64_t length = -1;
  if (file_write_handle_ && file_write_handle_->seek(0)) {
    length = file_write_handle_->seek_to_end();
    if (!file_write_handle_->seek(0)) length = -1;
  }
  if (length < 0) {
    note_failure(ImageFailureReason::ImageUnreadable, file_write_handle_ ? "image cannot be read: the handle cannot be positioned"
                                                       : "image cannot be read: there is no image");
    report(OTA_STATE_COMPLETED, OTA_ERR_OTHER);
    return;
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
