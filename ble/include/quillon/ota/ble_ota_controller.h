// BLEOTAController replaces a BLE module's firmware over the link with a
// small command/acknowledgement protocol (see ota_packet.h for the bytes).
//
// Theory of operation. The controller never touches the radio: every packet
// it makes goes to its delegate's ota_send_data, and the host hands every
// chunk the module sends on the OTA characteristic to pkt_received. start
// sends START; the module's acknowledgement grants an mtu and a credit, and
// each valid acknowledgement (of START or of DATA) releases a window of up to
// `credit` DATA packets (the credit after an acknowledgement of DATA is
// always 3), each preceded by an OTA_STATE_DATAING report. When the image is
// exhausted the controller sends END; the module's own END carries its
// verdict, reported as OTA_STATE_COMPLETED. A checksum mismatch is reported
// as OTA_STATE_COMPLETED with OTA_ERR_CHECK_SUM_FAIL without tearing the
// transfer down. A watchdog thread checks every 3 seconds for silence of more
// than 3 whole seconds and then reports OTA_STATE_COMPLETED with
// OTA_ERR_OTHER from its own thread; only the module's END stops it early.
//
// Each transfer reports OTA_STATE_COMPLETED for its end exactly once: the
// module's END, the time-out and an image that cannot be read all claim the
// one report, and whichever comes first makes it. An acknowledgement of DATA
// before this transfer's START is acknowledged is ignored, and so is
// everything the module sends between the start of a new acquisition and
// the new START. An image read that fails, or ends before the announced
// length, ends the transfer with END carrying OTA_ERR_OTHER and reports
// OTA_STATE_COMPLETED with OTA_ERR_OTHER.
//
// Threads: the host calls start, pkt_received and the image operations from
// one thread at a time; packets and reports are delivered on that thread,
// except the time-out report. The watchdog shares only the two timestamps
// (atomic) and reads the delegate, clock and log.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quillon/integrity/sha256_digest.h"
#include "quillon/net/http_client.h"
#include "quillon/net/image_download_check.h"
#include "quillon/ota/ble_ota_delegate.h"
#include "quillon/ota/image_failure.h"
#include "quillon/ota/ota_codes.h"
#include "quillon/ota/ota_platform.h"
#include "quillon/platform/image_block_reader.h"
#include "quillon/platform/image_handle.h"
#include "quillon/platform/watchdog.h"

namespace quillon {

// The controller is the delegate of its own download connection.
class BLEOTAController : public HttpConnectionDelegate {
 public:
  // init: counters at 0, no delegate, no image, no watchdog.
  explicit BLEOTAController(OtaPlatform platform = {});
  // Cancels a running download (removing its half-written file) and
  // cancels and joins every watchdog it started. May run on a watchdog
  // thread (from inside the time-out report); that watchdog then finishes on
  // its own without touching the controller. Must not run from inside a
  // report or send made on the thread that called start or pkt_received.
  ~BLEOTAController();
  BLEOTAController(const BLEOTAController&) = delete;
  BLEOTAController& operator=(const BLEOTAController&) = delete;

  // --- transfer --------------------------------------------------------------

  // Takes the bytes of one chunk from the module's OTA characteristic. Acts
  // on every packet in it, in order; may send packets and make reports
  // synchronously. A packet cut off by the chunk's end is dropped silently.
  void pkt_received(std::span<const std::uint8_t> pkt);

  // Begins a transfer of `total_length` bytes read from file_write_handle at
  // its current position: clears the counters, sends START, cancels the
  // previous watchdog without waiting for it and starts a new one.
  void start(std::int64_t total_length);

  // Sends one DATA packet carrying `payload` with the low 16 bits of `index`.
  void data_index(std::span<const std::uint8_t> payload, std::int64_t index);

  // Sends END carrying `error`.
  void end(std::uint8_t error);

  // The watchdog's body, run on the watchdog thread `self` (the controller is
  // `this`) for the transfer numbered `transfer`: checks for silence once per
  // period until it times out or `self` is cancelled. It reports the time-out
  // only if that transfer has not reported its end yet. After the time-out
  // report it no longer touches `this`.
  void timeout_check_thread_proc(WatchdogThread& self, std::uint64_t transfer);

  // --- image acquisition -----------------------------------------------------

