// The host app's side of an OTA transfer: it carries packets to the module
// and receives progress and outcome reports.
#pragma once

#include <cstdint>
#include <vector>

namespace quillon {

class BLEOTADelegate {
 public:
  virtual ~BLEOTADelegate() = default;

  // Deliver `packet` to the module as one write on the OTA characteristic.
  // Called synchronously from start, data_index and end (so also from inside
  // pkt_received), on the thread that called them. The packet is handed over:
  // the controller keeps no reference to it. The write's outcome is not asked.
  virtual void ota_send_data(std::vector<std::uint8_t> packet) = 0;

  // A report: `state` is one of OTA_STATE_*, `parameter` depends on it (see
  // BLEOTAController). Made on the caller's thread, except the time-out
  // report (OTA_STATE_COMPLETED with OTA_ERR_OTHER), which comes from the
  // watchdog thread.
  virtual void ota_state_parameter(std::uint8_t state, std::int64_t parameter) = 0;
};

}  // namespace quillon
