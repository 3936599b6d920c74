// quillon-module: this Linux machine's Bluetooth adapter as a printer's BLE
// data module, served through BlueZ, so that an app can be tested against a
// module on a real radio without a printer. See --help.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "acknowledgement_hold.h"
#include "bluez_registration.h"
#include "gatt_application.h"
#include "le_advertisement.h"
#include "module_exit_status.h"
#include "module_options.h"
#include "module_transfer.h"
#include "serve_loop.h"
#include "main_opening.h"
#include "stop_signals.h"
#include "terminal_text.h"
#include "verbose_log_sink.h"

namespace quillon::module_tool {
namespace {

constexpr char kApplicationRoot[] = "/org/quillon/module";
// bluetoothd knows the one advertisement by this path.
constexpr char kAdvertisementPath[] = "/org/quillon/advertisement0";

int fail(const ServeFailure& failure) {
  std::fprintf(stderr, "quillon-module: %s\n", tools::printable(failure.message).c_str());
  return failure.status;
}

// bluetoothd takes its name on the bus a moment before it exports its
// adapters: after a restart, wait for the adapter (up to 30 s).
std::optional<ServeFailure> wait_for_adapter(sdbus::IConnection& bus, const std::string& adapter,
                                             const tools::StopSignals& signals, int& signal) {
  std::optional<ServeFailure> failure;
  for (int tries = 0; tries < 120; ++tries) {
    failure = check_adapter(bus, adapter);
    if (!failure || (signal = pause_for(signals, 250))) break;
  }
  return failure;
}

// What the module puts on the bus: its transfer, the GATT application that
// carries it (acknowledgements held back with --hold-ack) and its one
// advertisement, on air for as long as the module serves. (Two that
// bluetoothd rotated with a Duration were tried for emulated controllers,
// which report an advertisement once per scan start: with extended
// advertising each went off air for good when its Duration ended, so a later
// scan found nothing.)
class ServedModule {
 public:
  ServedModule(sdbus::IConnection& bus, const ModuleOptions& options, const std::shared_ptr<LogSink>& events,
               const std::shared_ptr<LogSink>& detail)
      : transfer_(options.module, events, detail, options.save_received),
        application_(bus, kApplicationRoot, transfer_, detail,
                     [this, once = options.once](const TransferEnd& end) {
                       if (once && !ended_) ended_ = end;
                     },
                     options.information),
        hold_(std::chrono::milliseconds(options.hold_ack_ms), detail),
        advertisement_(bus, kAdvertisementPath,
                       LeAdvertisementConfig{.name = options.name, .service_uuids = {full_uuid("ff10")}}, events) {
    transfer_.set_output(hold_.wrap(application_.ota_output()));
    application_.on_ota_write([this](std::span<const std::uint8_t> packet) { hold_.written(packet); });
  }

  // Registers the application and the advertisement with BlueZ.
  void register_with(BluezRegistration& registration) {
    registration.begin(application_.root(), {advertisement_.path()});
  }
  // Releases the acknowledgements that are due; when to call again (ms).
  int release_due() { return hold_.release_due(); }
  // With --once, how the transfer ended; nothing before.
  const std::optional<TransferEnd>& ended() const { return ended_; }

