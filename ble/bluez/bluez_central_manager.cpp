#include "bluez_central_manager.h"

#include <chrono>
#include <thread>
#include <utility>

#include "bluez_signals.h"

namespace quillon::bluez {
namespace {

// How long a central that goes waits for bluetoothd to let go of its
// notification sockets, and how often it looks.
constexpr auto kNotifyReleaseWait = std::chrono::seconds(1);
constexpr auto kNotifyReleasePoll = std::chrono::milliseconds(10);

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
          path, kPropertiesInterface, "Get",
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
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  discovery_ = std::make_shared<DiscoverySession>(*bus_, adapterPath_, [weak](const std::string& text) {
    if (auto self = weak.lock()) self->log(text);
  });
  watchBluezSignals(*bus_, BluezSignalHandlers{
                               [weak](const std::string& path, const Interfaces& interfaces) {
                                 if (auto self = weak.lock()) self->interfacesAdded(path, interfaces);
                               },
                               [weak](const std::string& path, const std::vector<std::string>& interfaces) {
                                 if (auto self = weak.lock()) self->interfacesRemoved(path, interfaces);
                               },
                               [weak](const std::string& path, const std::string& interface,
                                      const Properties& changed, const std::vector<std::string>& invalidated) {
                                 if (auto self = weak.lock()) {
                                   self->propertiesChanged(path, interface, changed, invalidated);
                                 }
                               },
                               // bluetoothd leaving the bus is power-off.
                               [weak](bool present) {
                                 auto self = weak.lock();
                                 if (!self) return;
                                 if (present) {
                                   self->load();
                                 } else {
                                   self->bluezLeft();
                                 }
                               },
                           });
  queue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->load();
  });
}

}  // namespace quillon::bluez
