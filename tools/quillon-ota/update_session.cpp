#include "update_session.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "expected_digest.h"
#include "quillon/net/curl_http_client.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "quillon/sim/sim_data_module.h"

namespace quillon::ota_tool {

UpdateSession::UpdateSession(ToolOptions options, BLEManager& manager, std::shared_ptr<RunLoop> queue,
                             std::shared_ptr<LogSink> ota_log, TransferView& progress, JsonEvents* json,
                             std::shared_ptr<WatchdogFactory> watchdogs)
    : options_(std::move(options)),
      manager_(manager),
      queue_(std::move(queue)),
      ota_log_(std::move(ota_log)),
      progress_(progress),
      json_(json) {
  OtaPlatform platform;
  platform.log = ota_log_;
  // The download's events, and with them START, arrive on the main queue.
  platform.main_queue = queue_;
  if (watchdogs) platform.watchdogs = std::move(watchdogs);
  if (options_.ca_file) {
    CurlHttpClient::Options http;
    http.ca_file = *options_.ca_file;
    platform.http = std::make_shared<CurlHttpClient>(http);
  }
  controller_ = std::make_unique<BLEOTAController>(std::move(platform));
}

UpdateSession::~UpdateSession() {
  // The manager outlives this session: it must not forward to our handler.
  auto& handlers = manager_.bleServices();
  std::erase(handlers, std::static_pointer_cast<BLEServiceHandler>(handler_));
  if (router_ && peripheral_ && router_->handlerForPeripheral(peripheral_->identifier()) == handler_) {
    router_->removeHandlerForPeripheral(peripheral_->identifier());
  }
  // Joins the watchdog; a time-out report it is making finds this session
  // gone (the controller holds it weakly) and goes nowhere.
  controller_.reset();
}

bool UpdateSession::prepare() {
  if (options_.sha256) {
    auto expected = expected_digest(*options_.sha256, options_.image, options_.image_is_url);
    if (auto* error = std::get_if<std::string>(&expected)) {
      finish(Outcome::UsageError, *error);
      return false;
    }
    controller_->setExpected_sha256(std::get<Sha256Digest>(expected));
  }
  if (!options_.image_is_url) {
    // No point in looking for the module with nothing to send it.
    std::string why_not;
    auto file = PosixFileImageHandle::open_for_reading(options_.image, &why_not);
    if (!file->is_open()) {
      finish(Outcome::ImageUnavailable, "cannot open " + options_.image + ": " + why_not);
      return false;
    }
    // An empty image would only tell the module to flash nothing.
    if (file->seek_to_end() == 0) {
      finish(Outcome::ImageUnavailable, "image is empty: " + options_.image);
      return false;
    }
    image_ = std::move(file);
  }
  return true;
}

void UpdateSession::make_handler() {
  std::weak_ptr<UpdateSession> weak = weak_from_this();
  handler_ = std::make_shared<OtaCharacteristicHandler>(OtaCharacteristicHandler::Callbacks{
      .ready =
          [weak] {
            if (auto self = weak.lock()) self->start_image();
          },
      .chunk =
          [weak](std::span<const std::uint8_t> chunk) {
            auto self = weak.lock();
            if (self && !self->finished()) self->controller_->pkt_received(chunk);
          },
      .failed =
          [weak](const std::string& why) {
            if (auto self = weak.lock()) self->finish(Outcome::LinkFailed, why);
          },
  });
  controller_->setDelegate(std::weak_ptr<BLEOTADelegate>(shared_from_this()));
}

void UpdateSession::start() {
  if (!prepare()) return;
  make_handler();
  manager_.bleServices().push_back(handler_);
  manager_.setDelegate(std::weak_ptr<BLEManagerDelegate>(shared_from_this()));
  arm_time_limit();
}

void UpdateSession::start_on(std::shared_ptr<CBPeripheral> peripheral, std::shared_ptr<BLEPeripheralRouter> router) {
  began_ = true;
  peripheral_ = std::move(peripheral);
  if (!prepare()) return;
  make_handler();
  router_ = std::move(router);
  router_->setHandler_forPeripheral(handler_, peripheral_->identifier());
  arm_time_limit();
  choose(peripheral_);
}

void UpdateSession::arm_time_limit() {
  std::weak_ptr<UpdateSession> weak = weak_from_this();
  const auto limit = std::chrono::milliseconds(static_cast<long long>(options_.scan_timeout_seconds * 1000));
  queue_->post_after(limit, [weak, limit] {
    auto self = weak.lock();
    if (!self || self->finished() || self->connected_) return;
    char seconds_text[32];
    std::snprintf(seconds_text, sizeof seconds_text, "%g", static_cast<double>(limit.count()) / 1000.0);
    const std::string seconds = seconds_text;
    if (!self->peripheral_) {
      self->manager_.stopScan();
      const std::string which = self->options_.module_ids.empty() ? "" : " " + self->options_.module_ids.front();
      self->finish(Outcome::ModuleNotFound, "no module" + which + " advertising " + sim::kOtaServiceUUID.UUIDString() +
                                                " was found within " + seconds + " s");
    } else {
      self->finish(Outcome::LinkFailed, "could not connect to the module within " + seconds + " s");
    }
  });
}

void UpdateSession::say(const std::string& text) {
  if (!json_) progress_.message(text.c_str());
}

void UpdateSession::announce(const std::string& text, const std::string& event, JsonEvent fields) {
  if (json_) {
    json_->emit(event, std::move(fields));
  } else {
    say(text);
  }
}

void UpdateSession::abort(int signal) {
  if (finished()) return;
  if (pending_success_) {
    finish(Outcome::Success, *pending_success_);
    return;
  }
  std::string detail = "stopped by the user ";
  if (image_ready_) {
    detail += "after " + std::to_string(sent_) + " of " + std::to_string(total_) + " bytes";
  } else if (download_shown_ || options_.image_is_url) {
    detail += "during the download, which is removed";
  } else {
    detail += "before the transfer began";
  }
  finish(signal == SIGTERM ? Outcome::Terminated : Outcome::Interrupted, std::move(detail));
}

void UpdateSession::watch_download() {
  queue_->post_after(std::chrono::milliseconds(100), [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->finished() || self->image_ready_) return;
    self->show_download(false);
    self->watch_download();
  });
}