 private:
  std::optional<TransferEnd> ended_;
  ModuleTransfer transfer_;
  GattApplication application_;
  AcknowledgementHold hold_;
  LeAdvertisement advertisement_;
};

// bluetoothd forgets every registration when it stops; `returned` is set
// when it comes back (a restart, an upgrade), so that the module registers
// again, as it did at start.
std::unique_ptr<sdbus::IProxy> watch_bluez_return(sdbus::IConnection& bus, const std::shared_ptr<LogSink>& events,
                                                  bool& returned) {
  auto bus_daemon = sdbus::createProxy(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  bus_daemon->uponSignal("NameOwnerChanged")
      .onInterface("org.freedesktop.DBus")
      .call([&returned, events](const std::string& name, const std::string&, const std::string& owner) {
        if (name != "org.bluez") return;
        if (owner.empty()) {
          events->line("bluetoothd left the system bus; waiting for it to come back");
        } else {
          returned = true;
        }
      });
  bus_daemon->finishRegistration();
  return bus_daemon;
}

// The exit status of a --once run whose transfer ended.
int transfer_status(const TransferEnd& end) {
  if (!end.saved) return kExitNotSaved;
  return end.succeeded() ? kExitSuccess : kExitTransferFailed;
}

// Registers `module` and serves it, registering again whenever bluetoothd
// comes back, until a stop signal, or with --once the transfer's end.
int register_and_serve(sdbus::IConnection& bus, const ModuleOptions& options, ServedModule& module,
                       const tools::StopSignals& signals, const std::shared_ptr<LogSink>& events) {
  bool bluez_returned = false;
  const auto bus_daemon = watch_bluez_return(bus, events, bluez_returned);
  const auto timers = [&module] { return module.release_due(); };
  std::unique_ptr<BluezRegistration> registration;
  const auto stopped = [&](int signal) {
    if (registration) registration->unregister();
    return options.once ? tools::stop_signal_exit_status(signal) : kExitSuccess;
  };
  for (;;) {
    registration = std::make_unique<BluezRegistration>(bus, options.adapter, events);
    module.register_with(*registration);
    if (const int signal = serve_until(bus, signals, [&] { return registration->settled(); })) return stopped(signal);
    if (registration->failure()) {
      registration->unregister();
      return fail(*registration->failure());
    }
    events->logf("advertising as \"%s\" on %s", tools::printable(options.name).c_str(), options.adapter.c_str());
    std::printf("ready\n");
    std::fflush(stdout);

    bluez_returned = false;
    const int signal =
        serve_until(bus, signals, [&] { return module.ended().has_value() || bluez_returned; }, timers);
    if (signal) return stopped(signal);
    if (module.ended()) break;
    // What was registered went with the old bluetoothd.
    registration.reset();
    events->line("bluetoothd is back; registering again");
    int stop = 0;
    if (auto failure = wait_for_adapter(bus, options.adapter, signals, stop)) {
      if (stop) return stopped(stop);
      return fail(*failure);
    }
    if (stop) return stopped(stop);
  }
  registration->unregister();
  return transfer_status(*module.ended());
}

int serve(const ModuleOptions& options, const tools::StopSignals& signals) {
  // Event lines always; per-packet lines with --verbose.
  auto events = std::make_shared<tools::VerboseLogSink>(true);
  auto detail = std::make_shared<tools::VerboseLogSink>(options.verbose);

  std::unique_ptr<sdbus::IConnection> bus;
  try {
    bus = sdbus::createSystemBusConnection();
  } catch (const sdbus::Error& e) {
    return fail({kExitNoBluez, "no system bus: " + e.getMessage()});
  }
  if (auto failure = check_adapter(*bus, options.adapter)) return fail(*failure);
  ServedModule module(*bus, options, events, detail);
  try {
    return register_and_serve(*bus, options, module, signals, events);
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "quillon-module: the system bus failed: %s: %s\n", e.getName().c_str(), e.getMessage().c_str());
    return kExitFailure;
  }
}

}  // namespace
}  // namespace quillon::module_tool

int main(int argc, char** argv) {
  using namespace quillon::module_tool;
  // Before anything else, so that no thread ever takes these signals.
  quillon::tools::StopSignals signals;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_arguments(args);
  const quillon::tools::ToolIdentity tool{
      .name = "quillon-module", .version = QUILLON_MODULE_VERSION, .usage = usage_text};
  if (const auto status = quillon::tools::answer_early(parsed, tool)) return *status;
  return serve(std::get<ModuleOptions>(parsed), signals);
}
