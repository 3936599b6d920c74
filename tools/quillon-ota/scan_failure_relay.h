// A scan that BlueZ could not start (the controller refused discovery)
// reaches the run in progress through here, on the main queue, so that the
// run ends with that reason at once instead of waiting out its scan time to
// say that no module was found. The simulated world never refuses.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace quillon::ota_tool {

class ScanFailureRelay {
 public:
  using Listener = std::function<void(const std::string& why)>;
  void report(const std::string& why) const {
    if (listener_) listener_(why);
  }
  // The run now in progress hears of it through its scan_failed(why); it
  // is held weakly, so a run that has ended hears nothing.
  template <typename Run>
  void forward_to(const std::shared_ptr<Run>& run) {
    listener_ = [weak = std::weak_ptr(run)](const std::string& why) {
      if (auto self = weak.lock()) self->scan_failed(why);
    };
  }

 private:
  Listener listener_;
};

}  // namespace quillon::ota_tool
