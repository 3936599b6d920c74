// quillon-ota: updates the firmware of the printer's BLE data module with
// QuillonLib, as a host app would: see update_session.h for the wiring of
// one module's update, fleet_run.h for many at once, and tool_options.cpp
// (--help) for what the command line offers.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "exit_status.h"
#include "fleet_board.h"
#include "fleet_run.h"
#include "fleet_summary.h"
#include "json_events.h"
#include "module_list.h"
#include "progress_display.h"
#include "quillon/bluez/bluez_backend.h"
#include "scan_failure_relay.h"
#include "signature_gate.h"
#include "simulated_module.h"
#include "main_opening.h"
#include "stop_signals.h"
#include "terminal_size.h"
#include "terminal_text.h"
#include "verbose_log_sink.h"
#include "tool_options.h"
#include "transfer_settlement.h"
#include "update_session.h"

using namespace quillon;
using namespace quillon::ota_tool;

namespace {

// BlueZ forgets an updated module once its link is down, 2 s after the
// disconnection as a rule; a module that rebooted can hold it up to the
// supervision time-out, which the run does not wait out.
constexpr std::chrono::seconds kForgettingWait{10};

// What --progress and --json ask for: with "auto", a bar on a terminal and
// lines otherwise.
ProgressStyle progress_style(const ToolOptions& options) {
  if (options.json) return ProgressStyle::None;
  switch (options.progress) {
    case ProgressMode::Bar: return ProgressStyle::Bar;
    case ProgressMode::Lines: return ProgressStyle::Lines;
    case ProgressMode::None: return ProgressStyle::None;
    case ProgressMode::Auto: break;
  }
  return isatty(STDOUT_FILENO) ? ProgressStyle::Bar : ProgressStyle::Lines;
}

// Bars and the summary table are fitted to the terminal's width, read at
// every redraw.
TerminalSize stdout_size() { return terminal_size(stdout); }

bool save_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

// The verdict of a run that updated one module, or of a fleet run that
// ended before any module was tried.
int end_run(Outcome outcome, const std::string& detail, JsonEvents* json, const ModulePlan* plan = nullptr) {
  if (json) {
    JsonEvent fields{{"outcome", outcome_name(outcome)},
                     {"exit_status", exit_status_for(outcome)},
                     {"summary", outcome_summary(outcome)},
                     {"detail", detail}};
    if (plan) add_plan_fields(fields, *plan);
    json->emit("verdict", std::move(fields));
  } else {
    std::printf("%s\n", tools::printable(verdict_line(outcome, detail)).c_str());
  }
  std::fflush(stdout);
  return exit_status_for(outcome);
}

// Ctrl-C and SIGTERM reach `run` on the main thread, where it finishes.
template <typename Run>
std::unique_ptr<tools::StopSignalWatcher> forward_stop_signals(const std::shared_ptr<RunLoop>& queue,
                                                               const std::shared_ptr<Run>& run) {
  return std::make_unique<tools::StopSignalWatcher>([queue, weak = std::weak_ptr(run)](int signal) {
    queue->post([weak, signal] {
      if (auto self = weak.lock()) self->abort(signal);
    });
  });
}

int update_one_module(const ToolOptions& options, BLEManager& manager, const std::shared_ptr<RunLoop>& queue,
                      const std::shared_ptr<LogSink>& ota_log, ScanFailureRelay& scan_failures,
                      const TransferSettlement& settlement, JsonEvents* json) {
  ProgressDisplay progress(stdout, progress_style(options), stdout_size);
  Outcome outcome;
  std::string detail;
  std::optional<ModulePlan> plan;
  {
    auto session = std::make_shared<UpdateSession>(options, manager, queue, ota_log, progress, json);
    // Leaving this scope removes a half-written download.
    auto stop_signals = forward_stop_signals(queue, session);
    scan_failures.forward_to(session);
    session->start();
    // Every path ends by itself: the find-and-connect time limit, the
    // download client's time-outs, then the transfer's watchdog.
    while (!session->finished()) {
      queue->run_until([&] { return session->finished(); }, std::chrono::hours(1));
    }
    outcome = session->outcome();
    detail = session->verdict_detail();
    plan = session->plan();
    // --save-received writes what the module got even when nothing was
    // sent (an empty file), so that "nothing was sent" can be checked. The
    // module is the one connected, else the one simulated (none with
    // --no-module).
    const auto simulated_ids = simulated_identifiers(options);
    const std::string module_id = !session->identifier().empty() ? session->identifier()
                                  : simulated_ids.empty()        ? std::string()
                                                                 : simulated_ids.front();
    if (options.save_received) {
      if (auto module = settlement.simulated.module(module_id)) {
        if (!save_bytes(*options.save_received, module->otaModule().image())) {
          std::fprintf(stderr, "quillon-ota: cannot write %s\n", options.save_received->c_str());
        }
      }
    }
    settlement.settle(*session, outcome, detail, [&progress](const std::string& text) { progress.message(text.c_str()); },
                      json);
  }
  settlement.wait_for_forgetting(*queue, kForgettingWait);
  return end_run(outcome, detail, json, plan ? &*plan : nullptr);
}

int update_fleet(const ToolOptions& options, BLEManager& manager, const std::shared_ptr<RunLoop>& queue,
                 ScanFailureRelay& scan_failures, const TransferSettlement& settlement, JsonEvents* json) {
  FleetBoard board(stdout, progress_style(options), &std::chrono::steady_clock::now, stdout_size);
  ProgressDisplay download(stdout, progress_style(options), stdout_size);
  FleetRun::Output output{
      .row = [&board](const std::string& identifier, const std::string& short_identifier,
                      const std::string& name) { return board.row(identifier, short_identifier, name); },
      .say = [&board](const std::string& text) { board.message(text.c_str()); },
      .download = &download,
      .json = json ? stdout : nullptr,
  };
  std::shared_ptr<FleetRun> run;
  {
    run = std::make_shared<FleetRun>(options, manager, queue, std::move(output),
                                     [&settlement](const UpdateSession& session, Outcome& outcome, std::string& detail,
                                                   const std::function<void(const std::string&)>& say,
                                                   JsonEvents* module_json, std::function<void()> released) {
                                       settlement.settle(session, outcome, detail, say, module_json,
                                                         std::move(released));
                                     });
    auto stop_signals = forward_stop_signals(queue, run);
    scan_failures.forward_to(run);
    run->start();
    while (!run->finished()) {
      queue->run_until([&] { return run->finished(); }, std::chrono::hours(1));
    }
    // The sessions that ended last are dropped from the queue.
    queue->run_until_idle();
  }
  settlement.wait_for_forgetting(*queue, kForgettingWait);
  board.finish();
  if (const auto& failure = run->failure()) return end_run(failure->first, failure->second, json);

  const auto& results = run->results();
  if (json) {
    json->emit("summary", fleet_summary(results, run->stopped()));
  } else {
    for (const auto& line : format_summary_table(results, line_columns(stdout_size()))) board.message(line.c_str());
    std::printf("%s\n", fleet_verdict_line(results, run->stopped()).c_str());
  }
  std::fflush(stdout);
  return fleet_exit_status(results, run->stopped());
}

// Checks the image's signature when trusted keys are configured, before
// any BLE backend exists: nothing is scanned or connected for an image that
// is refused. Returns the exit status of a run that ends here, or nothing,
// with `options` then those the run goes on with.
std::optional<int> check_signature(ToolOptions& options) {
  std::optional<JsonEvents> json;
  if (options.json) json.emplace(stdout);
  ProgressDisplay download(stdout, progress_style(options));
  auto queue = std::make_shared<RunLoop>();
  auto gate = std::make_shared<SignatureGate>(options, queue, download, json ? &*json : nullptr);
  gate->start();
  if (!gate->finished()) {
    // Downloads end by themselves (the HTTP client's time-outs), or by Ctrl-C.
    auto stop_signals = forward_stop_signals(queue, gate);
    while (!gate->finished()) queue->run_until([&] { return gate->finished(); }, std::chrono::hours(1));
  }
  download.end();
  const auto& result = gate->result();
  if (result.outcome != Outcome::Success) return end_run(result.outcome, result.detail, json ? &*json : nullptr);
  options = result.options;
  if (result.verdict && result.verdict->fields) {
    if (auto contradiction = take_signed_image_fields(*result.verdict->fields, options.versions.policy)) {
      std::fprintf(stderr, "quillon-ota: %s\n", contradiction->c_str());
      return end_run(Outcome::UsageError, *contradiction, json ? &*json : nullptr);
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that none of them takes the signals.
  tools::block_stop_signals();
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_arguments(args);
  const tools::ToolIdentity tool{
      .name = "quillon-ota",
      .version = QUILLON_OTA_VERSION,
      .usage = usage_text,
      // Every run ends with its verdict line, this one too.
      .on_usage_error = [](const std::string& message) {
        std::printf("%s\n", tools::printable(verdict_line(Outcome::UsageError, message)).c_str());
      }};
  if (const auto status = tools::answer_early(parsed, tool)) return *status;
  auto options = std::get<ToolOptions>(parsed);
  if (!options.list) {
    if (const auto status = check_signature(options)) return *status;
  }

  auto manager_log = std::make_shared<tools::VerboseLogSink>(options.verbose);
  auto ota_log = std::make_shared<tools::VerboseLogSink>(options.verbose);
  // The backend is picked here and the shared manager made with it, as a
  // host app would pick it with QUILLON_BLE_BACKEND.
  const BLEBackend backend = options.backend.value_or(BLEBackendFromEnvironment().value_or(BLEBackend::Sim));
  setenv("QUILLON_BLE_BACKEND", nameOf(backend), 1);
  SimulatedSetup simulated;
  std::shared_ptr<RunLoop> queue;
  ScanFailureRelay scan_failures;
  if (backend == BLEBackend::BlueZ) {
    bluez::BluezOptions bluez_options;
    bluez_options.adapter = options.adapter;
    bluez_options.log = manager_log;
    // --scan-timeout bounds connecting too; the backend must not give up first.
    bluez_options.readyTimeout =
        std::chrono::milliseconds(static_cast<long long>(options.scan_timeout_seconds * 1000));
    bluez_options.scanFailed = [&scan_failures](const NSError& error) {
      scan_failures.report(error.localizedDescription);
    };
    const BLEPlatform platform = bluez::makePlatform(bluez_options);
    queue = platform.mainQueue;
    registerBLEBackend(BLEBackend::BlueZ, [platform] { return platform; });
  } else {
    simulated = install_simulated_modules(options, manager_log);
    queue = simulated.world->queue();
  }

  if (options.list) {
    // BlueZ holds a link a while after it is cancelled; forgetting the
    // module is answered once the link is really down, and has the next run
    // read its services afresh, as after an update.
    std::function<void(const std::shared_ptr<CBPeripheral>&, std::function<void()>)> hang_up;
    if (backend == BLEBackend::BlueZ) {
      hang_up = [](const std::shared_ptr<CBPeripheral>& peripheral, std::function<void()> down) {
        bluez::forgetPeripheral(peripheral, [down = std::move(down)](const std::optional<NSError>&) { down(); });
      };
    }
    return list_modules(options, BLEManager::sharedInstance(), queue, scan_failures, stdout, std::move(hang_up));
  }
  std::optional<JsonEvents> json;
  if (options.json) json.emplace(stdout);
  auto& manager = BLEManager::sharedInstance();
  const TransferSettlement settlement{options, backend, simulated, manager_log};
  if (options.fleet()) return update_fleet(options, manager, queue, scan_failures, settlement, json ? &*json : nullptr);
  return update_one_module(options, manager, queue, ota_log, scan_failures, settlement, json ? &*json : nullptr);
}