void UpdateSession::show_download(bool final) {
  // The controller counts the bytes stored so far and, once the response
  // came, the length it announced.
  const std::int64_t bytes = controller_->file_current_length();
  const std::int64_t total = controller_->file_total_length();
  const std::int64_t shown = final ? total : bytes;
  if (!download_shown_) {
    if (shown <= 0 && total <= 0) return;
    download_shown_ = true;
    // Its speed counts from the request, not from the first bytes shown.
    progress_.begin(total, std::chrono::steady_clock::now() - download_started_);
  }
  progress_.update(shown);
  if (json_) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - download_started_).count();
    json_->progress("download", shown, total, seconds, final);
  }
  if (final) progress_.end();
}

void UpdateSession::didUpdateState(CBManagerState state) {
  if (finished()) return;
  switch (state) {
    case CBManagerStatePoweredOn:
      if (!began_) begin();
      break;
    case CBManagerStateUnsupported:
    case CBManagerStateUnauthorized:
    case CBManagerStatePoweredOff:
      finish(Outcome::LinkFailed, "Bluetooth is not available (central state " + std::to_string(state) + ")");
      break;
    default:
      break;  // unknown or resetting: another report follows
  }
}

void UpdateSession::scan_failed(const std::string& why) {
  if (began_ && !peripheral_ && !finished()) finish(Outcome::LinkFailed, why);
}

void UpdateSession::begin() {
  began_ = true;
  if (options_.retrieve) {
    // No list: the manager asks for the peripheral it stored at the last
    // connection.
    auto found = manager_.retrievePeripheralsWithIdentifiers(std::nullopt);
    if (found.empty()) {
      finish(Outcome::ModuleNotFound,
             "no remembered module to retrieve (none connected before, or out of range)");
      return;
    }
    announce("retrieved the remembered module " + found.front()->identifier().UUIDString(), "retrieved",
             {{"identifier", found.front()->identifier().UUIDString()}});
    choose(found.front());
    return;
  }
  announce("scanning for a module advertising " + sim::kOtaServiceUUID.UUIDString() + "...", "scanning",
           {{"service", sim::kOtaServiceUUID.UUIDString()}});
  manager_.scanForPeripherals(sim::kOtaServiceUUID.UUIDString());
}

