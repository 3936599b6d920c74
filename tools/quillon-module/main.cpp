// quillon-module: this Linux machine's Bluetooth adapter as a printer's BLE
// data module, served through BlueZ, so that an app can be tested against a
// module on a real radio without a printer. See --help.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

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
  });
  // Two advertisements that bluetoothd rotates every second. An emulated
  // controller (btvirt) reports an advertisement once per scan start unless
  // its data changes, so a scanner started after the first report would
  // wait 10 to 20 s for the next; rotating two that differ (the second also
  // names FF00) gives it a fresh report every second. A real adapter
  // reports continually either way, and both carry the name and FF10.
  std::vector<std::unique_ptr<LeAdvertisement>> advertisements;
  advertisements.push_back(std::make_unique<LeAdvertisement>(
      *bus, std::string(kAdvertisementPath) + "0",
      LeAdvertisementConfig{.name = options.name, .service_uuids = {full_uuid("ff10")}, .duration_seconds = 1}, events));
  advertisements.push_back(std::make_unique<LeAdvertisement>(
      *bus, std::string(kAdvertisementPath) + "1",
      LeAdvertisementConfig{.name = options.name, .service_uuids = {full_uuid("ff10"), full_uuid("ff00")},
                            .duration_seconds = 1},
      events));

  BluezRegistration registration(*bus, options.adapter, events);
  std::vector<std::string> advertisement_paths;
  for (const auto& advertisement : advertisements) advertisement_paths.push_back(advertisement->path());
  int status = kExitSuccess;
  try {
    registration.begin(application.root(), advertisement_paths);
    if (const int signal = serve_until(*bus, signals, [&] { return registration.settled(); })) {
      registration.unregister();
      return options.once ? signal_status(signal) : kExitSuccess;
    }
    if (registration.failure()) {
      registration.unregister();
      return fail(*registration.failure());
    }
    events->logf("advertising as \"%s\" on %s", tools::printable(options.name).c_str(), options.adapter.c_str());
    std::printf("ready\n");
    std::fflush(stdout);

    const int signal = serve_until(*bus, signals, [&] { return ended.has_value(); });
    if (signal) {
      status = options.once ? signal_status(signal) : kExitSuccess;
    } else if (!ended->saved) {
      status = kExitNotSaved;
    } else {
      status = ended->succeeded() ? kExitSuccess : kExitTransferFailed;
    }
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "quillon-module: the system bus failed: %s: %s\n", e.getName().c_str(), e.getMessage().c_str());
    return kExitFailure;
  }
  registration.unregister();
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
