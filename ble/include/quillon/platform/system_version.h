// The running system's version text (UIKit's UIDevice currentDevice
// systemVersion), such as "7.1.2". Read afresh at every use, since callers
// gate single steps on it.
#pragma once

#include <mutex>
#include <string>

namespace quillon {

class SystemVersion {
 public:
  virtual ~SystemVersion() = default;
  virtual std::string systemVersion() const = 0;
};

// A version text set by the host (the simulated world) or by a test.
// Thread-safe.
class FixedSystemVersion final : public SystemVersion {
 public:
  explicit FixedSystemVersion(std::string text) : text_(std::move(text)) {}
  std::string systemVersion() const override {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void set(std::string text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace quillon
