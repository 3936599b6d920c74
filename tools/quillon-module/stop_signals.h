// SIGINT and SIGTERM as something the event loop reads rather than sudden
// death, so that the module can unregister from BlueZ before it ends: the
// signals are blocked and arrive on a signalfd that the loop polls with the
// bus. Made first thing in main, before any thread exists, so that every
// thread inherits the blocked mask.
#pragma once

namespace quillon::module_tool {

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int fd() const { return fd_; }
  // The signal that arrived (SIGINT or SIGTERM), or 0 when none has.
  int take() const;

 private:
  int fd_ = -1;
};

}  // namespace quillon::module_tool