  // Takes an open image: its length is counted from offset 0 through the
  // handle, the handle is rewound to 0, OTA_STATE_STARTING with 0 is reported
  // and the transfer starts. A null handle, or one that cannot be
  // positioned, is no image: a log line says so, OTA_STATE_COMPLETED with
  // OTA_ERR_OTHER is reported and nothing is sent. A transfer still running
  // ends first (its watchdog cancelled, its module no longer heard); a
  // download still running is cancelled (its half-written file removed) and
  // never calls back.
  void download_firmware_from_file(std::shared_ptr<ImageHandle> file);

  // Downloads the image with a GET carrying "Range: bytes=0-" into the
  // library's cache folder, under the name the response suggests, and starts
  // the transfer when the body is complete (OTA_STATE_STARTING with 0, then
  // start with the length). A download already running is cancelled first
  // and never calls back; a transfer still running ends first, as for
  // download_firmware_from_file. Needs platform.main_queue to be the loop of
  // the calling thread; the download's events and the transfer's start
  // happen there. A status other than 200 or 206, a 206 that is not the
  // whole image, a failed or short download, or a file that cannot be
  // written ends in OTA_STATE_COMPLETED with OTA_ERR_OTHER and a log line
  // saying why; no transfer starts then.
  void download_firmware_from_url(std::string url_string);

  // --- image digest (opt-in) ------------------------------------------------

  // With an expected digest set, the complete image (the host's file in
  // download_firmware_from_file, the download once its body has arrived) is
  // checked against it before OTA_STATE_STARTING and before anything is
  // sent. A different digest, or an image that cannot be read to its end,
  // logs "image digest mismatch: expected <hex>, got <hex>" and ends in
  // OTA_STATE_COMPLETED with OTA_ERR_OTHER; a downloaded image is removed
  // from the cache then. Unset (no check) by default; stays set for later
  // images until changed or cleared. Takes a digest, not an optional one, so
  // that a digest text that failed to parse cannot switch the check off.
  void setExpected_sha256(const Sha256Digest& digest) { expected_sha256_ = digest; }
  void clearExpected_sha256() { expected_sha256_.reset(); }
  const std::optional<Sha256Digest>& expected_sha256() const { return expected_sha256_; }
  // The digest of the image last checked against expected_sha256; nothing
  // before a check, or when that image could not be read to its end.
  const std::optional<Sha256Digest>& image_sha256() const { return image_sha256_; }

  // --- why the image could not be had ---------------------------------------

  // Why the current image's acquisition or transfer ended in
  // OTA_STATE_COMPLETED with OTA_ERR_OTHER on the controller's side (a
  // download that failed or was refused, an image that could not be read or
  // ended early, a digest mismatch), with the log line that said so; nothing
  // while none has, and nothing again once a new image is acquired. Set and
  // read on the thread that calls the image operations, before the report.
  const std::optional<ImageFailure>& image_failure() const { return image_failure_; }

  // The download connection's events, on platform.main_queue's thread.
  // Events of any connection but http_conn are ignored.
  void connection_didReceiveResponse(HttpConnection& connection, const HttpResponse& response) override;
  void connection_didReceiveData(HttpConnection& connection, std::span<const std::uint8_t> data) override;
  // The controller gives its connection the cache file to write into.
  bool wants_body_sink() const override { return true; }
  // The connection wrote `length` more body bytes into the cache file itself.
  void connection_didWriteData(HttpConnection& connection, std::uint64_t length) override;
  void connectionDidFinishLoading(HttpConnection& connection) override;
  void connection_didFailWithError(HttpConnection& connection, const std::string& reason) override;

  // --- fields: plain getters and setters, not synchronised ------------------

  std::weak_ptr<BLEOTADelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<BLEOTADelegate> delegate) { delegate_ = std::move(delegate); }
  std::int64_t current_id() const { return current_id_; }
  void setCurrent_id(std::int64_t value) { current_id_ = value; }
  std::int64_t credit() const { return credit_; }
  void setCredit(std::int64_t value) { credit_ = value; }
  std::int64_t mtu() const { return mtu_; }
  void setMtu(std::int64_t value) { mtu_ = value; }
  HttpConnection* http_conn() const { return http_conn_.get(); }
  void setHttp_conn(std::unique_ptr<HttpConnection> value) { http_conn_ = std::move(value); }
  std::int64_t file_current_length() const { return file_current_length_; }
  void setFile_current_length(std::int64_t value) { file_current_length_ = value; }
  const std::string& address() const { return address_; }
  void setAddress(std::string value) { address_ = std::move(value); }
  std::shared_ptr<ImageHandle> file_write_handle() const { return file_write_handle_; }
  void setFile_write_handle(std::shared_ptr<ImageHandle> value) { file_write_handle_ = std::move(value); }
  std::int64_t file_total_length() const { return file_total_length_; }
  void setFile_total_length(std::int64_t value) { file_total_length_ = value; }
  std::shared_ptr<WatchdogThread> myThread() const { return myThread_; }
  void setMyThread(std::shared_ptr<WatchdogThread> value);
  std::int64_t last_sent_time() const { return last_sent_time_.load(std::memory_order_relaxed); }
  void setLast_sent_time(std::int64_t value) { last_sent_time_.store(value, std::memory_order_relaxed); }
  std::int64_t latest_received_time() const { return latest_received_time_.load(std::memory_order_relaxed); }
  void setLatest_received_time(std::int64_t value) {
    latest_received_time_.store(value, std::memory_order_relaxed);
  }

