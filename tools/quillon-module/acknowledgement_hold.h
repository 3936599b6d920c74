// quillon-module's --hold-ack: each acknowledgement of DATA waits a while
// before it is notified, as a module busy writing its flash would make it
// wait, so that whatever a host sends meanwhile is visible. Two counters
// show a host that overruns the module's credit: DATA packets that arrive
// while an acknowledgement is due (the window is used up and its
// acknowledgement not sent yet), and writes that arrive after the host's
// END. Without a hold an acknowledgement is never due, so only the second
// counter can move. Runs on quillon-module's one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "quillon/module/ota_module.h"
#include "quillon/platform/log_sink.h"

namespace quillon::module_tool {

class AcknowledgementHold {
 public:
  using Clock = std::chrono::steady_clock;

  // `hold` 0: acknowledgements go out at once. The counters are logged to
  // `detail` (quillon-module's --verbose lines).
  AcknowledgementHold(std::chrono::milliseconds hold, std::shared_ptr<LogSink> detail)
      : hold_(hold), detail_(std::move(detail)) {}

  // Wraps the module's output: acknowledgements of DATA are held, every
  // other answer goes at once (behind the held ones, in order).
  OtaModule::Output wrap(OtaModule::Output output);
  // Each write on FF11, before the module takes it.
  void written(std::span<const std::uint8_t> packet);
  // Sends what is due; milliseconds until the next is due, -1 when none waits.
  int release_due(Clock::time_point now = Clock::now());

  std::uint64_t data_while_due() const { return data_while_due_; }
  std::uint64_t writes_after_end() const { return writes_after_end_; }

 private:
  struct Held {
    Clock::time_point due;
    std::vector<std::uint8_t> chunk;
    bool acknowledgement;
  };
  void log_counters(const char* when);

  const std::chrono::milliseconds hold_;
  std::shared_ptr<LogSink> detail_;
  OtaModule::Output output_;
  std::deque<Held> held_;
  unsigned acknowledgements_due_ = 0;
  bool end_seen_ = false;
  std::uint64_t data_while_due_ = 0;
  std::uint64_t writes_after_end_ = 0;
};

}  // namespace quillon::module_tool
