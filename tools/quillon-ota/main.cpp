// quillon-ota: updates the firmware of the printer's BLE data module with
// QuillonLib, as a host app would: see update_session.h for the wiring and
// tool_options.cpp (--help) for what the command line offers.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "exit_status.h"
#include "image_digest.h"
#include "json_events.h"
#include "progress_display.h"
#include "quillon/bluez/bluez_backend.h"
#include "simulated_module.h"
#include "stop_signal_watcher.h"
#include "tool_log_sink.h"
#include "tool_options.h"
#include "update_session.h"

using namespace quillon;
using namespace quillon::ota_tool;

namespace {

ProgressDisplay::Style progress_style(ProgressMode mode) {
  switch (mode) {
    case ProgressMode::Bar: return ProgressDisplay::Style::Bar;
    case ProgressMode::Lines: return ProgressDisplay::Style::Lines;
    case ProgressMode::None: return ProgressDisplay::Style::None;
    case ProgressMode::Auto: break;
  }
  return isatty(STDOUT_FILENO) ? ProgressDisplay::Style::Bar : ProgressDisplay::Style::Lines;
}

bool save_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

// What the module holds, compared with the image file: an Outcome to report
// instead of success, with its detail, or nothing when they match.
std::optional<std::pair<Outcome, std::string>> verify(const UpdateSession& session, const SimOtaModule& module,
                                                      JsonEvents* json) {
  const auto image = digest_file(session.image_file());
  if (!image) return std::pair{Outcome::ImageUnavailable, "cannot read " + session.image_file() + " to compare"};
  const ImageDigest received = digest_bytes(module.image());
  if (received != *image) {
    if (json) json->emit("verify", {{"match", false}, {"bytes", received.length}, {"sha256", received.sha256.hex()}});
    return std::pair{Outcome::VerifyMismatch, "module holds " + std::to_string(received.length) + " bytes, SHA-256 " +
                                                  received.sha256.hex() + "; image has " +
                                                  std::to_string(image->length) + " bytes, " + image->sha256.hex()};
  }
  if (json) {
    json->emit("verify", {{"match", true}, {"bytes", received.length}, {"sha256", received.sha256.hex()}});
  } else {
    std::printf("verify: the module holds exactly the image (%llu bytes, SHA-256 %s)\n",
                static_cast<unsigned long long>(received.length), received.sha256.hex().c_str());
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that none of them takes the signals.
  StopSignalWatcher::block_stop_signals();
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_arguments(args);
  if (std::holds_alternative<HelpRequested>(parsed)) {
    std::fputs(usage_text().c_str(), stdout);
    return kExitSuccess;
  }
  if (std::holds_alternative<VersionRequested>(parsed)) {
    std::printf("quillon-ota %s\n", QUILLON_OTA_VERSION);
    return kExitSuccess;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "quillon-ota: %s\nTry 'quillon-ota --help'.\n", error->message.c_str());
    std::printf("%s\n", verdict_line(Outcome::UsageError, error->message).c_str());
    return kExitUsage;
  }
  const auto& options = std::get<ToolOptions>(parsed);

  auto manager_log = std::make_shared<ToolLogSink>(options.verbose);
  auto ota_log = std::make_shared<ToolLogSink>(options.verbose);
  // The backend is picked here and the shared manager made with it, as a
  // host app would pick it with QUILLON_BLE_BACKEND.
  const BLEBackend backend = options.backend.value_or(BLEBackendFromEnvironment().value_or(BLEBackend::Sim));
  setenv("QUILLON_BLE_BACKEND", nameOf(backend), 1);
  SimulatedSetup simulated;
  std::shared_ptr<RunLoop> queue;
  if (backend == BLEBackend::BlueZ) {
    bluez::BluezOptions bluez_options;
    bluez_options.adapter = options.adapter;
    bluez_options.log = manager_log;
    const BLEPlatform platform = bluez::makePlatform(bluez_options);
    queue = platform.mainQueue;
    registerBLEBackend(BLEBackend::BlueZ, [platform] { return platform; });
  } else {
    simulated = install_simulated_module(options, manager_log);
    queue = simulated.world->queue();
  }

  std::optional<JsonEvents> json;
  if (options.json) json.emplace(stdout);
  ProgressDisplay progress(stdout, json ? ProgressDisplay::Style::None : progress_style(options.progress));
  auto& manager = BLEManager::sharedInstance();
  Outcome outcome;
  std::string detail;
  {
    auto session = std::make_shared<UpdateSession>(options, manager, queue, ota_log, progress, stdout,
                                                   json ? &*json : nullptr);
    // Ctrl-C and SIGTERM reach the session on the main thread; it finishes
    // there, and leaving this scope removes a half-written download.
    StopSignalWatcher stop_signals([queue, weak = std::weak_ptr(session)](int signal) {
      queue->post([weak, signal] {
        if (auto self = weak.lock()) self->abort(signal);
      });
    });
    session->start();
    // Every path ends by itself: the find-and-connect time limit, the
    // download client's time-outs, then the transfer's watchdog.
    while (!session->finished()) {
      queue->run_until([&] { return session->finished(); }, std::chrono::hours(1));
    }
    outcome = session->outcome();
    detail = session->detail();
    if (outcome == Outcome::Success) {
      char text[64];
      std::snprintf(text, sizeof text, " in %.1f s", session->transfer_seconds());
      detail += text;
    }
    // --save-received writes what the module got even when nothing was
    // sent (an empty file), so that "nothing was sent" can be checked.
    if (simulated.module && (options.save_received || (outcome == Outcome::Success && session->image_size() >= 0))) {
      const auto& module = simulated.module->otaModule();
      if (options.save_received && !save_bytes(*options.save_received, module.image())) {
        std::fprintf(stderr, "quillon-ota: cannot write %s\n", options.save_received->c_str());
      }
      if (outcome == Outcome::Success && options.verify) {
        if (auto failed = verify(*session, module, json ? &*json : nullptr)) std::tie(outcome, detail) = *failed;
      }
    }
    // The updated module may come back with another GATT table while
    // BlueZ still holds the old one: BlueZ forgets the device, and the
    // next run finds it by scanning and reads its services afresh.
    if (backend == BLEBackend::BlueZ && outcome == Outcome::Success) {
      if (auto error = bluez::forgetPeripheral(session->peripheral())) {
        manager_log->line("[BlueZ]The updated module could not be forgotten: " + error->localizedDescription);
      }
    }
    if (backend == BLEBackend::BlueZ && outcome == Outcome::Success && options.verify) {
      if (json) {
        json->emit("verify", {{"match", true}, {"bytes", session->image_size()}, {"sha256", nullptr}});
      } else {
        std::printf("verify: the module accepted all %lld bytes with their checksums; a real module cannot be read back\n",
                    static_cast<long long>(session->image_size()));
      }
    }
  }
  if (json) {
    json->emit("verdict", {{"outcome", outcome_name(outcome)},
                           {"exit_status", exit_status_for(outcome)},
                           {"summary", outcome_summary(outcome)},
                           {"detail", detail}});
  } else {
    std::printf("%s\n", verdict_line(outcome, detail).c_str());
  }
  std::fflush(stdout);
  return exit_status_for(outcome);
}
