// A fleet run: every module advertising the OTA service found within the
// scan time (--all), or the modules named by --module-id, each updated by
// its own UpdateSession through one BLEManager. The image is made ready
// once (checked, or downloaded into the cache) before anything is
// connected; then the scan runs for its time (or until every named module
// is found), and the modules are updated up to --parallel at once.
// Connections are made one at a time: the next module connects once the
// last one is ready for its image (or has failed), because BlueZ and many
// controllers serialise connecting, while transfers overlap.
//
// Each module's GATT events reach only its own session, through a
// BLEPeripheralRouter; its link events are passed on by this run, the
// manager's delegate. Main thread only, like the sessions.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fleet_summary.h"
#include "image_prefetch.h"
#include "json_events.h"
#include "tool_options.h"
#include "transfer_view.h"
#include "update_session.h"
#include "quillon/manager/ble_manager.h"
#include "quillon/manager/ble_peripheral_router.h"
#include "quillon/platform/run_loop.h"
#include "quillon/platform/shared_timer_watchdog.h"

namespace quillon::ota_tool {

class FleetRun final : public BLEManagerDelegate, public std::enable_shared_from_this<FleetRun> {
 public:
  struct Output {
    // The view of one module's transfer (its bar, or its tagged lines);
    // `short_identifier` tells it apart from the run's other modules (see
    // identifier_abbreviation.h).
    std::function<std::unique_ptr<TransferView>(const std::string& identifier, const std::string& short_identifier,
                                                const std::string& name)>
        row;
    // An untagged line of text.
    std::function<void(const std::string& text)> say;
    // Where the image download's progress goes.
    TransferView* download = nullptr;
    // --json: every event goes here as a JSON line instead of as text.
    std::FILE* json = nullptr;
  };
  // Called when a module's transfer has ended, before its result is
  // recorded: may change a success into a failure (--verify), and may say
  // what it checked through `say` or `json`. It calls `released` (now or
  // later, on the queue) once the module's link is down: only then does its
  // slot take the next module, so that --parallel bounds the links up at
  // once, those still going down included.
  using Settle = std::function<void(const UpdateSession& session, Outcome& outcome, std::string& detail,
                                    const std::function<void(const std::string&)>& say, JsonEvents* json,
                                    std::function<void()> released)>;

  FleetRun(ToolOptions options, BLEManager& manager, std::shared_ptr<RunLoop> queue, Output output, Settle settle);
  ~FleetRun() override;

  // Becomes the manager's delegate and makes the image ready; the rest
  // happens as events come.
  void start();
  // The user asked the run to stop: the scan ends, modules not begun are
  // recorded as stopped, every transfer ends, and the run finishes.
  void abort(int signal);
  // Bluetooth could not scan: a run still looking for modules ends with
  // `why`; one whose modules are all found goes on.
  void scan_failed(const std::string& why);

  bool finished() const { return phase_ == Phase::Done; }
  // Set when the run ended before any module was tried: the image could
  // not be had, no module was found, Bluetooth is off. Once finished.
  const std::optional<std::pair<Outcome, std::string>>& failure() const { return failure_; }
  // Each module's result: the modules found, in the order found, then the
  // named modules that were not found.
  const std::vector<ModuleResult>& results() const { return results_; }
  // Interrupted or Terminated when the user stopped the run.
  std::optional<Outcome> stopped() const { return stopped_; }

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

 private:
  enum class Phase { Preparing, Scanning, Updating, Done };

  // One module found by the scan.
  struct Module {
    std::shared_ptr<CBPeripheral> peripheral;
    std::string identifier;
    // Given when the scan has ended and every module of the run is known.
    std::string short_identifier;
    std::string name;
    std::unique_ptr<TransferView> view;
    std::unique_ptr<JsonEvents> json;
    std::shared_ptr<UpdateSession> session;
    std::optional<ModuleResult> result;
  };

  void prepare_image();
  void image_ready(std::string path);
  // Shows the download's progress every tenth of a second until the image
  // is ready.
  void watch_download();
  void show_download(std::int64_t bytes, std::int64_t total, bool final);
  void maybe_scan();
  void end_scan();
  // Starts as many modules as the limits allow.
  void pump();
  void launch(Module& module);
  void session_finished(Module& module);
  void record(Module& module, Outcome outcome, std::string detail, std::int64_t bytes = 0, double seconds = 0,
              std::optional<ModulePlan> plan = std::nullopt);
  void maybe_done();
  void fail(Outcome outcome, std::string detail);
  void say(const std::string& text);
  void emit(const std::string& event, JsonEvent fields);
  Module* module_of(const std::shared_ptr<CBPeripheral>& peripheral);
  std::string seconds_text() const;

  const ToolOptions options_;
  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  Output output_;
  Settle settle_;
  std::unique_ptr<JsonEvents> json_;
  std::shared_ptr<BLEPeripheralRouter> router_ = std::make_shared<BLEPeripheralRouter>();
  std::shared_ptr<ImagePrefetch> prefetch_;
  // One timer thread runs every transfer's watchdog period; a time-out
  // still comes from that thread, not the main one.
  std::shared_ptr<SharedTimerWatchdogFactory> watchdogs_ = std::make_shared<SharedTimerWatchdogFactory>();

  Phase phase_ = Phase::Preparing;
  bool powered_on_ = false;
  // The image every module gets (a local path) and its expected digest as
  // 64 hex digits, once known.
  std::optional<std::string> image_path_;
  std::optional<std::string> sha256_hex_;
  bool download_shown_ = false;
  std::chrono::steady_clock::time_point download_started_{};
  std::vector<std::unique_ptr<Module>> modules_;
  std::map<std::string, Module*> by_identifier_;
  std::size_t next_ = 0;
  std::size_t active_ = 0;
  bool connecting_ = false;
  std::vector<ModuleResult> results_;
  std::optional<std::pair<Outcome, std::string>> failure_;
  std::optional<Outcome> stopped_;
};

}  // namespace quillon::ota_tool
