#include "bluez_central_manager.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace quillon::bluez {
namespace {

constexpr char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
// How many times a Connect answer that a short wait usually cures is
// waited out, and how long each wait is.
constexpr unsigned kConnectRetries = 2;
constexpr auto kConnectRetryDelay = std::chrono::milliseconds(300);
// How often a connection being made ready reads the device's properties
// back, for the changes bluetoothd does not signal.
constexpr auto kReadyPollPeriod = std::chrono::milliseconds(500);
// How long a retry waits for a failed attempt's link to go down.
constexpr auto kLinkDownWait = std::chrono::seconds(3);
// How long service objects may lag behind ServicesResolved (they follow at
// once over LE, but a guest without KVM is slow).
constexpr auto kServicesGrace = std::chrono::seconds(3);
// How long a central that goes waits for bluetoothd to let go of its
// notification sockets, and how often it looks.
constexpr auto kNotifyReleaseWait = std::chrono::seconds(1);
constexpr auto kNotifyReleasePoll = std::chrono::milliseconds(10);

// bluetoothd takes a device with a public address whose advertisement does
// not say "BR/EDR Not Supported", or that it met over BR/EDR (it has a
// Class), for dual-mode, and its Connect may then choose BR/EDR (the bearer
// bonded, or seen last), where a module offers no GATT service.
bool dualMode(const Properties* device) {
  if (!device || property<std::string>(device, "AddressType").value_or("public") != "public") return false;
  if (property<std::int64_t>(device, "Class")) return true;
  const auto flags = property<Bytes>(device, "AdvertisingFlags");
  return flags && !flags->empty() && !((*flags)[0] & 0x04);
}

NSError busFailure(long code, const BusError& error) {
  return NSError{CBErrorDomain, code, error.name + ": " + error.message};
}

NSError disconnected() {
  return NSError{CBErrorDomain, CBErrorPeripheralDisconnected, "The specified device has disconnected from us."};
}

// A device's advertised UUIDs meet the scan's filter (absent: all).
bool passes(const CBUUIDFilter& filter, const std::vector<std::string>& uuids) {
  if (!filter) return true;
  for (const auto& text : uuids) {
    auto uuid = CBUUID::UUIDWithString(text);
    if (uuid && std::find(filter->begin(), filter->end(), *uuid) != filter->end()) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<BluezCentralManager> BluezCentralManager::create(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                                                 std::shared_ptr<RunLoop> queue,
                                                                 BluezOptions options) {
  auto central = std::shared_ptr<BluezCentralManager>(
      new BluezCentralManager(std::move(delegate), std::move(queue), std::move(options)));
  central->start();
  return central;
}

BluezCentralManager::BluezCentralManager(std::weak_ptr<CBCentralManagerDelegate> delegate,
                                         std::shared_ptr<RunLoop> queue, BluezOptions options)
    : delegate_(std::move(delegate)),
      queue_(std::move(queue)),
      options_(std::move(options)),
      adapterPath_("/org/bluez/" + options_.adapter),
      knownDevices_(options_.knownDevices) {
  if (!options_.log) options_.log = std::make_shared<StderrLogSink>();
}

BluezCentralManager::~BluezCentralManager() {
  releaseNotifySockets();
  // Stops the bus thread before the peripherals and the tree go.
  bus_.reset();
}

// bluetoothd 5.66 frees an AcquireNotify subscription when its client leaves
// the bus, and again when it then sees the socket hang up: a use-after-free
// that kills bluetoothd, seen in the test VM whenever a central went with a
// socket held on a live link. So the sockets are closed first, and the bus
// is left only once bluetoothd has let go of each (NotifyAcquired false), or
// after a second at most.
void BluezCentralManager::releaseNotifySockets() {
  if (!bus_) return;
  std::vector<std::string> released;
  for (auto& [path, peripheral] : peripherals_) {
    for (auto& characteristic : peripheral->releaseNotifySockets()) released.push_back(std::move(characteristic));
  }
  const auto giveUpAt = std::chrono::steady_clock::now() + kNotifyReleaseWait;
  for (const auto& path : released) {
    for (;;) {
      bool acquired = false;
      auto error = bus_->call(
          path, kProperties, "Get",
          [](sdbus::MethodCall& call) { call << std::string(kCharacteristicInterface) << std::string("NotifyAcquired"); },
          [&](sdbus::MethodReply& reply) {
            sdbus::Variant value;
            reply >> value;
            acquired = value.get<bool>();
          },
          kNotifyReleaseWait);
      if (error || !acquired || std::chrono::steady_clock::now() >= giveUpAt) break;
      std::this_thread::sleep_for(kNotifyReleasePoll);
    }
  }
}

void BluezCentralManager::log(const std::string& text) { options_.log->line("[BlueZ]" + text); }

void BluezCentralManager::start() {
  std::string error;
  bus_ = BluezBus::open(queue_, error);
  if (!bus_) {
    log("No system bus, Bluetooth is unavailable: " + error);
    state_ = CBManagerStateUnsupported;
    queue_->post([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self) return;
      if (auto delegate = self->delegate_.lock()) delegate->centralManagerDidUpdateState(*self);
    });
    return;
  }
  watchSignals();
  queue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->load();
  });
}

