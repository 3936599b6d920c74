#include "fleet_run.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>

#include "expected_digest.h"
#include "identifier_abbreviation.h"
#include "image_digest.h"
#include "verbose_log_sink.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "quillon/sim/sim_data_module.h"

namespace quillon::ota_tool {

FleetRun::FleetRun(ToolOptions options, BLEManager& manager, std::shared_ptr<RunLoop> queue, Output output,
                   Settle settle)
    : options_(std::move(options)),
      manager_(manager),
      queue_(std::move(queue)),
      output_(std::move(output)),
      settle_(std::move(settle)) {
  if (output_.json) json_ = std::make_unique<JsonEvents>(output_.json);
}

FleetRun::~FleetRun() {
  auto& handlers = manager_.bleServices();
  std::erase(handlers, std::static_pointer_cast<BLEServiceHandler>(router_));
  // Sessions go first: each takes its handler off the router.
  for (auto& module : modules_) module->session.reset();
  if (prefetch_) prefetch_->cancel();
}

void FleetRun::say(const std::string& text) {
  if (!json_) output_.say(text);
}

void FleetRun::emit(const std::string& event, JsonEvent fields) {
  if (json_) json_->emit(event, std::move(fields));
}

std::string FleetRun::seconds_text() const {
  char text[32];
  std::snprintf(text, sizeof text, "%g", options_.scan_timeout_seconds);
  return text;
}

void FleetRun::start() {
  manager_.bleServices().push_back(router_);
  manager_.setDelegate(std::weak_ptr<BLEManagerDelegate>(shared_from_this()));
  prepare_image();
}

void FleetRun::prepare_image() {
  std::optional<Sha256Digest> expected;
  if (options_.sha256) {
    auto digest = expected_digest(*options_.sha256, options_.image, options_.image_is_url);
    if (auto* error = std::get_if<std::string>(&digest)) {
      fail(Outcome::UsageError, *error);
      return;
    }
    expected = std::get<Sha256Digest>(digest);
    // Every module's transfer checks it again, on the file it reads.
    sha256_hex_ = expected->hex();
  }
  if (options_.image_is_url) {
    say("downloading " + options_.image);
    prefetch_ = std::make_shared<ImagePrefetch>(queue_, std::make_shared<tools::VerboseLogSink>(options_.verbose),
                                                options_.ca_file);
    download_started_ = std::chrono::steady_clock::now();
    prefetch_->start(options_.image, expected, [this](ImagePrefetch::Result result) {
      if (!result.path.empty()) show_download(result.size, result.size, true);
      if (output_.download) output_.download->end();
      if (result.path.empty()) {
        fail(result.outcome, std::move(result.detail));
        return;
      }
      image_ready(std::move(result.path));
    });
    watch_download();
    return;
  }
  // No point in looking for modules with nothing to send them.
  std::string why_not;
  auto file = PosixFileImageHandle::open_for_reading(options_.image, &why_not);
  if (!file->is_open()) {
    fail(Outcome::ImageUnavailable, "cannot open " + options_.image + ": " + why_not);
    return;
  }
  if (file->seek_to_end() == 0) {
    fail(Outcome::ImageUnavailable, "image is empty: " + options_.image);
    return;
  }
  if (expected) {
    // Checked once here, so that a wrong image never connects a module.
    const auto actual = digest_file(options_.image);
    if (!actual) {
      fail(Outcome::ImageUnavailable, "cannot read " + options_.image);
      return;
    }
    if (actual->sha256 != *expected) {
      fail(Outcome::DigestMismatch, "expected " + expected->hex() + ", got " + actual->sha256.hex());
      return;
    }
  }
  image_ready(options_.image);
}

void FleetRun::watch_download() {
  queue_->post_after(std::chrono::milliseconds(100), [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->image_path_ || self->phase_ != Phase::Preparing || !self->prefetch_) return;
    self->show_download(self->prefetch_->bytes(), self->prefetch_->total(), false);
    self->watch_download();
  });
}

void FleetRun::show_download(std::int64_t bytes, std::int64_t total, bool final) {
  if (!download_shown_) {
    if (bytes <= 0 && total <= 0) return;
    download_shown_ = true;
    if (output_.download) output_.download->begin(total, std::chrono::steady_clock::now() - download_started_);
  }
  if (output_.download) output_.download->update(bytes);
  if (json_) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - download_started_).count();
    json_->progress("download", bytes, total, seconds, final);
  }
  if (final && output_.download) output_.download->end();
}

void FleetRun::image_ready(std::string path) {
  image_path_ = std::move(path);
  maybe_scan();
}

