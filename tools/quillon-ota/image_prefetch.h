// A fleet run's image download: one download into the library's cache
// folder, made before any module is connected, which every module's transfer
// then reads as a local file, instead of one download per module.
//
// It drives a BLEOTAController that no module listens to: the controller
// brings the checks every download gets (status, whole body, expected
// SHA-256, a failed or refused download removed from the cache), and once it
// reports the image ready the controller is dropped, so that the START it
// then makes goes nowhere. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "exit_status.h"
#include "quillon/integrity/sha256_digest.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/log_sink.h"
#include "quillon/platform/run_loop.h"

namespace quillon::ota_tool {

class ImagePrefetch final : public BLEOTADelegate, public std::enable_shared_from_this<ImagePrefetch> {
 public:
  struct Result {
    // The downloaded image in the cache; empty when it could not be had.
    std::string path;
    // Its length in bytes.
    std::int64_t size = 0;
    // Why not: ImageUnavailable or DigestMismatch, with the detail.
    Outcome outcome = Outcome::Success;
    std::string detail;
  };

  // `ca_file`: trusted CA certificates for https:// (the system's when absent).
  ImagePrefetch(std::shared_ptr<RunLoop> queue, std::shared_ptr<LogSink> log, std::optional<std::string> ca_file);
  ~ImagePrefetch() override;

  // Starts the download; `done` is called once, on the main thread, unless
  // cancel() comes first.
  void start(const std::string& url, std::optional<Sha256Digest> expected, std::function<void(Result)> done);
  // Stops a download in progress; its half-written file is removed.
  void cancel();

  // Bytes stored so far, and the announced length (-1 while unknown).
  std::int64_t bytes() const { return controller_ ? controller_->file_current_length() : 0; }
  std::int64_t total() const { return controller_ ? controller_->file_total_length() : -1; }

  // BLEOTADelegate.
  void ota_send_data(std::vector<std::uint8_t>) override {}
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override;

 private:
  void settle(Result result);

  std::shared_ptr<RunLoop> queue_;
  std::shared_ptr<LogSink> log_;
  std::unique_ptr<BLEOTAController> controller_;
  std::function<void(Result)> done_;
  const std::thread::id main_thread_ = std::this_thread::get_id();
};

}  // namespace quillon::ota_tool
