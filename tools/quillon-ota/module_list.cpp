#include "module_list.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "exit_status.h"
#include "json_events.h"
#include "module_information_reads.h"
#include "stop_signals.h"
#include "terminal_text.h"
#include "quillon/platform/user_defaults.h"
#include "quillon/sim/sim_data_module.h"

namespace quillon::ota_tool {
namespace {

// HCI and CoreBluetooth report 127 for an RSSI the controller did not measure.
constexpr int kRssiNotAvailable = 127;

// How long a module has for its Device Information reads once connected.
constexpr std::chrono::seconds kInformationReadLimit{5};
// Values longer than this are cut in the table and named in a note.
constexpr std::size_t kLongValue = 64;

struct ListedModule {
  std::string identifier;
  std::string name;
  std::optional<int> rssi;  // absent: not available
  std::shared_ptr<CBPeripheral> peripheral;
  std::optional<ModuleInformation> information;  // absent with --scan-only
  std::vector<std::string> notes;                // what went wrong with the reads, for people
};

// The JSON keys of the Device Information strings.
const char* json_key(DeviceInformationField field) {
  switch (field) {
    case DeviceInformationField::ManufacturerName: return "manufacturer";
    case DeviceInformationField::ModelNumber: return "model";
    case DeviceInformationField::SerialNumber: return "serial_number";
    case DeviceInformationField::HardwareRevision: return "hardware_revision";
    case DeviceInformationField::FirmwareRevision: return "firmware_revision";
    case DeviceInformationField::SoftwareRevision: return "software_revision";
  }
  return "";
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// One line per thing that went wrong or looks odd, so that a module that
// misbehaves is named and the list goes on.
std::vector<std::string> notes_of(const ModuleInformation& information) {
  using Ending = DeviceInformationReadResult::Ending;
  std::vector<std::string> notes;
  if (information.connect_failure) {
    notes.push_back("cannot connect to read what it is: " + *information.connect_failure);
    return notes;
  }
  if (!information.read) return notes;
  const auto& read = *information.read;
  const std::string why = read.error ? ": " + read.error->localizedDescription : std::string();
  switch (read.ending) {
    case Ending::Complete:
    case Ending::NoService: break;
    case Ending::DiscoveryFailed: notes.push_back("cannot find its device information" + why); break;
    case Ending::TimedOut:
      notes.push_back("its device information did not come within " +
                      seconds_text(static_cast<double>(kInformationReadLimit.count())) + " s");
      break;
    case Ending::LinkLost: notes.push_back("the link dropped while its device information was read" + why); break;
  }
  for (const auto& [field, error] : read.refused) {
    notes.push_back(std::string("refused to give its ") + deviceInformationFieldName(field) + ": " +
                    error.localizedDescription);
  }
  for (const auto& [field, value] : read.values) {
    const std::string name = deviceInformationFieldName(field);
    if (!value.plain()) notes.push_back("its " + name + " is not plain text; shown escaped: " + value.text());
    if (value.bytes().size() > kLongValue) {
      notes.push_back("its " + name + " is " + std::to_string(value.bytes().size()) + " bytes long");
    }
  }
  return notes;
}

// The fields of a module as "found" events and the "list" event carry them.
JsonEvent json_fields(const ListedModule& m) {
  JsonEvent fields{{"name", m.name}, {"identifier", m.identifier}};
  fields["rssi"] = m.rssi ? JsonEvent(*m.rssi) : JsonEvent(nullptr);
  if (m.information && m.information->read) {
    for (const auto& [field, value] : m.information->read->values) fields[json_key(field)] = value.text();
  }
  if (!m.notes.empty()) fields["notes"] = m.notes;
  return fields;
}

// A value for a table column: "-" when absent.
std::string column(const ListedModule& m, DeviceInformationField field) {
  if (!m.information || !m.information->read) return "-";
  const auto* value = m.information->read->find(field);
  return value ? value->text() : "-";
}

// The manager's delegate for the scan: collects each module once, keeping
// the strongest signal heard from it.
class ModuleScan final : public BLEManagerDelegate, public std::enable_shared_from_this<ModuleScan> {
 public:
  using HangUp = std::function<void(const std::shared_ptr<CBPeripheral>&, std::function<void()>)>;
  ModuleScan(const ToolOptions& options, BLEManager& manager, std::shared_ptr<RunLoop> queue, JsonEvents* json,
             std::FILE* out, HangUp hang_up)
      : options_(options), manager_(manager), queue_(std::move(queue)), json_(json), out_(out),
        hang_up_(std::move(hang_up)) {}

  void start() { manager_.setDelegate(std::weak_ptr<BLEManagerDelegate>(shared_from_this())); }
  bool finished() const { return status_.has_value(); }
  int status() const { return *status_; }
  const std::vector<ListedModule>& modules() const { return modules_; }
  const std::string& failure() const { return failure_; }

  void abort(int signal) {
    if (finished()) return;
    stop_scan();
    if (reads_) reads_->stop();
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
    const std::optional<int> rssi = RSSI == kRssiNotAvailable ? std::nullopt : std::optional<int>(RSSI);
    auto known = std::find_if(modules_.begin(), modules_.end(),
                              [&](const ListedModule& m) { return m.identifier == identifier; });
    if (known != modules_.end()) {
      if (rssi) known->rssi = std::max(known->rssi.value_or(*rssi), *rssi);
      return;
    }
    modules_.push_back({identifier, peripheral->name().value_or(""), rssi, peripheral, std::nullopt, {}});
    // With reads to come, a module is "found" once they are done.
    if (json_ && options_.scan_only) json_->emit("found", json_fields(modules_.back()));
  }

  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) override {
    if (reads_) reads_->connected(peripheral);
  }
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                        const std::optional<NSError>& error) override {
    if (reads_) reads_->failed(peripheral, error);
  }
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                     const std::optional<NSError>& error) override {
    if (reads_) reads_->disconnected(peripheral, error);
  }
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&, const std::optional<CBServiceList>&) override {}

 private:
  void stop_scan() {
    if (scanning_) manager_.stopScan();
    scanning_ = false;
  }
  void end_scan() {
    if (finished()) return;
    stop_scan();
    if (modules_.empty() || options_.scan_only) {
      status_ = modules_.empty() ? kExitNotFound : kExitSuccess;
      return;
    }
    read_information();
  }

  // A short connection to each module, a bounded number at once.
  void read_information() {
    ModuleInformationReads::Settings settings;
    settings.at_once = options_.parallel;
    settings.connect_limit = std::chrono::milliseconds(static_cast<long long>(options_.scan_timeout_seconds * 1000));
    settings.read_limit = kInformationReadLimit;
    settings.hang_up = hang_up_;
    reads_ = std::make_shared<ModuleInformationReads>(
        manager_, queue_, settings, [weak = weak_from_this()](std::size_t index, const ModuleInformation& information) {
          if (auto self = weak.lock()) self->information_read(index, information);
        });
    std::vector<std::shared_ptr<CBPeripheral>> peripherals;
    for (const auto& m : modules_) peripherals.push_back(m.peripheral);
    reads_->start(std::move(peripherals));
  }

  void information_read(std::size_t index, const ModuleInformation& information) {
    auto& m = modules_[index];
    m.information = information;
    m.notes = notes_of(information);
    if (json_) {
      json_->emit("found", json_fields(m));
    } else {
      for (const auto& note : m.notes) {
        // Names and notes quote the module: never let them drive the terminal.
        std::fprintf(out_, "quillon-ota: %s (%s): %s\n",
                     tools::printable(m.name.empty() ? "(no name)" : m.name).c_str(), m.identifier.c_str(),
                     tools::printable(note).c_str());
      }
      std::fflush(out_);
    }
    if (reads_->finished() && !finished()) status_ = kExitSuccess;
  }

  const ToolOptions& options_;
  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  JsonEvents* json_;
  std::FILE* out_;
  HangUp hang_up_;
  std::shared_ptr<ModuleInformationReads> reads_;
  bool scanning_ = false;
  std::vector<ListedModule> modules_;
  std::optional<int> status_;
  std::string failure_;
};

}  // namespace