void UpdateSession::didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                              const std::shared_ptr<BLEAdvertisementData>&,
                                                              int RSSI) {
  // Duplicates are reported while the scan runs; the first one wins.
  if (peripheral_ || finished()) return;
  if (!options_.module_ids.empty() && peripheral->identifier().UUIDString() != options_.module_ids.front()) return;
  manager_.stopScan();
  announce("found " + peripheral->name().value_or("(no name)") + " " + peripheral->identifier().UUIDString() +
               ", RSSI " + std::to_string(RSSI) + " dBm",
           "found",
           {{"name", peripheral->name().value_or("")},
            {"identifier", peripheral->identifier().UUIDString()},
            {"rssi", RSSI}});
  choose(peripheral);
}

void UpdateSession::choose(const std::shared_ptr<CBPeripheral>& peripheral) {
  peripheral_ = peripheral;
  handler_->watch(peripheral);
  manager_.connect(peripheral);
}

void UpdateSession::didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) {
  if (peripheral != peripheral_ || finished()) return;
  connected_ = true;
  announce("connected to " + module_name(), "connected", {{"name", module_name()}});
  manager_.discoverServices(peripheral);
}

void UpdateSession::didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                     const std::optional<NSError>& error) {
  if (peripheral != peripheral_ || finished()) return;
  finish(Outcome::LinkFailed, "could not connect: " + describe(error));
}

void UpdateSession::didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                  const std::optional<NSError>& error) {
  if (peripheral != peripheral_ || finished()) return;
  connected_ = false;
  if (reader_) reader_->linkLost(error);
  // The module took the image and went away before saying its new version.
  if (pending_success_) return;
  finish(Outcome::LinkFailed, "the module disconnected: " + describe(error));
}

void UpdateSession::linked() {
  if (linked_) return;
  linked_ = true;
  if (hooks_.linked) hooks_.linked();
}

namespace {

// How long a module has for its Device Information reads once connected.
constexpr std::chrono::seconds kModuleReadLimit{5};

}  // namespace

bool UpdateSession::asks_module() const {
  return options_.versions.policy.asks_modules() || options_.versions.dry_run;
}

void UpdateSession::start_image() {
  if (finished()) return;
  linked();
  if (!asks_module()) {
    send_image();
    return;
  }
  read_module([this](const DeviceInformationReadResult& read) { decide(read); });
}

void UpdateSession::read_module(std::function<void(const DeviceInformationReadResult&)> done) {
  // Every service was discovered before the OTA characteristic was found;
  // a module without Device Information among them has none, and asking it
  // again costs a round trip.
  const auto services = peripheral_->services().value_or(CBServiceList{});
  if (std::none_of(services.begin(), services.end(),
                   [](const auto& service) { return service->UUID() == kDeviceInformationServiceUUID; })) {
    queue_->post([weak = weak_from_this(), done = std::move(done)] {
      auto self = weak.lock();
      DeviceInformationReadResult none;
      none.ending = DeviceInformationReadResult::Ending::NoService;
      if (self && !self->finished()) done(none);
    });
    return;
  }
  reader_ = DeviceInformationReader::create(queue_);
  // The reader takes the module's GATT events while it reads; the OTA
  // handler has them back before anything is sent.
  const auto reader = std::static_pointer_cast<BLEServiceHandler>(reader_);
  const auto handler = std::static_pointer_cast<BLEServiceHandler>(handler_);
  const auto route = [this](const std::shared_ptr<BLEServiceHandler>& from, const std::shared_ptr<BLEServiceHandler>& to) {
    if (router_) {
      router_->setHandler_forPeripheral(to, peripheral_->identifier());
      return;
    }
    auto& handlers = manager_.bleServices();
    std::replace(handlers.begin(), handlers.end(), from, to);
  };
  route(handler, reader);
  reader_->read(peripheral_, kModuleReadLimit,
                [weak = weak_from_this(), route, reader, handler, done = std::move(done)](
                    const DeviceInformationReadResult& read) {
                  auto self = weak.lock();
                  if (!self) return;
                  // Not from inside the manager's walk over its handlers.
                  self->queue_->post([weak, route, reader, handler, done, read] {
                    auto again = weak.lock();
                    if (!again) return;
                    route(reader, handler);
                    again->reader_.reset();
                    if (!again->finished()) done(read);
                  });
                });
}

