// Discovery sessions: the host's scan, and the discovery of our own that
// looks for a device bluetoothd forgot. Each client has one session in
// bluetoothd, shared by both (DiscoverySession, see its header).
#include "bluez_discovery_session.h"

#include <algorithm>
#include <utility>

#include "bluez_advertisement.h"
#include "bluez_central_manager.h"

namespace quillon::bluez {

DiscoverySession::DiscoverySession(BluezBus& bus, std::string adapterPath, Log log)
    : bus_(bus), adapterPath_(std::move(adapterPath)), log_(std::move(log)) {}

// bluetoothd answers InProgress both to a client whose discovery already
// runs and to one whose discovery the kernel refused to start (it then
// drops that client's session), so the answer alone does not tell a scan
// that runs from one that never will: only an open session of our own
// does, and with one StartDiscovery is not asked again. The filter is set
// either way.
void DiscoverySession::start(const Filter& filter, Answer answer) {
  switch (phase_) {
    case Phase::Off:
      setFilter(filter);
      waiting_.push_back(std::move(answer));
      sendStart();
      return;
    case Phase::Starting:
      setFilter(filter);
      stopDue_ = false;
      waiting_.push_back(std::move(answer));
      return;
    case Phase::On:
      setFilter(filter);
      answer(std::nullopt);
      return;
    case Phase::Stopping:
      deferredFilter_ = filter;
      startDue_ = true;
      waiting_.push_back(std::move(answer));
      return;
  }
}

void DiscoverySession::stop() {
  switch (phase_) {
    case Phase::Off:
      return;
    case Phase::Starting:
      stopDue_ = true;
      waiting_.clear();
      return;
    case Phase::On:
      sendStop();
      return;
    case Phase::Stopping:
      startDue_ = false;
      waiting_.clear();
      return;
  }
}

void DiscoverySession::forget() {
  ++epoch_;
  phase_ = Phase::Off;
  stopDue_ = startDue_ = false;
  waiting_.clear();
}

void DiscoverySession::setFilter(const Filter& filter) {
  std::weak_ptr<DiscoverySession> weak = weak_from_this();
  bus_.callAsync(
      adapterPath_, kAdapterInterface, "SetDiscoveryFilter", [&filter](sdbus::MethodCall& call) { call << filter; },
      [weak](sdbus::MethodReply*, const BusError* error) -> std::function<void()> {
        if (!error) return {};
        return [weak, failed = *error] {
          if (auto self = weak.lock()) self->log_("SetDiscoveryFilter failed: " + failed.name + ": " + failed.message);
        };
      });
}

void DiscoverySession::sendStart() {
  phase_ = Phase::Starting;
  call("StartDiscovery", &DiscoverySession::startAnswered);
}

void DiscoverySession::sendStop() {
  phase_ = Phase::Stopping;
  call("StopDiscovery", &DiscoverySession::stopAnswered);
}

void DiscoverySession::call(const char* method, Answered answered) {
  std::weak_ptr<DiscoverySession> weak = weak_from_this();
  bus_.callAsync(adapterPath_, kAdapterInterface, method, {},
                 [weak, answered, epoch = epoch_](sdbus::MethodReply*, const BusError* error) -> std::function<void()> {
                   std::optional<BusError> refused;
                   if (error) refused = *error;
                   return [weak, answered, epoch, refused] {
                     if (auto self = weak.lock()) ((*self).*answered)(epoch, refused);
                   };
                 });
}

void DiscoverySession::startAnswered(unsigned epoch, const std::optional<BusError>& refused) {
  if (epoch != epoch_) return;
  auto waiting = std::exchange(waiting_, {});
  if (refused) {
    phase_ = Phase::Off;
    stopDue_ = false;
  } else {
    phase_ = Phase::On;
    if (std::exchange(stopDue_, false)) sendStop();
  }
  // The phase is settled first: an answer may start or stop again.
  for (auto& answer : waiting) answer(refused);
}

void DiscoverySession::stopAnswered(unsigned epoch, const std::optional<BusError>& refused) {
  if (epoch != epoch_) return;
  // bluetoothd has closed the session whatever it answered ("No discovery
  // started" included).
  if (refused) log_("StopDiscovery failed: " + refused->name + ": " + refused->message);
  phase_ = Phase::Off;
  if (std::exchange(startDue_, false)) {
    setFilter(deferredFilter_);
    sendStart();
  }
}

// A device heard while scanning (it appeared, or BlueZ updated what it
// advertises) becomes a discovery event, if it passes the filter, once per
// scan unless duplicates were asked for.
void BluezCentralManager::reportDiscovered(const std::string& path) {
  if (!scanning_ || !discovery_ || discovery_->phase() != DiscoverySession::Phase::On) return;
  const Properties* device = tree_.find(path, kDeviceInterface);
  if (!device || property<std::string>(device, "Adapter") != adapterPath_) return;
  const auto rssi = property<std::int64_t>(device, "RSSI");
  if (!rssi) return;  // known to BlueZ, but not heard in this scan
  const auto uuids = property<std::vector<std::string>>(device, "UUIDs").value_or(std::vector<std::string>{});
  if (!passesFilter(scanFilter_, uuids)) return;
  if (!allowDuplicates_ && !reported_.insert(path).second) return;

  const AdvertisementDictionary advertisement = advertisementFrom(*device);
  auto peripheral = peripheralAt(path);
  if (auto delegate = delegate_.lock()) {
    delegate->centralManager_didDiscoverPeripheral_advertisementData_RSSI(*this, peripheral, advertisement,
                                                                          static_cast<int>(*rssi));
  }
}

void BluezCentralManager::scanForPeripheralsWithServices_options(const CBUUIDFilter& serviceUUIDs,
                                                                 const std::optional<CBOptions>& options) {
  if (state_ != CBManagerStatePoweredOn) {
    log("Scan not started, Bluetooth is not powered on");
    return;
  }
  scanFilter_ = serviceUUIDs;
  allowDuplicates_ = false;
  if (options) {
    auto it = options->find(CBCentralManagerScanOptionAllowDuplicatesKey);
    allowDuplicates_ = it != options->end() && it->second;
  }
  reported_.clear();
  std::vector<std::string> uuids;
  if (serviceUUIDs) {
    for (const auto& uuid : *serviceUUIDs) uuids.push_back(uuid.fullUUIDString());
  }
  DiscoverySession::Filter filter{{"Transport", sdbus::Variant(std::string("le"))},
                                  {"DuplicateData", sdbus::Variant(true)}};
  if (!uuids.empty()) filter["UUIDs"] = sdbus::Variant(uuids);
  scanning_ = true;
  const unsigned request = ++scanRequest_;
  discovery_->start(filter, [weak = weak_from_this(), request](const std::optional<BusError>& refused) {
    auto self = weak.lock();
    // A scan stopped or asked for again since has no answer of its own.
    if (!self || self->scanRequest_ != request) return;
    if (refused) {
      self->scanning_ = false;
      const NSError failure{CBErrorDomain, CBErrorUnknown,
                            "Bluetooth could not scan: " + self->options_.adapter + " did not start discovery (" +
                                refused->name + ": " + refused->message + ")"};
      self->log(failure.localizedDescription);
      self->queue_->post([weak, failure] {
        auto self = weak.lock();
        if (self && self->options_.scanFailed) self->options_.scanFailed(failure);
      });
      return;
    }
    // Devices BlueZ already hears are reported now, as a fresh scan would.
    for (const auto& path : self->tree_.withInterface(kDeviceInterface)) self->reportDiscovered(path);
  });
}

void BluezCentralManager::stopScan() {
  if (!scanning_) return;
  scanning_ = false;
  ++scanRequest_;
  if (findDiscovery_) return;  // still looking for a device to connect
  stopDiscovery();
}

void BluezCentralManager::stopDiscovery() {
  if (!discovery_) return;
  if (!bluezPresent_) {
    discovery_->forget();
    return;
  }
  discovery_->stop();
}

// A device that bluetoothd forgot cannot be connected until it is heard
// again: a discovery finds it (InterfacesAdded resumes the connection), and
// the connection's time-out bounds the search.
void BluezCentralManager::findAgain(const std::shared_ptr<BluezPeripheral>& peripheral) {
  log(peripheral->path() + " is no longer known to BlueZ; looking for it again");
  peripheral->connection().phase = ConnectPhase::FindingAgain;
  if (findDiscovery_ || scanning_) return;
  findDiscovery_ = true;
  discovery_->start({{"Transport", sdbus::Variant(std::string("le"))}},
                    [weak = weak_from_this()](const std::optional<BusError>& refused) {
                      auto self = weak.lock();
                      if (self && refused) self->findRefused(*refused);
                    });
}

// Nothing will find them: the connections looking fail now, with the
// reason (unless they all ended while StartDiscovery was on its way).
void BluezCentralManager::findRefused(const BusError& refused) {
  if (!findDiscovery_) return;
  findDiscovery_ = false;
  const NSError failure{CBErrorDomain, CBErrorConnectionFailed,
                        "Bluetooth could not scan for it: " + options_.adapter + " did not start discovery (" +
                            refused.name + ": " + refused.message + ")"};
  log(failure.localizedDescription);
  for (const auto& [path, peripheral] : peripherals_) {
    if (peripheral->connection().phase != ConnectPhase::FindingAgain) continue;
    queue_->post([weak = weak_from_this(), peripheral, generation = peripheral->connection().generation, failure] {
      auto self = weak.lock();
      if (self && self->live(*peripheral, generation)) self->failConnect(peripheral, failure);
    });
  }
}

// The device is found, or its connection ended: the discovery of our own
// ends once no other connection needs it.
void BluezCentralManager::endFindAgain(const std::shared_ptr<BluezPeripheral>& peripheral) {
  if (peripheral->connection().phase != ConnectPhase::FindingAgain) return;
  peripheral->connection().phase = ConnectPhase::Idle;
  const bool othersLooking = std::any_of(peripherals_.begin(), peripherals_.end(), [](const auto& entry) {
    return entry.second->connection().phase == ConnectPhase::FindingAgain;
  });
  if (othersLooking || !findDiscovery_) return;
  findDiscovery_ = false;
  if (!scanning_) stopDiscovery();
}

}  // namespace quillon::bluez
