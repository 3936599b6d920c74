// BLEOTAController's image download: a GET into the library's cache folder,
// and the transfer's start once the whole body is on disk. The body goes to
// the file as it arrives, so memory does not grow with the image.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "quillon/net/cache_directory.h"
#include "quillon/net/curl_http_client.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/posix_file_image_handle.h"

namespace quillon {
namespace {

// The download's file as the connection's body sink: the connection writes
// the body into it on its own thread, straight from the HTTP library's
// buffer. The file is new and empty, so sequential writes append.
class ImageFileSink final : public HttpBodySink {
 public:
  explicit ImageFileSink(std::shared_ptr<ImageHandle> file) : file_(std::move(file)) {}
  bool write(std::span<const std::uint8_t> bytes) override { return file_->write(bytes); }

 private:
  std::shared_ptr<ImageHandle> file_;
};

}  // namespace

void BLEOTAController::download_firmware_from_url(std::string url_string) {
  leave_transfer();
  drop_download();
  image_failure_.reset();
  if (!platform_.main_queue) {
    note_failure(ImageFailureReason::DownloadFailed, "download failed: no run loop to deliver the download on");
    abandon_download();
    return;
  }
  if (!platform_.http) platform_.http = std::make_shared<CurlHttpClient>();

  char range[32];
  std::snprintf(range, sizeof range, "bytes=%d-", 0);
  http_conn_ = platform_.http->get(url_string, {{"Range", range}}, *this, *platform_.main_queue);
}

void BLEOTAController::connection_didReceiveResponse(HttpConnection& connection,
                                                     const HttpResponse& response) {
  if (&connection != http_conn_.get()) return;
  // An error page, or part of an image, is not a firmware image: it must
  // neither reach the module nor replace an image already in the cache.
  if (auto refusal = download_check_.response(response)) {
    note_failure(ImageFailureReason::DownloadFailed, "download failed: " + *refusal);
    abandon_download();
    return;
  }
  std::error_code error;
  const auto folder = cache_directory(error);
  if (error) {
    note_failure(ImageFailureReason::DownloadFailed, "download failed: no cache folder (" + error.message() + ")");
    abandon_download();
    return;
  }
  address_ = (folder / response.suggested_filename).string();

  // Replace rather than truncate: a handle still open on an earlier image of
  // the same name keeps its bytes, and a link put in the name's place is
  // removed, not followed.
  if (::unlink(address_.c_str()) != 0 && errno != ENOENT) {
    note_failure(ImageFailureReason::DownloadFailed, "download failed: cannot replace " + address_ + " (" + std::strerror(errno) + ")");
    abandon_download();
    return;
  }
  const int fd = ::open(address_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    note_failure(ImageFailureReason::DownloadFailed, "download failed: cannot create " + address_ + " (" + std::strerror(errno) + ")");
    abandon_download();
    return;
  }
  file_write_handle_ = std::make_shared<PosixFileImageHandle>(fd);
  download_file_open_ = true;
  // A response that comes again starts the file afresh, the count included.
  file_current_length_ = 0;
  file_total_length_ = download_check_.expected_length();
  platform_.log->logf("file total length = %lld", static_cast<long long>(file_total_length_));
  // Until the body is complete, only the connection's thread touches the
  // file; this thread only counts (connection_didWriteData).
  connection.write_body_to(std::make_shared<ImageFileSink>(file_write_handle_));
}

void BLEOTAController::connection_didReceiveData(HttpConnection& connection,
                                                 std::span<const std::uint8_t> data) {
  if (&connection != http_conn_.get() || !download_file_open_) return;
  if (file_write_handle_->seek_to_end() < 0 || !file_write_handle_->write(data)) {
    note_failure(ImageFailureReason::DownloadFailed, "download failed: cannot write " + address_);
    abandon_download();
    return;
  }
  file_current_length_ += static_cast<std::int64_t>(data.size());
  download_check_.body(data.size());
  platform_.log->logf("file downloading %lld/%lld", static_cast<long long>(file_current_length_),
                      static_cast<long long>(file_total_length_));
}

void BLEOTAController::connection_didWriteData(HttpConnection& connection, std::uint64_t length) {
  if (&connection != http_conn_.get() || !download_file_open_) return;
  file_current_length_ += static_cast<std::int64_t>(length);
  download_check_.body(length);
  if (log_wanted_) {
    platform_.log->logf("file downloading %lld/%lld", static_cast<long long>(file_current_length_),
                        static_cast<long long>(file_total_length_));
  }
}

void BLEOTAController::connectionDidFinishLoading(HttpConnection& connection) {
  if (&connection != http_conn_.get() || !download_file_open_) return;
  if (auto refusal = download_check_.finish()) {
    note_failure(ImageFailureReason::DownloadFailed, "download failed: " + *refusal);
    abandon_download();
    return;
  }
  // With no announced length, START announces what was actually stored.
  if (file_total_length_ < 0) file_total_length_ = file_current_length_;
  // A download that is not the expected image is removed, like a broken one.
  if (!image_digest_accepted()) {
    abandon_download();
    return;
  }
  download_file_open_ = false;
  file_write_handle_->seek(0);
  file_current_length_ = 0;
  report(OTA_STATE_STARTING, 0);
  start(file_total_length_);
}

void BLEOTAController::connection_didFailWithError(HttpConnection& connection, const std::string& reason) {
  if (&connection != http_conn_.get()) return;
  note_failure(ImageFailureReason::DownloadFailed, "download failed: " + reason);
  abandon_download();
}

void BLEOTAController::drop_download() {
  // Destroying the connection cancels it: none of its events, not even
  // queued ones, reach this controller afterwards. May run inside the
  // connection's own event; the connection allows that.
  http_conn_.reset();
  if (download_file_open_) {
    // A half-written file is no image.
    file_write_handle_.reset();
    ::unlink(address_.c_str());
    download_file_open_ = false;
  }
  file_current_length_ = 0;
}

void BLEOTAController::abandon_download() {
  drop_download();
  report(OTA_STATE_COMPLETED, OTA_ERR_OTHER);
}

}  // namespace quillon