// Subscribes before loading the tree, so that no change falls between.
void BluezCentralManager::watchSignals() {
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  bus_->watch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'",
              [weak](sdbus::Message& message) -> std::function<void()> {
                sdbus::ObjectPath path;
                message >> path;
                auto interfaces = readInterfaces(message);
                return [weak, path = std::string(path), interfaces = std::move(interfaces)] {
                  if (auto self = weak.lock()) self->interfacesAdded(path, interfaces);
                };
              });
  bus_->watch(
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
      [weak](sdbus::Message& message) -> std::function<void()> {
        sdbus::ObjectPath path;
        std::vector<std::string> interfaces;
        message >> path >> interfaces;
        return [weak, path = std::string(path), interfaces = std::move(interfaces)] {
          if (auto self = weak.lock()) self->interfacesRemoved(path, interfaces);
        };
      });
  bus_->watch(
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
      [weak](sdbus::Message& message) -> std::function<void()> {
        std::string interface;
        std::map<std::string, sdbus::Variant> changed;
        std::vector<std::string> invalidated;
        message >> interface >> changed >> invalidated;
        return [weak, path = message.getPath(), interface, properties = toProperties(changed),
                invalidated = std::move(invalidated)] {
          if (auto self = weak.lock()) self->propertiesChanged(path, interface, properties, invalidated);
        };
      });
  // bluetoothd leaving the bus (a restart, a crash) ends every link and
  // scan at once, and its signals would never come: treat it as power-off.
  bus_->watch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
      "arg0='org.bluez'",
      [weak](sdbus::Message& message) -> std::function<void()> {
        std::string name, before, after;
        message >> name >> before >> after;
        return [weak, after] {
          auto self = weak.lock();
          if (!self) return;
          if (after.empty()) {
            self->bluezLeft();
          } else {
            self->load();
          }
        };
      });
}

void BluezCentralManager::load() {
  ManagedObjects objects;
  auto error = bus_->call("/", kObjectManager, "GetManagedObjects", {},
                          [&](sdbus::MethodReply& reply) { objects = readManagedObjects(reply); });
  if (error) {
    if (bluezPresent_ || !bluezEverSeen_) log("org.bluez is not on the system bus: " + error->name + ": " + error->message);
    bluezPresent_ = false;
    tree_.reset({});
  } else {
    bluezPresent_ = bluezEverSeen_ = true;
    tree_.reset(std::move(objects));
    if (!tree_.find(adapterPath_, kAdapterInterface)) log("No adapter " + options_.adapter);
  }
  updateState();
}

void BluezCentralManager::bluezLeft() {
  log("org.bluez left the system bus");
  bluezPresent_ = false;
  tree_.reset({});
  updateState();
}

// Recomputes the state; on a change away from PoweredOn every link drops
// with an error and a scan ends (it is not resumed by itself).
void BluezCentralManager::updateState() {
  CBManagerState next = CBManagerStateUnsupported;
  if (!bluezPresent_) {
    next = bluezEverSeen_ ? CBManagerStatePoweredOff : CBManagerStateUnsupported;
  } else if (const auto* adapter = tree_.find(adapterPath_, kAdapterInterface)) {
    next = property<bool>(adapter, "Powered").value_or(false) ? CBManagerStatePoweredOn : CBManagerStatePoweredOff;
  }
  if (next == state_) return;
  state_ = next;
  if (state_ != CBManagerStatePoweredOn) {
    // bluetoothd ends every client's discovery at power-off, and a restart
    // forgets them all.
    scanning_ = false;
    discoverySession_ = false;
    auto peripherals = peripherals_;
    for (auto& [path, peripheral] : peripherals) {
      if (peripheral->state() == CBPeripheralStateConnected) {
        linkLost(peripheral);
      } else if (peripheral->state() == CBPeripheralStateConnecting) {
        failConnect(peripheral, NSError{CBErrorDomain, CBErrorConnectionFailed, "Bluetooth is powered off."});
      }
    }
  }
  if (auto delegate = delegate_.lock()) delegate->centralManagerDidUpdateState(*this);
}

void BluezCentralManager::interfacesAdded(const std::string& path, const Interfaces& interfaces) {
  if (!bluezPresent_) return;
  tree_.add(path, interfaces);
  if (interfaces.count(kAdapterInterface)) updateState();
  if (interfaces.count(kDeviceInterface)) {
    reportDiscovered(path);
    if (findingAgain_.count(path)) {
      endFindAgain(path);
      auto it = peripherals_.find(path);
      if (it != peripherals_.end() && it->second->state() == CBPeripheralStateConnecting) {
        log("Found " + path + " again");
        connectAttempt(it->second);
      }
    }
  }
  if (interfaces.count(kServiceInterface)) {
    for (auto& [devicePath, peripheral] : peripherals_) {
      if (path.rfind(devicePath + "/", 0) == 0) checkReady(peripheral);
    }
  }
}

