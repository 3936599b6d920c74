// Subscribing to a characteristic's notifications: AcquireNotify's socket
// of our own where it is offered, StartNotify otherwise, and the values
// that reach the host either way.
#include <utility>

#include "bluez_peripheral.h"
#include "quillon/ble/peripheral_errors.h"

namespace quillon::bluez {

// Does not wait for BlueZ's answer (the main queue goes on), but writes to
// the characteristic made meanwhile are held until it comes, so that the
// subscription is in place before anything written next can make the
// device notify.
void BluezPeripheral::setNotifyValue_forCharacteristic(bool enabled,
                                                       const std::shared_ptr<CBCharacteristic>& characteristic) {
  auto context = context_.lock();
  CharacteristicEntry* entry = entryFor(characteristic);
  if (!context || state_ != CBPeripheralStateConnected || !entry) {
    later([characteristic](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>& me, PeripheralContext&) {
      if (auto delegate = self.delegate()) {
        delegate->peripheral_didUpdateNotificationStateForCharacteristic_error(me, characteristic, notConnectedError());
      }
    });
    return;
  }
  ++entry->notifyAnswersDue;
  const std::string path = entry->path;
  if (entry->notifySocket) {
    // Closing the socket is how bluetoothd learns that we stopped.
    if (!enabled) entry->notifySocket.reset();
    later([path, characteristic, enabled](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>&,
                                          PeripheralContext&) {
      self.subscriptionAnswered(path, characteristic, enabled, std::nullopt);
    });
    return;
  }
  const Properties* properties = context->tree().find(path, kCharacteristicInterface);
  if (enabled && properties && properties->count("NotifyAcquired")) {
    acquireNotify(path, characteristic, false);
  } else {
    startOrStopNotify(path, characteristic, enabled);
  }
}

namespace {

// bluetoothd hands every notification to each subscribed client's callback,
// and each one emits PropertiesChanged for Value: with another client
// subscribed through StartNotify, every value would reach us twice, and a
// repeated value cannot be told from a new one.
NSError sharedSubscription(const BusError& error, const std::string& how) {
  return NSError{CBATTErrorDomain, CBATTErrorWriteNotPermitted,
                 error.name + ": " + error.message + ": another program on this computer " + how +
                     " (bluetoothd does not say which), and bluetoothd would pass every notification on once per "
                     "subscriber, so repeated. Close other Bluetooth programs (GATT browsers, printer-status apps, "
                     "other apps that talk to the module), or wait until they let go, and try again."};
}

}  // namespace

void BluezPeripheral::acquireNotify(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                                    bool ownReleased) {
  auto context = context_.lock();
  if (!context) return;
  std::weak_ptr<BluezPeripheral> weak = weak_from_this();
  context->bus().callAsync(
      path, kCharacteristicInterface, "AcquireNotify",
      [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; },
      [weak, path, characteristic, ownReleased](sdbus::MethodReply* reply,
                                                const BusError* error) -> std::function<void()> {
        // Held so that a reply whose task never runs still closes its socket.
        auto fd = std::make_shared<sdbus::UnixFd>();
        std::uint16_t mtu = 0;
        std::optional<BusError> refused;
        if (error) {
          refused = *error;
        } else {
          *reply >> *fd >> mtu;
        }
        return [weak, path, characteristic, ownReleased, fd, mtu, refused] {
          auto self = weak.lock();
          if (!self) return;
          if (refused) {
            self->acquireNotifyRefused(path, characteristic, *refused, ownReleased);
          } else {
            self->notifyAcquired(path, characteristic, UniqueFd(fd->release()), mtu);
          }
        };
      });
}

void BluezPeripheral::notifyAcquired(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                                     UniqueFd fd, std::uint16_t mtu) {
  CharacteristicEntry* entry = entryAt(path);
  // A link that ended meanwhile took the entry with it (and bluetoothd
  // closed its end of the socket).
  if (!entry || entry->characteristic != characteristic) return;
  std::weak_ptr<BluezPeripheral> weak = weak_from_this();
  entry->notifySocket = std::make_unique<NotifySocket>(
      std::move(fd), queue_,
      [weak, path](const NSData& value) {
        if (auto self = weak.lock()) self->notifySocketValue(path, value);
      },
      [weak, path] {
        if (auto self = weak.lock()) self->notifySocketClosed(path);
      });
  if (auto context = context_.lock()) {
    context->log("AcquireNotify: notifications of " + characteristic->UUID().UUIDString() +
                 " come through a socket of our own (ATT MTU " + std::to_string(mtu) + ")");
  }
  subscriptionAnswered(path, characteristic, true, std::nullopt);
}

void BluezPeripheral::acquireNotifyRefused(const std::string& path,
                                           const std::shared_ptr<CBCharacteristic>& characteristic,
                                           const BusError& error, bool ownReleased) {
  auto context = context_.lock();
  CharacteristicEntry* entry = entryAt(path);
  if (!context || !entry || entry->characteristic != characteristic) return;
  // bluetoothd refuses AcquireNotify (InProgress) while any client holds a
  // StartNotify subscription, ours from an earlier link included: ours is
  // ended and the socket asked for again.
  if (isError(error, error_name::kInProgress) && !ownReleased && context->holdsStartNotify(path)) {
    context->log("AcquireNotify refused while our own StartNotify subscription holds; ending it first");
    std::weak_ptr<BluezPeripheral> weak = weak_from_this();
    context->bus().callAsync(path, kCharacteristicInterface, "StopNotify", {},
                              [weak, path, characteristic](sdbus::MethodReply*, const BusError*) -> std::function<void()> {
                                return [weak, path, characteristic] {
                                  auto self = weak.lock();
                                  if (!self) return;
                                  if (auto context = self->context_.lock()) context->setHoldsStartNotify(path, false);
                                  self->acquireNotify(path, characteristic, true);
                                };
                              });
    return;
  }
  if (isError(error, error_name::kUnknownMethod) || isError(error, error_name::kNotSupported)) {
    context->log("AcquireNotify not offered (" + error.name + ": " + error.message + "); subscribing with StartNotify");
    startOrStopNotify(path, characteristic, true);
    return;
  }
  std::optional<NSError> failed;
  if (isError(error, error_name::kInProgress)) {
    failed = sharedSubscription(error, "is subscribed to " + characteristic->UUID().UUIDString() + " (StartNotify)");
  } else if (notifySocketHeld(error)) {
    failed = sharedSubscription(error, "holds the notifications of " + characteristic->UUID().UUIDString() +
                                           " (AcquireNotify)");
  } else {
    failed = attFailure(CBATTErrorWriteNotPermitted, error);
  }
  subscriptionAnswered(path, characteristic, true, failed);
}

void BluezPeripheral::startOrStopNotify(const std::string& path,
                                        const std::shared_ptr<CBCharacteristic>& characteristic, bool enabled) {
  auto context = context_.lock();
  if (!context) return;
  if (enabled && !context->holdsStartNotify(path) &&
      property<bool>(context->tree().find(path, kCharacteristicInterface), "Notifying").value_or(false)) {
    // Someone else's subscription keeps it notifying: ours would get every
    // value once more.
    const BusError others{error_name::kInProgress, error_text::kNotifying};
    later([path, characteristic, failed = sharedSubscription(
                                     others, "is subscribed to " + characteristic->UUID().UUIDString())](
              BluezPeripheral& self, const std::shared_ptr<CBPeripheral>&, PeripheralContext&) {
      self.subscriptionAnswered(path, characteristic, true, failed);
    });
    return;
  }
  std::weak_ptr<BluezPeripheral> weak = weak_from_this();
  context->bus().callAsync(
      path, kCharacteristicInterface, enabled ? "StartNotify" : "StopNotify", {},
      [weak, characteristic, enabled, path](sdbus::MethodReply*, const BusError* error) -> std::function<void()> {
        // Subscribing writes the client configuration descriptor.
        std::optional<NSError> failed;
        if (error) failed = attFailure(CBATTErrorWriteNotPermitted, *error);
        return [weak, characteristic, enabled, path, failed] {
          auto self = weak.lock();
          if (!self) return;
          if (auto context = self->context_.lock(); context && !failed) context->setHoldsStartNotify(path, enabled);
          self->subscriptionAnswered(path, characteristic, enabled, failed);
        };
      });
}

void BluezPeripheral::subscriptionAnswered(const std::string& path,
                                           const std::shared_ptr<CBCharacteristic>& characteristic, bool enabled,
                                           const std::optional<NSError>& failed) {
  CharacteristicEntry* entry = entryAt(path);
  // A link that ended meanwhile took the entry with it.
  if (!entry || entry->characteristic != characteristic) return;
  --entry->notifyAnswersDue;
  if (failed) {
    if (auto context = context_.lock()) {
      context->log(std::string(enabled ? "Subscribing failed: " : "StopNotify failed: ") +
                   failed->localizedDescription);
    }
  } else {
    characteristic->setNotifying(enabled);
  }
  if (auto delegate = this->delegate()) {
    delegate->peripheral_didUpdateNotificationStateForCharacteristic_error(shared_from_this(), characteristic, failed);
  }
  if ((entry = entryAt(path))) drain(*entry);
}

void BluezPeripheral::reportValue(const std::shared_ptr<CBCharacteristic>& characteristic, const NSData& value) {
  characteristic->setValue(value);
  if (auto delegate = this->delegate()) {
    delegate->peripheral_didUpdateValueForCharacteristic_error(shared_from_this(), characteristic, std::nullopt);
  }
}

// Values of a characteristic whose notifications come through our socket
// are not notifications: bluetoothd sends no PropertiesChanged for those, so
// a Value change is another client's read.
void BluezPeripheral::valueChanged(const std::string& path, const Bytes& value) {
  if (state_ != CBPeripheralStateConnected) return;
  CharacteristicEntry* entry = entryAt(path);
  if (!entry || entry->notifySocket || !entry->characteristic->isNotifying()) return;
  reportValue(entry->characteristic, value);
}

std::vector<std::string> BluezPeripheral::releaseNotifySockets() {
  std::vector<std::string> paths;
  for (auto& entry : characteristicEntries_) {
    if (!entry.notifySocket) continue;
    entry.notifySocket.reset();
    entry.characteristic->setNotifying(false);
    paths.push_back(entry.path);
  }
  return paths;
}

void BluezPeripheral::notifySocketValue(const std::string& path, const NSData& value) {
  CharacteristicEntry* entry = entryAt(path);
  if (state_ != CBPeripheralStateConnected || !entry || !entry->characteristic->isNotifying()) return;
  reportValue(entry->characteristic, value);
}

// bluetoothd closes the socket when the link ends (the disconnection, which
// it signals later, says so) or when any client calls StopNotify on the
// characteristic. Either way no notification comes any more; as with
// CoreBluetooth, the delegate hears of notification states only in answer
// to setNotifyValue.
void BluezPeripheral::notifySocketClosed(const std::string& path) {
  CharacteristicEntry* entry = entryAt(path);
  if (!entry || !entry->notifySocket) return;
  entry->notifySocket.reset();
  entry->characteristic->setNotifying(false);
  if (auto context = context_.lock()) {
    context->log("bluetoothd closed the notification socket of " + entry->characteristic->UUID().UUIDString() +
                 " (the link ended, or a client called StopNotify)");
  }
}

}  // namespace quillon::bluez
