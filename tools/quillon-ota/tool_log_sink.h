// Where the library's log lines go inside quillon-ota: to standard error
// with --verbose, nowhere otherwise. It keeps the last line that explains a
// failed download or a refused image digest, so the verdict can say
// why. Thread-safe: the OTA
// watchdog logs from its own thread.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "quillon/platform/log_sink.h"

namespace quillon::ota_tool {

class ToolLogSink final : public LogSink {
 public:
  explicit ToolLogSink(bool verbose) : verbose_(verbose) {}

  void line(std::string_view text) override {
    std::lock_guard lock(mutex_);
    if (text.starts_with("download failed")) download_failure_ = std::string(text);
    if (text.starts_with(kDigestMismatch)) digest_mismatch_ = std::string(text.substr(kDigestMismatch.size()));
    if (verbose_) std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  }

  // What follows "image digest mismatch: " in the last such line ("expected
  // ..., got ..."), or "" when the image's digest was never refused.
  std::string digest_mismatch() const {
    std::lock_guard lock(mutex_);
    return digest_mismatch_;
  }

  // The last "download failed: ..." line, or "" when there was none.
  std::string download_failure() const {
    std::lock_guard lock(mutex_);
    return download_failure_;
  }

 private:
  const bool verbose_;
  mutable std::mutex mutex_;
  std::string download_failure_;
  std::string digest_mismatch_;
  static constexpr std::string_view kDigestMismatch = "image digest mismatch: ";
};

}  // namespace quillon::ota_tool