int list_modules(const ToolOptions& options, BLEManager& manager, const std::shared_ptr<RunLoop>& queue,
                 ScanFailureRelay& scan_failures, std::FILE* out,
                 std::function<void(const std::shared_ptr<CBPeripheral>&, std::function<void()>)> hang_up) {
  std::optional<JsonEvents> json;
  if (options.json) json.emplace(out);
  const auto remembered =
      FileUserDefaults(FileUserDefaults::standardLocation()).objectForKey(kLastConnectedPeripheralIdentifierKey);
  auto scan = std::make_shared<ModuleScan>(options, manager, queue, json ? &*json : nullptr, out, std::move(hang_up));
  {
    tools::StopSignalWatcher stop_signals([queue, weak = std::weak_ptr(scan)](int signal) {
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
  // The short connections are no module's use: the one remembered for
  // --retrieve stays the one connected before.
  if (!options.scan_only) {
    FileUserDefaults defaults(FileUserDefaults::standardLocation());
    if (remembered) {
      if (defaults.objectForKey(kLastConnectedPeripheralIdentifierKey) != remembered) {
        defaults.setObject_forKey(*remembered, kLastConnectedPeripheralIdentifierKey);
      }
    } else {
      defaults.removeObjectForKey(kLastConnectedPeripheralIdentifierKey);
    }
  }
  const int status = scan->status();
  const auto& modules = scan->modules();
  if (json) {
    JsonEvent listed = JsonEvent::array();
    for (const auto& m : modules) listed.push_back(json_fields(m));
    JsonEvent fields{{"modules", listed}, {"exit_status", status}};
    if (!scan->failure().empty()) fields["detail"] = scan->failure();
    json->emit("list", std::move(fields));
    return status;
  }
  if (!modules.empty()) {
    // Names come from the radio: never let one drive the terminal.
    const bool read = !options.scan_only;
    const bool serials = std::any_of(modules.begin(), modules.end(), [](const ListedModule& m) {
      return column(m, DeviceInformationField::SerialNumber) != "-";
    });
    std::string heading = tools::fit_columns("name", 24) + "  " + tools::fit_columns("identifier", 36) + "  RSSI    ";
    if (read) heading += "  " + tools::fit_columns("model", 16) + "  " + tools::fit_columns("firmware", 16);
    if (read && serials) heading += "  serial";
    std::fprintf(out, "%s\n", heading.substr(0, heading.find_last_not_of(' ') + 1).c_str());
    for (const auto& m : modules) {
      char rssi[16];
      if (m.rssi) std::snprintf(rssi, sizeof rssi, "%4d dBm", *m.rssi);
      else std::snprintf(rssi, sizeof rssi, "%-8s", "n/a");
      std::string row = tools::fit_columns(m.name.empty() ? "(no name)" : m.name, 24) + "  " +
                        tools::fit_columns(m.identifier, 36) + "  " + rssi;
      if (read) {
        row += "  " + tools::fit_columns(column(m, DeviceInformationField::ModelNumber), 16) + "  " +
               tools::fit_columns(column(m, DeviceInformationField::FirmwareRevision), 16);
      }
      if (read && serials) row += "  " + tools::fit_columns(column(m, DeviceInformationField::SerialNumber), 24);
      std::fprintf(out, "%s\n", row.substr(0, row.find_last_not_of(' ') + 1).c_str());
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