void FleetRun::didUpdateState(CBManagerState state) {
  if (phase_ == Phase::Done) return;
  switch (state) {
    case CBManagerStatePoweredOn:
      powered_on_ = true;
      maybe_scan();
      break;
    case CBManagerStateUnsupported:
    case CBManagerStateUnauthorized:
    case CBManagerStatePoweredOff: {
      powered_on_ = false;
      const std::string why = "Bluetooth is not available (central state " + std::to_string(state) + ")";
      if (phase_ != Phase::Updating) {
        fail(Outcome::LinkFailed, why);
        return;
      }
      // Running transfers lose their links and say so; the rest cannot begin.
      for (auto& module : modules_) {
        if (module->session) module->session->didUpdateState(state);
      }
      while (next_ < modules_.size()) record(*modules_[next_++], Outcome::LinkFailed, why);
      maybe_done();
      break;
    }
    default:
      break;  // unknown or resetting: another report follows
  }
}

void FleetRun::maybe_scan() {
  if (phase_ != Phase::Preparing || !image_path_ || !powered_on_) return;
  phase_ = Phase::Scanning;
  const std::string service = sim::kOtaServiceUUID.UUIDString();
  say("scanning for modules advertising " + service + " for " + seconds_text() + " s...");
  emit("scanning", {{"service", service}, {"seconds", options_.scan_timeout_seconds}});
  manager_.scanForPeripherals(service);
  const auto limit = std::chrono::milliseconds(static_cast<long long>(options_.scan_timeout_seconds * 1000));
  queue_->post_after(limit, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->end_scan();
  });
}

void FleetRun::didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                         const std::shared_ptr<BLEAdvertisementData>&, int RSSI) {
  if (phase_ != Phase::Scanning) return;
  const std::string identifier = peripheral->identifier().UUIDString();
  // Duplicates are reported while the scan runs.
  if (by_identifier_.contains(identifier)) return;
  const auto& named = options_.module_ids;
  if (!named.empty() && std::find(named.begin(), named.end(), identifier) == named.end()) return;
  auto module = std::make_unique<Module>();
  module->peripheral = peripheral;
  module->identifier = identifier;
  module->name = peripheral->name().value_or("");
  say("found " + (module->name.empty() ? std::string("(no name)") : module->name) + " " + identifier + ", RSSI " +
      std::to_string(RSSI) + " dBm");
  emit("found", {{"module", identifier}, {"name", module->name}, {"identifier", identifier}, {"rssi", RSSI}});
  by_identifier_[identifier] = module.get();
  modules_.push_back(std::move(module));
  if (!named.empty() && modules_.size() == named.size()) end_scan();
}

void FleetRun::end_scan() {
  if (phase_ != Phase::Scanning) return;
  manager_.stopScan();
  phase_ = Phase::Updating;
  if (modules_.empty() && options_.module_ids.empty()) {
    fail(Outcome::ModuleNotFound, "no module advertising " + sim::kOtaServiceUUID.UUIDString() +
                                      " was found within " + seconds_text() + " s");
    return;
  }
  std::vector<std::string> identifiers;
  for (const auto& module : modules_) identifiers.push_back(module->identifier);
  const auto short_identifiers = abbreviate_identifiers(identifiers);
  for (std::size_t i = 0; i < modules_.size(); ++i) modules_[i]->short_identifier = short_identifiers[i];
  if (!modules_.empty()) {
    say("updating " + std::to_string(modules_.size()) + (modules_.size() == 1 ? " module" : " modules") +
        ", up to " + std::to_string(options_.parallel) + " at once");
  }
  pump();
  maybe_done();
}

void FleetRun::pump() {
  while (phase_ == Phase::Updating && !stopped_ && !connecting_ && active_ < options_.parallel &&
         next_ < modules_.size()) {
    launch(*modules_[next_++]);
  }
}

void FleetRun::launch(Module& module) {
  module.view = output_.row(module.identifier, module.short_identifier, module.name);
  if (output_.json) {
    module.json = std::make_unique<JsonEvents>(output_.json, JsonEvent{{"module", module.identifier}});
  }
  // Every module's transfer reads the one image: the local file, or the
  // download in the cache.
  ToolOptions options = options_;
  options.image = *image_path_;
  options.image_is_url = false;
  options.sha256 = sha256_hex_;
  options.module_ids.clear();
  module.session = std::make_shared<UpdateSession>(std::move(options), manager_, queue_,
                                                   std::make_shared<tools::VerboseLogSink>(options_.verbose), *module.view,
                                                   module.json.get(), watchdogs_);
  Module* self_module = &module;
  std::weak_ptr<FleetRun> weak = weak_from_this();
  module.session->set_hooks({
      .linked =
          [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->connecting_ = false;
            // Not from inside the session's own event.
            self->queue_->post([weak] {
              if (auto again = weak.lock()) again->pump();
            });
          },
      .finished =
          [weak, self_module] {
            if (auto self = weak.lock()) self->session_finished(*self_module);
          },
  });
  connecting_ = true;
  ++active_;
  module.session->start_on(module.peripheral, router_);
}