void BluezCentralManager::interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
  tree_.remove(path, interfaces);
  if (std::find(interfaces.begin(), interfaces.end(), kAdapterInterface) != interfaces.end()) updateState();
  if (std::find(interfaces.begin(), interfaces.end(), kDeviceInterface) == interfaces.end()) return;
  reported_.erase(path);
  auto it = peripherals_.find(path);
  if (it == peripherals_.end()) return;
  auto peripheral = it->second;
  if (peripheral->state() == CBPeripheralStateConnected) {
    linkLost(peripheral);
  } else if (peripheral->state() == CBPeripheralStateConnecting && !findingAgain_.count(path)) {
    // bluetoothd drops a temporary device whose attempt failed: the
    // connection goes on once it is heard again, within its time-out.
    findAgain(peripheral);
  }
}

void BluezCentralManager::propertiesChanged(const std::string& path, const std::string& interface,
                                            const Properties& changed, const std::vector<std::string>& invalidated) {
  if (!bluezPresent_) return;
  tree_.change(path, interface, changed, invalidated);
  if (interface == kAdapterInterface && path == adapterPath_) {
    updateState();
  } else if (interface == kDeviceInterface) {
    auto it = peripherals_.find(path);
    if (it != peripherals_.end()) {
      auto peripheral = it->second;
      const auto connected = property<bool>(&changed, "Connected");
      if (connected == false && peripheral->state() == CBPeripheralStateConnected) {
        linkLost(peripheral);
      } else if (connected == false && peripheral->state() == CBPeripheralStateConnecting) {
        linkDownWhileConnecting(peripheral);
      } else if (peripheral->state() == CBPeripheralStateConnecting) {
        checkReady(peripheral);
      }
    }
    for (const char* heard : {"RSSI", "ManufacturerData", "ServiceData", "UUIDs", "Name"}) {
      if (changed.count(heard)) {
        reportDiscovered(path);
        break;
      }
    }
  } else if (interface == kCharacteristicInterface) {
    if (auto value = property<Bytes>(&changed, "Value")) {
      for (auto& [devicePath, peripheral] : peripherals_) {
        if (path.rfind(devicePath + "/", 0) == 0) peripheral->valueChanged(path, *value);
      }
    }
  }
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::peripheralAt(const std::string& path,
                                                                   std::optional<std::string> address) {
  auto& slot = peripherals_[path];
  if (!slot) {
    if (!address) address = property<std::string>(tree_.find(path, kDeviceInterface), "Address");
    const NSUUID identifier = deviceIdentifier(adapterAddress(), address.value_or(path));
    if (address) knownDevices_.remember(identifier, *address);
    slot = std::make_shared<BluezPeripheral>(path, identifier, weak_from_this(), queue_);
  }
  return slot;
}

// The adapter's own address; its name until the adapter is known (no
// device is either).
std::string BluezCentralManager::adapterAddress() const {
  return property<std::string>(tree_.find(adapterPath_, kAdapterInterface), "Address").value_or(options_.adapter);
}

// `identifier` names the device at `address` through this adapter, as made
// now or, from the adapter's name, by earlier versions (kept by hosts as
// the last module they connected).
bool BluezCentralManager::madeFor(const NSUUID& identifier, const std::string& address) const {
  return deviceIdentifier(adapterAddress(), address) == identifier ||
         deviceIdentifier(options_.adapter, address) == identifier;
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::known(const std::shared_ptr<CBPeripheral>& peripheral) const {
  for (const auto& [path, mine] : peripherals_) {
    if (mine == peripheral) return mine;
  }
  return nullptr;
}

// A device heard while scanning (it appeared, or BlueZ updated what it
// advertises) becomes a discovery event, if it passes the filter, once per
// scan unless duplicates were asked for.
void BluezCentralManager::reportDiscovered(const std::string& path) {
  if (!scanning_) return;
  const Properties* device = tree_.find(path, kDeviceInterface);
  if (!device || property<std::string>(device, "Adapter") != adapterPath_) return;
  const auto rssi = property<std::int64_t>(device, "RSSI");
  if (!rssi) return;  // known to BlueZ, but not heard in this scan
  const auto uuids = property<std::vector<std::string>>(device, "UUIDs").value_or(std::vector<std::string>{});
  if (!passes(scanFilter_, uuids)) return;
  if (!allowDuplicates_ && !reported_.insert(path).second) return;

  AdvertisementDictionary advertisement;
  advertisement.localName = property<std::string>(device, "Name");
  for (const auto& text : uuids) {
    if (auto uuid = CBUUID::UUIDWithString(text)) advertisement.serviceUUIDs.push_back(*uuid);
  }
  // As the platform hands it over: the company identifier (little-endian), then the data.
  if (auto makers = property<std::map<std::uint16_t, Bytes>>(device, "ManufacturerData"); makers && !makers->empty()) {
    const auto& [company, bytes] = *makers->begin();
    NSData data{static_cast<std::uint8_t>(company & 0xFF), static_cast<std::uint8_t>(company >> 8)};
    data.insert(data.end(), bytes.begin(), bytes.end());
    advertisement.manufacturerData = std::move(data);
  }
  // Keyed by 128-bit UUID strings; CBUUID gives them their short forms.
  if (auto services = property<std::map<std::string, Bytes>>(device, "ServiceData")) {
    for (const auto& [text, bytes] : *services) {
      if (auto uuid = CBUUID::UUIDWithString(text)) advertisement.serviceData.emplace_back(*uuid, bytes);
    }
  }
  if (auto tx = property<std::int64_t>(device, "TxPower")) advertisement.txPowerLevel = static_cast<int>(*tx);
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
  auto error = bus_->call(adapterPath_, kAdapterInterface, "SetDiscoveryFilter", [&](sdbus::MethodCall& call) {
    std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("le"))},
                                                 {"DuplicateData", sdbus::Variant(true)}};
    if (!uuids.empty()) filter["UUIDs"] = sdbus::Variant(uuids);
    call << filter;
  });
  if (error) log("SetDiscoveryFilter failed: " + error->name + ": " + error->message);
  if ((error = startDiscovery())) {
    const NSError failure{CBErrorDomain, CBErrorUnknown,
                          "Bluetooth could not scan: " + options_.adapter + " did not start discovery (" +
                              error->name + ": " + error->message + ")"};
    log(failure.localizedDescription);
    queue_->post([weak = weak_from_this(), failure] {
      auto self = weak.lock();
      if (self && self->options_.scanFailed) self->options_.scanFailed(failure);
    });
    return;
  }
  scanning_ = true;
  // Devices BlueZ already hears are reported now, as a fresh scan would.
  for (const auto& path : tree_.withInterface(kDeviceInterface)) reportDiscovered(path);
}