void UpdateSession::decide(const DeviceInformationReadResult& read) {
  ModulePlan plan;
  plan.facts = module_facts(read, kModuleReadLimit);
  plan.decision = decide_module_plan(plan.facts, options_.versions.policy);
  const auto& facts = plan.facts;
  const auto& decision = plan.decision;
  const auto or_null = [](const std::optional<std::string>& text) { return text ? JsonEvent(*text) : JsonEvent(nullptr); };
  announce("plan: model " + facts.model.value_or("-") + ", running " + facts.firmware_revision.value_or("(unknown)") +
               ": " + plan_action_name(decision.action) + " (" + decision.reason + ")",
           "plan",
           {{"identifier", identifier()},
            {"name", peripheral_->name().value_or("")},
            {"model", or_null(facts.model)},
            {"version", or_null(facts.firmware_revision)},
            {"action", plan_action_name(decision.action)},
            {"reason", decision.reason},
            {"dry_run", options_.versions.dry_run}});
  plan_ = std::move(plan);
  const auto& decision_made = plan_->decision;
  switch (decision_made.action) {
    case PlanAction::Skip: finish(Outcome::AlreadyCurrent, decision_made.reason); return;
    case PlanAction::Refuse: finish(Outcome::PolicyRefused, decision_made.reason); return;
    case PlanAction::Update: break;
  }
  if (options_.versions.dry_run) {
    finish(Outcome::Planned, decision_made.reason);
    return;
  }
  send_image();
}

void UpdateSession::finish_success(std::string detail) {
  transfer_ended_ = std::chrono::steady_clock::now();
  if (!plan_ || !connected_) {
    finish(Outcome::Success, std::move(detail));
    return;
  }
  // The module says what it runs now; a module that restarts at once
  // drops the link instead, and its new version stays unread.
  pending_success_ = std::move(detail);
  read_module([this](const DeviceInformationReadResult& read) {
    if (const auto* revision = read.find(DeviceInformationField::FirmwareRevision); revision && !revision->text().empty()) {
      plan_->new_version = revision->text();
    }
    finish(Outcome::Success, *pending_success_);
  });
}

void UpdateSession::send_image() {
  if (options_.image_is_url) {
    say("downloading " + options_.image);
    download_started_ = std::chrono::steady_clock::now();
    controller_->download_firmware_from_url(options_.image);
    watch_download();
    return;
  }
  controller_->download_firmware_from_file(std::move(image_));
}

void UpdateSession::ota_send_data(std::vector<std::uint8_t> packet) {
  if (finished()) return;
  handler_->write(packet);
}

void UpdateSession::ota_state_parameter(std::uint8_t state, std::int64_t parameter) {
  if (std::this_thread::get_id() == main_thread_) {
    on_report(state, parameter, false);
    return;
  }
  // The watchdog's time-out: act on it on the main thread, where everything
  // else about this session happens.
  queue_->post([weak = weak_from_this(), state, parameter] {
    if (auto self = weak.lock()) self->on_report(state, parameter, true);
  });
}