void FleetRun::session_finished(Module& module) {
  if (!module.session || module.result) return;
  auto& session = *module.session;
  Outcome outcome = session.outcome();
  std::string detail = session.verdict_detail();
  TransferView& view = *module.view;
  // Not from inside the session's own event.
  auto released = [weak = weak_from_this(), queue = queue_] {
    queue->post([weak] {
      auto self = weak.lock();
      if (!self) return;
      --self->active_;
      self->pump();
      self->maybe_done();
    });
  };
  if (settle_) {
    settle_(session, outcome, detail, [&view](const std::string& text) { view.message(text.c_str()); },
            module.json.get(), std::move(released));
  } else {
    released();
  }
  record(module, outcome, std::move(detail), session.bytes_sent(), session.transfer_seconds(), session.plan());
  // Dropped from the queue: this runs inside the session's own hook. Its
  // controller (and watchdog) goes with it.
  queue_->post([session = std::move(module.session)] {});
}

void FleetRun::record(Module& module, Outcome outcome, std::string detail, std::int64_t bytes, double seconds,
                      std::optional<ModulePlan> plan) {
  ModuleResult result{module.identifier, module.name, outcome, std::move(detail), bytes, seconds, std::move(plan)};
  const std::string text = verdict_text(outcome, result.detail);
  if (json_) {
    JsonEvent fields = module_verdict(result);
    json_->emit("verdict", std::move(fields));
  } else if (module.view) {
    module.view->message(text.c_str());
  } else {
    say("[" + module.identifier + "] " + text);
  }
  module.result = std::move(result);
}

void FleetRun::maybe_done() {
  if (phase_ != Phase::Updating || active_ > 0 || next_ < modules_.size()) return;
  phase_ = Phase::Done;
  results_.clear();
  for (const auto& module : modules_) results_.push_back(*module->result);
  for (const auto& identifier : options_.module_ids) {
    if (by_identifier_.contains(identifier)) continue;
    const Outcome outcome = stopped_ ? *stopped_ : Outcome::ModuleNotFound;
    const std::string detail = stopped_ ? "stopped by the user before it was found"
                                        : "not found within " + seconds_text() + " s";
    results_.push_back({identifier, "", outcome, detail, 0, 0, std::nullopt});
  }
}

void FleetRun::fail(Outcome outcome, std::string detail) {
  if (phase_ == Phase::Done) return;
  manager_.stopScan();
  failure_ = {outcome, std::move(detail)};
  phase_ = Phase::Done;
}

void FleetRun::scan_failed(const std::string& why) {
  if (phase_ == Phase::Scanning) fail(Outcome::LinkFailed, why);
}

void FleetRun::abort(int signal) {
  if (phase_ == Phase::Done || stopped_) return;
  stopped_ = signal == SIGTERM ? Outcome::Terminated : Outcome::Interrupted;
  switch (phase_) {
    case Phase::Preparing: {
      if (prefetch_) prefetch_->cancel();
      fail(*stopped_, std::string("stopped by the user ") +
                          (options_.image_is_url ? "during the download, which is removed" : "before any module was found"));
      return;
    }
    case Phase::Scanning:
      manager_.stopScan();
      phase_ = Phase::Updating;
      break;
    default:
      break;
  }
  while (next_ < modules_.size()) {
    record(*modules_[next_++], *stopped_, "stopped by the user before the transfer began");
  }
  for (auto& module : modules_) {
    if (module->session) module->session->abort(signal);
  }
  maybe_done();
}

FleetRun::Module* FleetRun::module_of(const std::shared_ptr<CBPeripheral>& peripheral) {
  auto it = by_identifier_.find(peripheral->identifier().UUIDString());
  return it == by_identifier_.end() ? nullptr : it->second;
}

void FleetRun::didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) {
  auto* module = module_of(peripheral);
  if (module && module->session) module->session->didConnectPeripheral(peripheral);
}

void FleetRun::didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                const std::optional<NSError>& error) {
  auto* module = module_of(peripheral);
  if (module && module->session) module->session->didFailToConnectPeripheral_error(peripheral, error);
}

void FleetRun::didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                             const std::optional<NSError>& error) {
  auto* module = module_of(peripheral);
  if (module && module->session) module->session->didDisconnectPeripheral_error(peripheral, error);
}

}  // namespace quillon::ota_tool