void BluezCentralManager::stopScan() {
  if (!scanning_) return;
  scanning_ = false;
  if (findDiscovery_) return;  // still looking for a device to connect
  stopDiscovery();
}

// bluetoothd answers InProgress both to a client whose discovery already
// runs and to one whose discovery the kernel refused to start (it then
// drops that client's session), so the answer alone does not tell a scan
// that runs from one that never will: only an open session of our own
// does, and with one StartDiscovery is not asked again.
std::optional<BusError> BluezCentralManager::startDiscovery() {
  if (discoverySession_) return std::nullopt;
  auto error = bus_->call(adapterPath_, kAdapterInterface, "StartDiscovery", {});
  if (!error) discoverySession_ = true;
  return error;
}

void BluezCentralManager::stopDiscovery() {
  if (!discoverySession_) return;
  discoverySession_ = false;
  if (!bluezPresent_) return;
  if (auto error = bus_->call(adapterPath_, kAdapterInterface, "StopDiscovery", {})) {
    log("StopDiscovery failed: " + error->name + ": " + error->message);
  }
}

std::vector<std::shared_ptr<CBPeripheral>> BluezCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<NSUUID>& identifiers) {
  std::vector<std::shared_ptr<CBPeripheral>> found;
  for (const auto& identifier : identifiers) {
    std::shared_ptr<BluezPeripheral> peripheral;
    for (const auto& path : tree_.children(kDeviceInterface, "Adapter", adapterPath_)) {
      const auto address = property<std::string>(tree_.find(path, kDeviceInterface), "Address");
      if (address && madeFor(identifier, *address)) {
        peripheral = peripheralAt(path);
        break;
      }
    }
    // Met before, since forgotten by bluetoothd: connecting looks for it.
    auto address = peripheral ? std::nullopt : knownDevices_.address(identifier);
    if (address && madeFor(identifier, *address)) {
      std::string path = adapterPath_ + "/dev_" + *address;
      std::replace(path.begin() + static_cast<std::ptrdiff_t>(adapterPath_.size()), path.end(), ':', '_');
      peripheral = peripheralAt(path, *address);
    }
    if (peripheral) found.push_back(peripheral);
  }
  return found;
}

void BluezCentralManager::connectPeripheral_options(const std::shared_ptr<CBPeripheral>& peripheral,
                                                    const std::optional<CBOptions>&) {
  auto mine = known(peripheral);
  if (!mine || mine->state() == CBPeripheralStateConnected || mine->state() == CBPeripheralStateConnecting) return;
  if (state_ != CBManagerStatePoweredOn) {
    queue_->post([weak = weak_from_this(), mine] {
      if (auto self = weak.lock()) {
        self->failConnect(mine, NSError{CBErrorDomain, CBErrorConnectionFailed, "Bluetooth is not powered on."});
      }
    });
    mine->setState(CBPeripheralStateConnecting);
    return;
  }
  // Many adapters hang or fail a connection made while they scan.
  if (scanning_) {
    log("Discovery stopped to connect");
    stopScan();
  }
  mine->setState(CBPeripheralStateConnecting);
  mine->retries = 0;
  mine->connectAnswered = false;
  const unsigned attempt = ++mine->attempt;
  // Delayed tasks hold the peripheral weakly: it holds the queue.
  queue_->post_after(options_.readyTimeout, [weak = weak_from_this(), weakPeripheral = std::weak_ptr(mine), attempt] {
    auto self = weak.lock();
    auto mine = weakPeripheral.lock();
    if (!self || !mine || mine->state() != CBPeripheralStateConnecting || mine->attempt != attempt) return;
    self->connectTimedOut(mine);
  });
  const Properties* device = tree_.find(mine->path(), kDeviceInterface);
  if (property<bool>(device, "Connected").value_or(false) &&
      property<bool>(device, "ServicesResolved").value_or(false)) {
    // Kept up by an earlier run or another program: no change will come.
    queue_->post([weak = weak_from_this(), mine] {
      if (auto self = weak.lock()) self->checkReady(mine);
    });
    return;
  }
  if (mine->disconnecting) {
    mine->connectWhenDown = true;
    return;
  }
  if (!device) {
    findAgain(mine);
    return;
  }
  connectAttempt(mine);
}

