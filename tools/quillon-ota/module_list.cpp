#include "module_list.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "exit_status.h"
#include "json_events.h"
#include "stop_signal_watcher.h"
#include "terminal_text.h"
#include "quillon/sim/sim_data_module.h"

namespace quillon::ota_tool {
namespace {

struct ListedModule {
  std::string identifier;
  std::string name;
  int rssi = 0;
};

// The manager's delegate for the scan: collects each module once, keeping
// the strongest signal heard from it.
class ModuleScan final : public BLEManagerDelegate, public std::enable_shared_from_this<ModuleScan> {
 public:
  ModuleScan(const ToolOptions& options, BLEManager& manager, std::shared_ptr<RunLoop> queue, JsonEvents* json)
      : options_(options), manager_(manager), queue_(std::move(queue)), json_(json) {}

  void start() { manager_.setDelegate(std::weak_ptr<BLEManagerDelegate>(shared_from_this())); }
  bool finished() const { return status_.has_value(); }
  int status() const { return *status_; }
  const std::vector<ListedModule>& modules() const { return modules_; }
  const std::string& failure() const { return failure_; }

  void abort(int signal) {
    if (finished()) return;
    stop_scan();
    status_ = signal == SIGINT ? kExitInterrupted : kExitTerminated;
  }

  void didUpdateState(CBManagerState state) override {
    if (finished()) return;
    if (state == CBManagerStatePoweredOn) {
      if (scanning_) return;
      scanning_ = true;
      const std::string service = sim::kOtaServiceUUID.UUIDString();
      if (json_) json_->emit("scanning", {{"service", service}, {"seconds", options_.scan_timeout_seconds}});
      manager_.scanForPeripherals(service);
      const auto limit = std::chrono::milliseconds(static_cast<long long>(options_.scan_timeout_seconds * 1000));
      queue_->post_after(limit, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->end_scan();
      });
    } else if (state == CBManagerStateUnsupported || state == CBManagerStateUnauthorized ||
               state == CBManagerStatePoweredOff) {
      stop_scan();
      failure_ = "Bluetooth is not available (central state " + std::to_string(state) + ")";
      status_ = kExitLink;
    }
  }

  void scan_failed(const std::string& why) {
    if (finished()) return;
    scanning_ = false;
    failure_ = why;
    status_ = kExitLink;
  }

  void didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                 const std::shared_ptr<BLEAdvertisementData>&, int RSSI) override {
    if (finished()) return;
    const std::string identifier = peripheral->identifier().UUIDString();
    // Advertisements repeat while the scan runs.
    auto known = std::find_if(modules_.begin(), modules_.end(),
                              [&](const ListedModule& m) { return m.identifier == identifier; });
    if (known != modules_.end()) {
      known->rssi = std::max(known->rssi, RSSI);
      return;
    }
    modules_.push_back({identifier, peripheral->name().value_or(""), RSSI});
    if (json_) json_->emit("found", {{"name", modules_.back().name}, {"identifier", identifier}, {"rssi", RSSI}});
  }

  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>&) override {}
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {}
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {}
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&, const std::optional<CBServiceList>&) override {}

 private:
  void stop_scan() {
    if (scanning_) manager_.stopScan();
    scanning_ = false;
  }
  void end_scan() {
    if (finished()) return;
    stop_scan();
    status_ = modules_.empty() ? kExitNotFound : kExitSuccess;
  }

  const ToolOptions& options_;
  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  JsonEvents* json_;
  bool scanning_ = false;
  std::vector<ListedModule> modules_;
  std::optional<int> status_;
  std::string failure_;
};

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

}  // namespace

int list_modules(const ToolOptions& options, BLEManager& manager, const std::shared_ptr<RunLoop>& queue,
                 ScanFailureRelay& scan_failures, std::FILE* out) {
  std::optional<JsonEvents> json;
  if (options.json) json.emplace(out);
  auto scan = std::make_shared<ModuleScan>(options, manager, queue, json ? &*json : nullptr);
  {
    StopSignalWatcher stop_signals([queue, weak = std::weak_ptr(scan)](int signal) {
      queue->post([weak, signal] {
        if (auto self = weak.lock()) self->abort(signal);
      });
    });
    if (!json) {
      std::fprintf(out, "scanning for modules advertising %s for %s s...\n",
                   sim::kOtaServiceUUID.UUIDString().c_str(), seconds_text(options.scan_timeout_seconds).c_str());
      std::fflush(out);
    }
    scan_failures.forward_to(scan);
    scan->start();
    while (!scan->finished()) queue->run_until([&] { return scan->finished(); }, std::chrono::hours(1));
  }
  const int status = scan->status();
  const auto& modules = scan->modules();
  if (json) {
    JsonEvent listed = JsonEvent::array();
    for (const auto& m : modules) listed.push_back({{"name", m.name}, {"identifier", m.identifier}, {"rssi", m.rssi}});
    JsonEvent fields{{"modules", listed}, {"exit_status", status}};
    if (!scan->failure().empty()) fields["detail"] = scan->failure();
    json->emit("list", std::move(fields));
    return status;
  }
  if (!modules.empty()) {
    // Names come from the radio: never let one drive the terminal.
    std::fprintf(out, "%s  %-36s  %s\n", tools::fit_columns("name", 24).c_str(), "identifier", "RSSI");
    for (const auto& m : modules) {
      std::fprintf(out, "%s  %-36s  %4d dBm\n", tools::fit_columns(m.name.empty() ? "(no name)" : m.name, 24).c_str(),
                   m.identifier.c_str(), m.rssi);
    }
  }
  if (!scan->failure().empty()) {
    std::fprintf(out, "quillon-ota: %s\n", scan->failure().c_str());
  } else if (status == kExitNotFound) {
    std::fprintf(out, "quillon-ota: no module advertising %s was found within %s s\n",
                 sim::kOtaServiceUUID.UUIDString().c_str(), seconds_text(options.scan_timeout_seconds).c_str());
  } else if (status != kExitSuccess) {
    std::fprintf(out, "quillon-ota: stopped\n");
  }
  std::fflush(out);
  return status;
}

}  // namespace quillon::ota_tool
