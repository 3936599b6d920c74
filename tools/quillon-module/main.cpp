// quillon-module: this Linux machine's Bluetooth adapter as a printer's BLE
// data module, served through BlueZ, so that an app can be tested against a
// module on a real radio without a printer. See --help.
#include <signal.h>

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
#include "stop_signals.h"
#include "terminal_text.h"
#include "verbose_log_sink.h"

namespace quillon::module_tool {
namespace {

constexpr char kApplicationRoot[] = "/org/quillon/module";
constexpr char kAdvertisementPath[] = "/org/quillon/advertisement";

int fail(const ServeFailure& failure) {
  std::fprintf(stderr, "quillon-module: %s\n", tools::printable(failure.message).c_str());
  return failure.status;
}

int signal_status(int signal) { return signal == SIGINT ? kExitInterrupted : kExitTerminated; }

// bluetoothd takes its name on the bus a moment before it exports its
// adapters: after a restart, wait for the adapter (up to 30 s).
std::optional<ServeFailure> wait_for_adapter(sdbus::IConnection& bus, const std::string& adapter,
                                             const StopSignals& signals, int& signal) {
  std::optional<ServeFailure> failure;
  for (int tries = 0; tries < 120; ++tries) {
    failure = check_adapter(bus, adapter);
    if (!failure || (signal = pause_for(signals, 250))) break;
  }
  return failure;
}

int serve(const ModuleOptions& options, const StopSignals& signals) {
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

  std::optional<TransferEnd> ended;
  ModuleTransfer transfer(options.module, events, detail, options.save_received);
  GattApplication application(*bus, kApplicationRoot, transfer, detail, [&](const TransferEnd& end) {
    if (options.once && !ended) ended = end;
  }, options.information);
  AcknowledgementHold hold(std::chrono::milliseconds(options.hold_ack_ms), detail);
  transfer.set_output(hold.wrap(application.ota_output()));
  application.on_ota_write([&hold](std::span<const std::uint8_t> packet) { hold.written(packet); });
  const auto timers = [&hold] { return hold.release_due(); };
  // One advertisement, on air for as long as the module serves. (Two that
  // bluetoothd rotated with a Duration were tried for emulated controllers,
  // which report an advertisement once per scan start: with extended
  // advertising each went off air for good when its Duration ended, so a
  // later scan found nothing.)
  std::vector<std::unique_ptr<LeAdvertisement>> advertisements;
  advertisements.push_back(std::make_unique<LeAdvertisement>(
      *bus, std::string(kAdvertisementPath) + "0",
      LeAdvertisementConfig{.name = options.name, .service_uuids = {full_uuid("ff10")}}, events));

  std::vector<std::string> advertisement_paths;
  for (const auto& advertisement : advertisements) advertisement_paths.push_back(advertisement->path());

  // bluetoothd forgets every registration when it stops. When it comes back
  // (a restart, an upgrade) the module registers again, as it did at start.
  bool bluez_returned = false;
  auto bus_daemon = sdbus::createProxy(*bus, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  bus_daemon->uponSignal("NameOwnerChanged")
      .onInterface("org.freedesktop.DBus")
      .call([&](const std::string& name, const std::string&, const std::string& owner) {
        if (name != "org.bluez") return;
        if (owner.empty()) {
          events->line("bluetoothd left the system bus; waiting for it to come back");
        } else {
          bluez_returned = true;
        }
      });
  bus_daemon->finishRegistration();

  std::unique_ptr<BluezRegistration> registration;
  const auto stopped = [&](int signal) {
    if (registration) registration->unregister();
    return options.once ? signal_status(signal) : kExitSuccess;
  };
  int status = kExitSuccess;
  try {
    for (;;) {
      registration = std::make_unique<BluezRegistration>(*bus, options.adapter, events);
      registration->begin(application.root(), advertisement_paths);
      if (const int signal = serve_until(*bus, signals, [&] { return registration->settled(); })) return stopped(signal);
      if (registration->failure()) {
        registration->unregister();
        return fail(*registration->failure());
      }
      events->logf("advertising as \"%s\" on %s", tools::printable(options.name).c_str(), options.adapter.c_str());
      std::printf("ready\n");
      std::fflush(stdout);

      bluez_returned = false;
      const int signal = serve_until(*bus, signals, [&] { return ended.has_value() || bluez_returned; }, timers);
      if (signal) return stopped(signal);
      if (ended) break;
      // What was registered went with the old bluetoothd.
      registration.reset();
      events->line("bluetoothd is back; registering again");
      int stop = 0;
      if (auto failure = wait_for_adapter(*bus, options.adapter, signals, stop)) {
        if (stop) return stopped(stop);
        return fail(*failure);
      }
      if (stop) return stopped(stop);
    }
    if (!ended->saved) {
      status = kExitNotSaved;
    } else {
      status = ended->succeeded() ? kExitSuccess : kExitTransferFailed;
    }
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "quillon-module: the system bus failed: %s: %s\n", e.getName().c_str(), e.getMessage().c_str());
    return kExitFailure;
  }
  registration->unregister();
  return status;
}

}  // namespace
}  // namespace quillon::module_tool

int main(int argc, char** argv) {
  using namespace quillon::module_tool;
  // Before anything else, so that no thread ever takes these signals.
  StopSignals signals;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_arguments(args);
  if (std::holds_alternative<HelpRequested>(parsed)) {
    std::fputs(usage_text().c_str(), stdout);
    return kExitSuccess;
  }
  if (std::holds_alternative<VersionRequested>(parsed)) {
    std::printf("quillon-module %s\n", QUILLON_MODULE_VERSION);
    return kExitSuccess;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "quillon-module: %s\nTry 'quillon-module --help'.\n",
                 quillon::tools::printable(error->message).c_str());
    return kExitUsage;
  }
  return serve(std::get<ModuleOptions>(parsed), signals);
}