// A device that bluetoothd forgot cannot be connected until it is heard
// again: a discovery finds it (InterfacesAdded resumes the connection), and
// the connection's time-out bounds the search.
void BluezCentralManager::findAgain(const std::shared_ptr<BluezPeripheral>& peripheral) {
  log(peripheral->path() + " is no longer known to BlueZ; looking for it again");
  findingAgain_.insert(peripheral->path());
  if (findDiscovery_ || scanning_) return;
  auto error = bus_->call(adapterPath_, kAdapterInterface, "SetDiscoveryFilter", [](sdbus::MethodCall& call) {
    call << std::map<std::string, sdbus::Variant>{{"Transport", sdbus::Variant(std::string("le"))}};
  });
  if (error) log("SetDiscoveryFilter failed: " + error->name + ": " + error->message);
  if ((error = startDiscovery())) {
    // Nothing will find it: the connection fails now, with the reason.
    const NSError failure{CBErrorDomain, CBErrorConnectionFailed,
                          "Bluetooth could not scan for it: " + options_.adapter + " did not start discovery (" +
                              error->name + ": " + error->message + ")"};
    log(failure.localizedDescription);
    queue_->post([weak = weak_from_this(), peripheral, attempt = peripheral->attempt, failure] {
      auto self = weak.lock();
      if (self && peripheral->state() == CBPeripheralStateConnecting && peripheral->attempt == attempt) {
        self->failConnect(peripheral, failure);
      }
    });
    return;
  }
  findDiscovery_ = true;
}

void BluezCentralManager::endFindAgain(const std::string& path) {
  if (!findingAgain_.erase(path) || !findingAgain_.empty() || !findDiscovery_) return;
  findDiscovery_ = false;
  if (!scanning_) stopDiscovery();
}

// The link went down before it was usable: an attempt waiting for that
// starts now; an answered one (its link dropped before the services
// resolved, as an abort a moment after the connection event does) is made
// again, within the retries, rather than left to the time-out.
void BluezCentralManager::linkDownWhileConnecting(const std::shared_ptr<BluezPeripheral>& peripheral) {
  if (peripheral->retryWhenDown) {
    peripheral->retryWhenDown = false;
    connectAttempt(peripheral);
    return;
  }
  if (!peripheral->connectAnswered || peripheral->retries >= kConnectRetries) return;
  ++peripheral->retries;
  log("The link to " + peripheral->path() + " went down before it was ready, connecting again");
  connectAttempt(peripheral);
}

void BluezCentralManager::connectAttempt(const std::shared_ptr<BluezPeripheral>& peripheral) {
  // Being looked for: finding it makes the attempt.
  if (findingAgain_.count(peripheral->path())) return;
  ++peripheral->connectCalls;
  peripheral->connectAnswered = false;
  peripheral->retryWhenDown = false;
  preferLowEnergy(peripheral);
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  const unsigned attempt = peripheral->attempt;
  bus_->callAsync(
      peripheral->path(), kDeviceInterface, "Connect", {},
      [weak, peripheral, attempt](sdbus::MethodReply*, const BusError* error) -> std::function<void()> {
        std::optional<BusError> failed;
        if (error) failed = *error;
        return [weak, peripheral, attempt, failed] {
          auto self = weak.lock();
          if (!self || peripheral->state() != CBPeripheralStateConnecting || peripheral->attempt != attempt) return;
          if (!failed || isError(*failed, error_name::kAlreadyConnected)) {
            peripheral->connectAnswered = true;
            self->checkReady(peripheral);
            self->readBack(peripheral, attempt);
            return;
          }
          // The call's own time-out is the connection's: it may come
          // just before the time-out task does.
          if (unanswered(*failed)) {
            self->connectTimedOut(peripheral);
            return;
          }
          if (objectGone(*failed)) {
            if (!self->findingAgain_.count(peripheral->path())) self->findAgain(peripheral);
            return;
          }
          if (transient(*failed) && peripheral->retries < kConnectRetries) {
            ++peripheral->retries;
            self->log("Connect answered " + failed->name + " (" + failed->message + "), trying again");
            // A failed attempt leaves its link up for a moment (Connected
            // true, then the error, then false), and Connect on a link that
            // is still up answers success at once: try again once it is down.
            if (property<bool>(self->tree_.find(peripheral->path(), kDeviceInterface), "Connected").value_or(false)) {
              peripheral->retryWhenDown = true;
              // bluetoothd does not signal every change of Connected (seen
              // in the VM: an attempt then waited for good): a retry that
              // heard nothing goes ahead after a while all the same.
              self->queue_->post_after(kLinkDownWait, [weak, weakPeripheral = std::weak_ptr(peripheral), attempt,
                                                       calls = peripheral->connectCalls] {
                auto again = weak.lock();
                auto peripheral = weakPeripheral.lock();
                if (again && peripheral && peripheral->state() == CBPeripheralStateConnecting &&
                    peripheral->attempt == attempt && peripheral->connectCalls == calls && peripheral->retryWhenDown) {
                  again->connectAttempt(peripheral);
                }
              });
              return;
            }
            // Unless another Connect went meanwhile (the device was found again).
            self->queue_->post_after(kConnectRetryDelay, [weak, weakPeripheral = std::weak_ptr(peripheral), attempt,
                                                          calls = peripheral->connectCalls] {
              auto again = weak.lock();
              auto peripheral = weakPeripheral.lock();
              if (again && peripheral && peripheral->state() == CBPeripheralStateConnecting &&
                  peripheral->attempt == attempt && peripheral->connectCalls == calls) {
                again->connectAttempt(peripheral);
              }
            });
            return;
          }
          self->failConnect(peripheral, busFailure(CBErrorConnectionFailed, *failed));
        };
      },
      options_.readyTimeout);
}