 private:
  void window_step();
  // Ends the running transfer as the host starts acquiring a new image: its
  // watchdog is cancelled and the module is not heard until the next START.
  void leave_transfer();
  // Takes the one OTA_STATE_COMPLETED of `transfer` for the caller: true at
  // most once per transfer, over all threads.
  bool claim_completion(std::uint64_t transfer);
  // The image cannot be read on: END with OTA_ERR_OTHER, the watchdog
  // cancelled, OTA_STATE_COMPLETED with OTA_ERR_OTHER. The caller has logged why.
  void fail_transfer();
  void send_packet(std::vector<std::uint8_t> packet);
  void report(std::uint8_t state, std::int64_t parameter);
  // Cancels the watchdog in myThread and keeps it aside until it has ended,
  // so that neither start nor pkt_received waits for it.
  void retire_watchdog();
  // Cancels the running download, if any, and removes its partly written
  // file; reports nothing.
  void drop_download();
  // True when no digest is expected or file_write_handle_ holds exactly the
  // expected image; otherwise logs the mismatch. Leaves the handle at 0.
  bool image_digest_accepted();
  // Logs `message` and keeps it as image_failure() with `reason`.
  void note_failure(ImageFailureReason reason, std::string message, std::string detail = {});
  // Ends the running download as failed: drop_download, then
  // OTA_STATE_COMPLETED with OTA_ERR_OTHER. The caller has logged why.
  void abandon_download();

  OtaPlatform platform_;

  // Fields in their documented order.
  std::weak_ptr<BLEOTADelegate> delegate_;
  std::int64_t current_id_ = 0;
  std::int64_t credit_ = 0;
  std::int64_t mtu_ = 0;
  std::unique_ptr<HttpConnection> http_conn_;
  std::int64_t file_current_length_ = 0;
  std::string address_;
  std::shared_ptr<ImageHandle> file_write_handle_;
  std::int64_t file_total_length_ = 0;
  std::shared_ptr<WatchdogThread> myThread_;
  std::atomic<std::int64_t> last_sent_time_{0};
  std::atomic<std::int64_t> latest_received_time_{0};

  // The number of the running transfer (1 for the first START), and the
  // number of the one whose OTA_STATE_COMPLETED has not been reported yet
  // (0 when none): the watchdog thread and the host's thread race for it.
  std::uint64_t transfer_ = 0;
  std::atomic<std::uint64_t> unreported_transfer_{0};
  // The module acknowledged this transfer's START; until then acknowledgements
  // of DATA are stale and ignored.
  bool start_acknowledged_ = false;
  // An acquisition has begun: the module is not heard until the next START.
  bool acquiring_ = false;
  // A read of the image failed or came up short: the transfer is over.
  bool image_failed_ = false;
  // This transfer's END has gone out: no acknowledgement of DATA runs a
  // window after it (a transport that repeats notifications would
  // otherwise send END once for every copy).
  bool end_sent_ = false;
  // Whether the running download's response and body make a whole image.
  ImageDownloadCheck download_check_;
  // Reads the image in blocks, handed out a packet at a time.
  ImageBlockReader image_reader_;
  // Whether the log sink keeps lines, so that per-packet lines are only
  // formatted for someone.
  bool log_wanted_ = true;

  // Cancelled watchdogs that may not have ended yet; joined once finished.
  std::vector<std::shared_ptr<WatchdogThread>> retired_watchdogs_;

  std::optional<Sha256Digest> expected_sha256_;
  std::optional<Sha256Digest> image_sha256_;
  std::optional<ImageFailure> image_failure_;

  // Whether file_write_handle_ is the file the running download writes (and
  // so a half-written file to remove if the download fails).
  bool download_file_open_ = false;
};

}  // namespace quillon
