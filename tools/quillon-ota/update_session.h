// One firmware update as a host app runs it: BLEManager finds the module
// (scanning for its OTA service, or retrieving the one remembered from the
// last connection), connects and discovers the OTA characteristic through an
// OtaCharacteristicHandler; a BLEOTAController then takes the image (a file,
// or a download) and the session carries its packets and the module's chunks
// between the two, shows progress and records how the update ended.
//
// In a fleet run the session updates one module that was already found: the
// fleet's own delegate hands it that module's link events, and a router
// gives it that module's GATT events only (start_on).
//
// Threads: everything runs on the main thread, the one that runs `queue`.
// The controller's time-out report is the exception: it comes from the
// watchdog thread and is posted to `queue` before it is acted on.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "exit_status.h"
#include "json_events.h"
#include "ota_characteristic_handler.h"
#include "tool_options.h"
#include "transfer_view.h"
#include "version_policy.h"
#include "quillon/dis/device_information_reader.h"
#include "quillon/manager/ble_manager.h"
#include "quillon/manager/ble_peripheral_router.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/image_handle.h"
#include "quillon/platform/log_sink.h"
#include "quillon/platform/run_loop.h"
#include "quillon/platform/watchdog.h"

namespace quillon::ota_tool {

class UpdateSession final : public BLEManagerDelegate,
                            public BLEOTADelegate,
                            public std::enable_shared_from_this<UpdateSession> {
 public:
  // Call on the main thread; `queue` is the main queue that BLEManager's
  // events and the download's events arrive on. With `json`, events go
  // there as JSON lines instead of as text to `progress`.
  // `watchdogs` makes the transfer's watchdog (a thread of its own when null).
  UpdateSession(ToolOptions options, BLEManager& manager, std::shared_ptr<RunLoop> queue,
                std::shared_ptr<LogSink> ota_log, TransferView& progress, JsonEvents* json = nullptr,
                std::shared_ptr<WatchdogFactory> watchdogs = nullptr);
  ~UpdateSession() override;

  // Opens a local image (failing at once when it cannot be read), becomes
  // the manager's delegate, adds its handler and arms the time limit for
  // finding and connecting the module. The rest happens as events come.
  void start();

  // A fleet run's session: opens a local image as start() does, then
  // connects `peripheral` (found by the fleet's scan) with its GATT events
  // routed to this session through `router`, and arms the time limit for
  // connecting. The fleet's delegate passes on the link events.
  void start_on(std::shared_ptr<CBPeripheral> peripheral, std::shared_ptr<BLEPeripheralRouter> router);

  // Called on the main thread: `linked` once the module is ready for the
  // image or the session has finished before that, whichever comes first
  // (the next module may connect then); `finished` from a task posted when
  // the session has finished, so that it may drop the session.
  struct Hooks {
    std::function<void()> linked;
    std::function<void()> finished;
  };
  void set_hooks(Hooks hooks) { hooks_ = std::move(hooks); }

  // The user asked the run to stop (SIGINT or SIGTERM): it finishes at once
  // as Interrupted or Terminated. Main thread.
  void abort(int signal);
  // Bluetooth could not scan: a session still looking for its module ends
  // with `why`.
  void scan_failed(const std::string& why);

  bool finished() const { return outcome_.has_value(); }
  // Set once finished().
  Outcome outcome() const { return *outcome_; }
  const std::string& detail() const { return detail_; }
  // detail(), with the transfer's time added for a success.
  std::string verdict_detail() const;
  // Image bytes handed to the module so far, and the image size.
  std::int64_t bytes_sent() const { return sent_; }
  std::int64_t image_size() const { return total_; }
  double transfer_seconds() const;
  // The file the image was read from: the given path, or the download.
  std::string image_file() const;
  // The connected module's name, for messages.
  std::string module_name() const;
  // The module's identifier ("" until one is chosen).
  std::string identifier() const;
  // The module's plan row, once its Device Information was read and the
  // version policy decided (only when the run compares versions, or with
  // --dry-run); with the revision read again after a successful update.
  const std::optional<ModulePlan>& plan() const { return plan_; }
  // The module chosen to update; null until one is found.
  const std::shared_ptr<CBPeripheral>& peripheral() const { return peripheral_; }

  // BLEManagerDelegate.
  void didUpdateState(CBManagerState state) override;
  void didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                 const std::shared_ptr<BLEAdvertisementData>& advertisementData,
                                                 int RSSI) override;
  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) override;
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                        const std::optional<NSError>& error) override;
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                     const std::optional<NSError>& error) override;
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&, const std::optional<CBServiceList>&) override {}

  // BLEOTADelegate.
  void ota_send_data(std::vector<std::uint8_t> packet) override;
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override;

 private:
  // Checks the expected digest and opens a local image; false (and
  // finished) when the run cannot go on.
  bool prepare();
  void make_handler();
  void arm_time_limit();
  void linked();
  void begin();
  void choose(const std::shared_ptr<CBPeripheral>& peripheral);
  // Reads the module's Device Information when the run decides from it,
  // then applies the version policy; the image follows only for an update.
  void start_image();
  void send_image();
  bool asks_module() const;
  // Reads the Device Information over the session's link, with the
  // module's GATT events going to the reader meanwhile; `done` runs from
  // the queue.
  void read_module(std::function<void(const DeviceInformationReadResult&)> done);
  void decide(const DeviceInformationReadResult& read);
  // After a successful transfer: reads the revision again, then finishes.
  void finish_success(std::string detail);
  void on_report(std::uint8_t state, std::int64_t parameter, bool from_watchdog_thread);
  void finish(Outcome outcome, std::string detail);
  void say(const std::string& text);
  // An event: `text` for people, or `event` with `fields` as a JSON line.
  void announce(const std::string& text, const std::string& event, JsonEvent fields);
  // Shows the download's progress every tenth of a second until the image
  // is ready.
  void watch_download();
  void show_download(bool final);

  const ToolOptions options_;
  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  std::shared_ptr<LogSink> ota_log_;
  TransferView& progress_;
  JsonEvents* json_;
  Hooks hooks_;
  bool linked_ = false;
  // A fleet run's router; null for the single module.
  std::shared_ptr<BLEPeripheralRouter> router_;
  const std::thread::id main_thread_ = std::this_thread::get_id();

  std::shared_ptr<OtaCharacteristicHandler> handler_;
  std::unique_ptr<BLEOTAController> controller_;
  std::shared_ptr<CBPeripheral> peripheral_;
  // A local image, opened before the module is looked for.
  std::shared_ptr<ImageHandle> image_;
  bool began_ = false;
  bool connected_ = false;
  bool image_ready_ = false;
  std::int64_t total_ = -1;
  std::int64_t sent_ = 0;
  bool download_shown_ = false;
  std::chrono::steady_clock::time_point download_started_{};
  std::chrono::steady_clock::time_point transfer_started_{};
  std::chrono::steady_clock::time_point transfer_ended_{};
  std::optional<Outcome> outcome_;
  std::string detail_;

  std::shared_ptr<DeviceInformationReader> reader_;
  std::optional<ModulePlan> plan_;
  // The transfer succeeded and the revision is being read again: what the
  // session finishes with, whatever the read gives.
  std::optional<std::string> pending_success_;
};

}  // namespace quillon::ota_tool