// A dual-mode module is connected over LE where bluetoothd lets us choose
// (PreferredBearer, from 5.80; bluetoothd keeps the choice for the device).
// Calls go out in order, so the Connect that follows sees it.
void BluezCentralManager::preferLowEnergy(const std::shared_ptr<BluezPeripheral>& peripheral) {
  const Properties* device = tree_.find(peripheral->path(), kDeviceInterface);
  const auto preferred = property<std::string>(device, "PreferredBearer");
  if (!dualMode(device) || !preferred || *preferred == "le") return;
  log("Dual-mode " + peripheral->path() + ": PreferredBearer set to le (was " + *preferred +
      ") so that it connects over LE");
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  bus_->callAsync(
      peripheral->path(), kProperties, "Set",
      [](sdbus::MethodCall& call) {
        call << std::string(kDeviceInterface) << std::string("PreferredBearer") << sdbus::Variant(std::string("le"));
      },
      [weak](sdbus::MethodReply*, const BusError* error) -> std::function<void()> {
        if (!error) return {};
        return [weak, failed = *error] {
          if (auto self = weak.lock()) self->log("Setting PreferredBearer failed: " + failed.name + ": " + failed.message);
        };
      });
}

// Usable means connected, resolved, and the service objects exported
// (ServicesResolved can come before them). bluetoothd does not signal every
// change: when the ATT channel comes up before the kernel's connection
// event, the device becomes Connected without a PropertiesChanged (a Get
// says true) and the later event is dropped. So a successful Connect reply
// and ServicesResolved (only a connected device resolves) are evidence of
// the link too.
void BluezCentralManager::checkReady(const std::shared_ptr<BluezPeripheral>& peripheral) {
  if (peripheral->state() != CBPeripheralStateConnecting) return;
  const Properties* device = tree_.find(peripheral->path(), kDeviceInterface);
  if (!device) return;
  const bool resolved = property<bool>(device, "ServicesResolved").value_or(false);
  if (!resolved) return;
  if (tree_.children(kServiceInterface, "Device", peripheral->path()).empty()) {
    if (peripheral->connectAnswered && dualMode(device)) expectServices(peripheral);
    return;
  }
  if (!property<bool>(device, "Connected").value_or(false)) {
    if (!peripheral->connectAnswered) return;
    // The cache catches up with what bluetoothd did not signal, so that a
    // later Connected false is seen as the link going down.
    tree_.change(peripheral->path(), kDeviceInterface, {{"Connected", true}}, {});
  }
  if (peripheral->tableConfirmed != peripheral->attempt) {
    confirmTable(peripheral);
    return;
  }
  peripheral->setState(CBPeripheralStateConnected);
  if (auto delegate = delegate_.lock()) delegate->centralManager_didConnectPeripheral(*this, peripheral);
}

