#include "image_prefetch.h"

#include "quillon/net/curl_http_client.h"

namespace quillon::ota_tool {

ImagePrefetch::ImagePrefetch(std::shared_ptr<RunLoop> queue, std::shared_ptr<LogSink> log,
                             std::optional<std::string> ca_file)
    : queue_(std::move(queue)), log_(std::move(log)) {
  OtaPlatform platform;
  platform.log = log_;
  platform.main_queue = queue_;
  if (ca_file) {
    CurlHttpClient::Options http;
    http.ca_file = *ca_file;
    platform.http = std::make_shared<CurlHttpClient>(http);
  }
  controller_ = std::make_unique<BLEOTAController>(std::move(platform));
}

ImagePrefetch::~ImagePrefetch() = default;

void ImagePrefetch::start(const std::string& url, std::optional<Sha256Digest> expected,
                          std::function<void(Result)> done) {
  done_ = std::move(done);
  if (expected) controller_->setExpected_sha256(*expected);
  controller_->setDelegate(std::weak_ptr<BLEOTADelegate>(shared_from_this()));
  controller_->download_firmware_from_url(url);
}

void ImagePrefetch::cancel() {
  done_ = nullptr;
  controller_.reset();
}

void ImagePrefetch::ota_state_parameter(std::uint8_t state, std::int64_t) {
  // Only the transfer's watchdog reports from another thread, and no module
  // is listening to that transfer.
  if (std::this_thread::get_id() != main_thread_ || !done_) return;
  if (state == OTA_STATE_STARTING) {
    Result result;
    result.path = controller_->address();
    result.size = controller_->file_total_length();
    settle(std::move(result));
  } else if (state == OTA_STATE_COMPLETED) {
    Result result;
    const auto& failure = controller_->image_failure();
    if (failure && failure->reason == ImageFailureReason::DigestMismatch) {
      result.outcome = Outcome::DigestMismatch;
      result.detail = failure->detail + "; the downloaded image was removed from the cache";
    } else {
      result.outcome = Outcome::ImageUnavailable;
      result.detail = failure ? failure->message : "download failed";
    }
    settle(std::move(result));
  }
}

void ImagePrefetch::settle(Result result) {
  auto done = std::move(done_);
  done_ = nullptr;
  // Called from inside the controller's report: it is dropped afterwards,
  // from the queue, which cancels the watchdog of the START it is making.
  queue_->post([self = shared_from_this(), done = std::move(done), result = std::move(result)]() mutable {
    self->controller_.reset();
    done(std::move(result));
  });
}

}  // namespace quillon::ota_tool
