// A scan that BlueZ could not start (the controller refused discovery)
// reaches the run in progress through here, on the main queue, so that the
// run ends with that reason at once instead of waiting out its scan time to
// say that no module was found. The simulated world never refuses.
#pragma once

#include <functional>
#include <string>
#include <utility>

namespace quillon::ota_tool {

class ScanFailureRelay {
 public:
  using Listener = std::function<void(const std::string& why)>;
  void report(const std::string& why) const {
    if (listener_) listener_(why);
  }
  // The run now in progress; an empty listener when it has ended.
  void listen(Listener listener) { listener_ = std::move(listener); }

 private:
  Listener listener_;
};

}  // namespace quillon::ota_tool