// ServicesResolved and the first service objects do not make the table
// whole: bluetoothd's object manager sends InterfacesAdded from an idle
// callback and batches property changes, so ServicesResolved can reach us
// before the last services do (a module would then look as if it lacked
// one). Its objects are registered by then, so GetManagedObjects lists
// them all: the link is usable once that answer is in the tree.
void BluezCentralManager::confirmTable(const std::shared_ptr<BluezPeripheral>& peripheral) {
  const unsigned attempt = peripheral->attempt;
  if (std::exchange(peripheral->tableAsked, attempt) == attempt) return;
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  std::weak_ptr<BluezPeripheral> weakPeripheral = peripheral;
  const std::string under = peripheral->path() + "/";
  bus_->callAsync(
      "/", kObjectManager, "GetManagedObjects", {},
      [weak, weakPeripheral, attempt, under](sdbus::MethodReply* reply, const BusError*) -> std::function<void()> {
        ManagedObjects objects;
        if (reply) objects = readManagedObjects(*reply);
        return [weak, weakPeripheral, attempt, under, objects = std::move(objects)] {
          auto self = weak.lock();
          auto peripheral = weakPeripheral.lock();
          if (!self || !peripheral || peripheral->state() != CBPeripheralStateConnecting ||
              peripheral->attempt != attempt) {
            return;
          }
          for (const auto& [path, interfaces] : objects) {
            if (path.rfind(under, 0) == 0) self->tree_.add(path, interfaces);
          }
          peripheral->tableConfirmed = attempt;
          self->checkReady(peripheral);
        };
      });
}

// Over LE the service objects follow ServicesResolved at once; a dual-mode
// module connected over BR/EDR resolves with none, and none will come: the
// connection fails then, with the reason, rather than at its time-out.
void BluezCentralManager::expectServices(const std::shared_ptr<BluezPeripheral>& peripheral) {
  const unsigned attempt = peripheral->attempt;
  if (std::exchange(servicesExpected_[peripheral->path()], attempt) == attempt) return;
  queue_->post_after(kServicesGrace, [weak = weak_from_this(), weakPeripheral = std::weak_ptr(peripheral), attempt] {
    auto self = weak.lock();
    auto peripheral = weakPeripheral.lock();
    if (!self || !peripheral || peripheral->state() != CBPeripheralStateConnecting || peripheral->attempt != attempt ||
        !self->tree_.children(kServiceInterface, "Device", peripheral->path()).empty()) {
      return;
    }
    self->disconnectLink(peripheral);
    self->failConnect(peripheral, NSError{CBErrorDomain, CBErrorConnectionFailed,
                                          "The link came up, but the module offers no GATT service over it."});
  });
}

// While an answered connection is not yet usable, the device's properties
// are read back now and then, since a change that decides it may never be
// signalled. Ends with the attempt (usable, failed, cancelled, timed out).
void BluezCentralManager::readBack(const std::shared_ptr<BluezPeripheral>& peripheral, unsigned attempt) {
  if (peripheral->state() != CBPeripheralStateConnecting || peripheral->attempt != attempt) return;
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  std::weak_ptr<BluezPeripheral> weakPeripheral = peripheral;
  bus_->callAsync(
      peripheral->path(), kProperties, "GetAll", [](sdbus::MethodCall& call) { call << std::string(kDeviceInterface); },
      [weak, weakPeripheral, attempt](sdbus::MethodReply* reply, const BusError*) -> std::function<void()> {
        if (!reply) return {};  // the object went away: its removal says so
        std::map<std::string, sdbus::Variant> values;
        *reply >> values;
        return [weak, weakPeripheral, attempt, properties = toProperties(values)] {
          auto self = weak.lock();
          auto peripheral = weakPeripheral.lock();
          if (!self || !peripheral || peripheral->state() != CBPeripheralStateConnecting ||
              peripheral->attempt != attempt || !self->tree_.find(peripheral->path(), kDeviceInterface)) {
            return;
          }
          self->tree_.change(peripheral->path(), kDeviceInterface, properties, {});
          self->checkReady(peripheral);
          self->queue_->post_after(kReadyPollPeriod, [weak, weakPeripheral, attempt] {
            auto again = weak.lock();
            auto peripheral = weakPeripheral.lock();
            if (again && peripheral) again->readBack(peripheral, attempt);
          });
        };
      });
}

// Not usable within readyTimeout: BlueZ stops trying, the host hears why.
void BluezCentralManager::connectTimedOut(const std::shared_ptr<BluezPeripheral>& peripheral) {
  disconnectLink(peripheral);
  failConnect(peripheral, NSError{CBErrorDomain, CBErrorConnectionTimeout, "The connection has timed out."});
}

// bluetoothd answers Disconnect once the link is down, which it holds up for
// 2 s first (DISCONNECT_TIMER); a Connect meanwhile is answered at once
// with the dying link. So a connection asked for meanwhile waits for the
// answer.
void BluezCentralManager::disconnectLink(const std::shared_ptr<BluezPeripheral>& peripheral) {
  peripheral->disconnecting = true;
  peripheral->connectWhenDown = false;
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  bus_->callAsync(peripheral->path(), kDeviceInterface, "Disconnect", {},
                  [weak, peripheral](sdbus::MethodReply*, const BusError*) -> std::function<void()> {
                    return [weak, peripheral] {
                      auto self = weak.lock();
                      peripheral->disconnecting = false;
                      for (auto& down : std::exchange(peripheral->whenDown, {})) down();
                      if (!self || !std::exchange(peripheral->connectWhenDown, false) ||
                          peripheral->state() != CBPeripheralStateConnecting) {
                        return;
                      }
                      if (self->tree_.find(peripheral->path(), kDeviceInterface)) {
                        self->connectAttempt(peripheral);
                      } else {
                        self->findAgain(peripheral);
                      }
                    };
                  });
}