void UpdateSession::on_report(std::uint8_t state, std::int64_t parameter, bool from_watchdog_thread) {
  if (finished() || pending_success_) return;
  switch (state) {
    case OTA_STATE_STARTING:
      if (options_.image_is_url) show_download(true);
      image_ready_ = true;
      total_ = controller_->file_total_length();
      if (total_ == 0) {
        // Nothing goes to the module: finishing stops every packet here.
        finish(Outcome::ImageUnavailable, "image is empty: the download brought 0 bytes");
        return;
      }
      say(total_ >= 0 ? "sending " + std::to_string(total_) + " bytes to " + module_name()
                      : "sending the image (size unknown) to " + module_name());
      transfer_started_ = std::chrono::steady_clock::now();
      progress_.begin(total_);
      if (json_) json_->progress("transfer", 0, total_, 0, false);
      break;
    case OTA_STATE_STARTED: {
      // The module expects DATA packets of exactly the mtu it granted, so a
      // link that cannot carry them in one write would lose every one of
      // them without a word: end before the first is sent.
      const auto granted = static_cast<std::size_t>(controller_->mtu());
      const std::size_t carried =
          peripheral_ ? peripheral_->maximumWriteValueLengthForType(CBCharacteristicWriteWithoutResponse) : granted;
      if (granted > carried) {
        finish(Outcome::LinkFailed, "the module asks for packets of " + std::to_string(granted) +
                                        " bytes, but the link carries at most " + std::to_string(carried) +
                                        " bytes in one write (ATT MTU " + std::to_string(carried + 3) + ")");
      }
      break;
    }
    case OTA_STATE_DATAING:
      sent_ = parameter;
      progress_.update(parameter);
      if (json_) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - transfer_started_).count();
        json_->progress("transfer", parameter, total_, seconds, parameter == total_);
      }
      break;
    case OTA_STATE_COMPLETED: {
      Outcome outcome = classify_completion(parameter, from_watchdog_thread, image_ready_);
      // The controller's own failure to have the image, not the module's verdict.
      const auto failure = from_watchdog_thread ? std::nullopt : controller_->image_failure();
      if (failure) outcome = image_failure_outcome(*failure, outcome, parameter);
      std::string detail;
      switch (outcome) {
        case Outcome::Success:
          detail = std::to_string(sent_) + " bytes sent to " + module_name();
          break;
        case Outcome::ImageUnavailable:
          detail = failure ? failure->message : "download failed";
          break;
        case Outcome::DigestMismatch:
          detail = failure->detail + (options_.image_is_url ? "; the downloaded image was removed from the cache" : "");
          break;
        case Outcome::ChecksumFailure:
          detail = "a packet from the module did not match its checksum";
          break;
        case Outcome::TimedOut:
          detail = "no answer for over 3 s after " + std::to_string(sent_) + " of " + std::to_string(total_) + " bytes";
          break;
        default:
          detail = "its verdict was " + std::to_string(parameter);
          break;
      }
      if (outcome == Outcome::Success) {
        finish_success(std::move(detail));
        return;
      }
      finish(outcome, std::move(detail));
      break;
    }
    default:
      break;
  }
}

void UpdateSession::finish(Outcome outcome, std::string detail) {
  if (finished()) return;
  outcome_ = outcome;
  detail_ = std::move(detail);
  if (!pending_success_) transfer_ended_ = std::chrono::steady_clock::now();
  progress_.end();
  if (!router_) manager_.stopScan();
  if (peripheral_) manager_.disconnect(peripheral_);
  linked();
  if (hooks_.finished) {
    queue_->post([weak = weak_from_this()] {
      if (auto self = weak.lock(); self && self->hooks_.finished) self->hooks_.finished();
    });
  }
}

std::string UpdateSession::verdict_detail() const {
  if (outcome() != Outcome::Success) return detail_;
  char text[64];
  std::snprintf(text, sizeof text, " in %.1f s", transfer_seconds());
  std::string versions;
  if (plan_ && plan_->new_version) {
    versions = "; " + plan_->facts.firmware_revision.value_or("unknown") + " \u2192 " + *plan_->new_version;
  }
  return detail_ + text + versions;
}

double UpdateSession::transfer_seconds() const {
  if (!image_ready_) return 0;
  return std::chrono::duration<double>(transfer_ended_ - transfer_started_).count();
}

std::string UpdateSession::image_file() const {
  return options_.image_is_url ? controller_->address() : options_.image;
}

std::string UpdateSession::identifier() const {
  return peripheral_ ? peripheral_->identifier().UUIDString() : std::string();
}

std::string UpdateSession::module_name() const {
  if (!peripheral_) return "the module";
  return peripheral_->name().value_or(peripheral_->identifier().UUIDString());
}

}  // namespace quillon::ota_tool
