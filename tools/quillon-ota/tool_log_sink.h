// Where the library's log lines go inside quillon-ota: the tools' common
// sink (standard error with --verbose, nowhere otherwise), which this one
// extends by keeping the last line that explains a failed download, an
// image that could not be read or a refused image digest, so the verdict can
// say why. Thread-safe: the OTA watchdog logs from its own thread.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "verbose_log_sink.h"

namespace quillon::ota_tool {

class ToolLogSink final : public tools::VerboseLogSink {
 public:
  explicit ToolLogSink(bool verbose) : VerboseLogSink(verbose) {}

  void line(std::string_view text) override {
    std::lock_guard lock(mutex_);
    if (text.starts_with("download failed") || text.starts_with("image cannot be read") ||
        text.starts_with("image ended after")) {
      image_failure_ = std::string(text);
    }
    if (text.starts_with(kDigestMismatch)) digest_mismatch_ = std::string(text.substr(kDigestMismatch.size()));
    VerboseLogSink::line(text);
  }

  // What follows "image digest mismatch: " in the last such line ("expected
  // ..., got ..."), or "" when the image's digest was never refused.
  std::string digest_mismatch() const {
    std::lock_guard lock(mutex_);
    return digest_mismatch_;
  }

  // The last line saying why the image could not be had ("download failed:
  // ...", "image cannot be read ...", "image ended after ..."), or "".
  std::string image_failure() const {
    std::lock_guard lock(mutex_);
    return image_failure_;
  }

 private:
  mutable std::mutex mutex_;
  std::string image_failure_;
  std::string digest_mismatch_;
  static constexpr std::string_view kDigestMismatch = "image digest mismatch: ";
};

}  // namespace quillon::ota_tool