void BluezCentralManager::failConnect(const std::shared_ptr<BluezPeripheral>& peripheral, NSError error) {
  endFindAgain(peripheral->path());
  // The link came up (or a BR/EDR one was refused) and no GATT service
  // followed: say what may be why.
  const Properties* device = tree_.find(peripheral->path(), kDeviceInterface);
  const bool noServices = error.code == CBErrorConnectionTimeout || peripheral->connectAnswered ||
                          mentions(error.localizedDescription, error_text::kBrConnection);
  if (noServices && dualMode(device) && property<std::string>(device, "PreferredBearer").value_or("") != "le") {
    error.localizedDescription +=
        " The module is a dual-mode device (a public address, and it does not advertise \"BR/EDR Not "
        "Supported\"), so bluetoothd may have connected it over classic Bluetooth (BR/EDR), where its GATT "
        "services are not offered. bluetoothd 5.80 or later connects it over LE (the backend sets PreferredBearer "
        "to \"le\"); with an older bluetoothd, remove the module's classic pairing.";
  }
  peripheral->setState(CBPeripheralStateDisconnected);
  if (auto delegate = delegate_.lock()) delegate->centralManager_didFailToConnectPeripheral_error(*this, peripheral, error);
}

void BluezCentralManager::linkLost(const std::shared_ptr<BluezPeripheral>& peripheral) {
  peripheral->setState(CBPeripheralStateDisconnected);
  if (auto delegate = delegate_.lock()) {
    delegate->centralManager_didDisconnectPeripheral_error(*this, peripheral, disconnected());
  }
}

void BluezCentralManager::cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) {
  auto mine = known(peripheral);
  if (!mine || mine->state() == CBPeripheralStateDisconnected) return;
  ++mine->attempt;  // a reply or time-out still on its way is for an attempt that ended
  endFindAgain(mine->path());
  mine->setState(CBPeripheralStateDisconnected);
  if (bus_ && bluezPresent_) {
    disconnectLink(mine);
    // The link is going: a connection asked for before BlueZ says so must
    // not take the old link for a usable one.
    tree_.change(mine->path(), kDeviceInterface, {{"Connected", false}, {"ServicesResolved", false}}, {});
  }
  queue_->post([weak = weak_from_this(), mine] {
    auto self = weak.lock();
    if (!self) return;
    if (auto delegate = self->delegate_.lock()) {
      delegate->centralManager_didDisconnectPeripheral_error(*self, mine, std::nullopt);
    }
  });
}

// RemoveDevice also disconnects, but the link is ended first as a host's
// cancel would be, so that the delegate hears of it in the usual way.
void BluezCentralManager::forget(const std::shared_ptr<BluezPeripheral>& peripheral,
                                 std::function<void(const std::optional<NSError>&)> done) {
  const auto answer = [this, &done](std::optional<NSError> error) {
    queue_->post([done = std::move(done), error] { done(error); });
  };
  if (!known(peripheral)) return answer(std::nullopt);
  if (peripheral->state() != CBPeripheralStateDisconnected) cancelPeripheralConnection(peripheral);
  if (!bus_ || !bluezPresent_) {
    return answer(NSError{CBErrorDomain, CBErrorUnknown, "org.bluez is not on the system bus."});
  }
  // RemoveDevice also deletes pairing keys: a module paired for printing
  // would lose its bond. bluetoothd keeps a paired device's services and
  // reads them again when the module indicates Service Changed (or its
  // database hash differs), as a module whose table changes must.
  const Properties* device = tree_.find(peripheral->path(), kDeviceInterface);
  if (property<bool>(device, "Paired").value_or(false) || property<bool>(device, "Bonded").value_or(false)) {
    log("Kept " + peripheral->path() + ": it is paired, and forgetting it would delete its keys; BlueZ reads its "
        "services again when the module indicates Service Changed");
    // Answered, as RemoveDevice is, once the link is down.
    if (peripheral->disconnecting) {
      peripheral->whenDown.push_back([done = std::move(done)] { done(std::nullopt); });
      return;
    }
    return answer(std::nullopt);
  }
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  bus_->callAsync(
      adapterPath_, kAdapterInterface, "RemoveDevice",
      [path = peripheral->path()](sdbus::MethodCall& call) { call << sdbus::ObjectPath(path); },
      [weak, path = peripheral->path(), done = std::move(done)](sdbus::MethodReply*,
                                                                 const BusError* error) -> std::function<void()> {
        std::optional<BusError> failed;
        if (error && !isError(*error, error_name::kDoesNotExist)) failed = *error;
        return [weak, path, done, failed] {
          if (auto self = weak.lock()) {
            if (failed) {
              self->log("RemoveDevice failed: " + failed->name + ": " + failed->message);
            } else {
              self->log("Removed " + path + "; its services are discovered afresh at the next connection");
            }
          }
          done(failed ? std::optional(busFailure(CBErrorUnknown, *failed)) : std::nullopt);
        };
      });
}

}  // namespace quillon::bluez
