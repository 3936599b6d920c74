#include "bluez_peripheral.h"


#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "quillon/ble/peripheral_errors.h"

namespace quillon::bluez {
namespace {

NSError attFailure(long code, const BusError& error) {
  return NSError{CBATTErrorDomain, code, error.name + ": " + error.message};
}

CBCharacteristicProperties propertiesFromFlags(const std::vector<std::string>& flags) {
  static const std::pair<const char*, CBCharacteristicProperties> kFlags[] = {
      {"broadcast", CBCharacteristicPropertyBroadcast},
      {"read", CBCharacteristicPropertyRead},
      {"write-without-response", CBCharacteristicPropertyWriteWithoutResponse},
      {"write", CBCharacteristicPropertyWrite},
      {"notify", CBCharacteristicPropertyNotify},
      {"indicate", CBCharacteristicPropertyIndicate},
      {"authenticated-signed-writes", CBCharacteristicPropertyAuthenticatedSignedWrites},
      {"extended-properties", CBCharacteristicPropertyExtendedProperties},
  };
  CBCharacteristicProperties properties = 0;
  for (const auto& flag : flags) {
    for (const auto& [name, bit] : kFlags) {
      if (flag == name) properties |= bit;
    }
  }
  return properties;
}

std::map<std::string, sdbus::Variant> writeOptions(const char* type) {
  return {{"type", sdbus::Variant(std::string(type))}};
}

using namespace std::chrono_literals;

// How often the write socket is looked at while bluetoothd still has
// packets in it to read.
constexpr auto kSocketReadPoll = 2ms;
// A WriteValue refused for a reason that passes on its own is sent again
// after this, for as long as kWriteRefusalPatience allows.
constexpr auto kWriteRetryDelay = 20ms;
constexpr auto kWriteRefusalPatience = 1s;

// Refusals that end by themselves: bluetoothd had not yet seen the write
// socket hang up, or another write on the characteristic was under way
// (another client's, as ours go one at a time).
bool refusalPasses(const BusError& error) {
  return isError(error, error_name::kInProgress) || writeSocketHeld(error);
}

}  // namespace

BluezPeripheral::BluezPeripheral(std::string path, NSUUID identifier, std::weak_ptr<PeripheralContext> context,
                                 std::shared_ptr<RunLoop> queue)
    : path_(std::move(path)), identifier_(identifier), context_(std::move(context)), queue_(std::move(queue)) {}

BluezPeripheral::~BluezPeripheral() { forgetGatt(); }

std::optional<std::string> BluezPeripheral::name() const {
  auto context = context_.lock();
  if (!context) return std::nullopt;
  return property<std::string>(context->tree().find(path_, kDeviceInterface), "Name");
}

// Runs `body` on the queue later with this peripheral and its central's context, if
// both are still there.
template <typename Body>
void BluezPeripheral::later(Body body) {
  queue_->post([weak = weak_from_this(), body = std::move(body)]() mutable {
    auto self = weak.lock();
    if (!self) return;
    auto context = self->context_.lock();
    if (context) body(*self, std::static_pointer_cast<CBPeripheral>(self), *context);
  });
}

void BluezPeripheral::setState(CBPeripheralState state) {
  state_ = state;
  if (state == CBPeripheralStateConnected) connection_.phase = ConnectPhase::Connected;
  if (state == CBPeripheralStateDisconnected) {
    connection_.phase = ConnectPhase::Idle;
    forgetGatt();
  }
}

void BluezPeripheral::disconnectAnswered() {
  connection_.disconnecting = false;
  for (auto& task : std::exchange(whenDown_, {})) task();
}

// After a disconnection what was discovered is stale: the module may come
// back (after a firmware update) with another GATT table.
void BluezPeripheral::forgetGatt() {
  for (auto& entry : characteristicEntries_) {
    entry.writeSocket.reset();
    entry.notifySocket.reset();
    entry.characteristic->setNotifying(false);
  }
  characteristicEntries_.clear();
  serviceEntries_.clear();
  services_.reset();
  mtuLogged_ = false;
  acquiredMtu_ = 0;
  wasFull_ = false;
}

BluezPeripheral::CharacteristicEntry* BluezPeripheral::entryFor(const std::shared_ptr<CBCharacteristic>& characteristic) {
  for (auto& entry : characteristicEntries_) {
    if (entry.characteristic == characteristic) return &entry;
  }
  return nullptr;
}

BluezPeripheral::CharacteristicEntry* BluezPeripheral::entryAt(const std::string& path) {
  for (auto& entry : characteristicEntries_) {
    if (entry.path == path) return &entry;
  }
  return nullptr;
}

const BluezPeripheral::ServiceEntry* BluezPeripheral::entryFor(const std::shared_ptr<CBService>& service) const {
  for (const auto& entry : serviceEntries_) {
    if (entry.service == service) return &entry;
  }
  return nullptr;
}

void BluezPeripheral::discoverServices(const CBUUIDFilter& serviceUUIDs) {
  later([filter = serviceUUIDs](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>& me,
                                PeripheralContext& context) {
    auto delegate = self.delegate();
    if (self.state_ != CBPeripheralStateConnected) {
      if (delegate) delegate->peripheral_didDiscoverServices(me, notConnectedError());
      return;
    }
    CBServiceList list;
    std::vector<ServiceEntry> entries;
    for (const auto& path : context.tree().children(kServiceInterface, "Device", self.path_)) {
      auto uuid = CBUUID::UUIDWithString(
          property<std::string>(context.tree().find(path, kServiceInterface), "UUID").value_or(""));
      if (!uuid || !passesFilter(filter, *uuid)) continue;
      std::shared_ptr<CBService> service;
      for (const auto& known : self.serviceEntries_) {
        if (known.path == path) service = known.service;
      }
      if (!service) service = std::make_shared<CBService>(*uuid, me);
      list.push_back(service);
      entries.push_back({path, service});
    }
    self.serviceEntries_ = std::move(entries);
    self.services_ = std::move(list);
    if (delegate) delegate->peripheral_didDiscoverServices(me, std::nullopt);
  });
}

void BluezPeripheral::discoverCharacteristics_forService(const CBUUIDFilter& characteristicUUIDs,
                                                         const std::shared_ptr<CBService>& service) {
  later([filter = characteristicUUIDs, service](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>& me,
                                                PeripheralContext& context) {
    auto delegate = self.delegate();
    const ServiceEntry* serviceEntry = self.entryFor(service);
    const bool connected = self.state_ == CBPeripheralStateConnected;
    if (!connected || !serviceEntry) {
      if (delegate) {
        delegate->peripheral_didDiscoverCharacteristicsForService_error(me, service,
                                                                        characteristicDiscoveryError(connected));
      }
      return;
    }
    CBCharacteristicList list;
    for (const auto& path : context.tree().children(kCharacteristicInterface, "Service", serviceEntry->path)) {
      const Properties* properties = context.tree().find(path, kCharacteristicInterface);
      auto uuid = CBUUID::UUIDWithString(property<std::string>(properties, "UUID").value_or(""));
      if (!uuid || !passesFilter(filter, *uuid)) continue;
      std::shared_ptr<CBCharacteristic> characteristic;
      for (const auto& known : self.characteristicEntries_) {
        if (known.path == path) characteristic = known.characteristic;
      }
      if (!characteristic) {
        const auto flags = property<std::vector<std::string>>(properties, "Flags").value_or(std::vector<std::string>{});
        characteristic = std::make_shared<CBCharacteristic>(*uuid, propertiesFromFlags(flags), service);
        CharacteristicEntry entry;
        entry.path = path;
        entry.characteristic = characteristic;
        self.characteristicEntries_.push_back(std::move(entry));
      }
      list.push_back(characteristic);
      self.logMtu(path);
    }
    service->setCharacteristics(std::move(list));
    if (delegate) delegate->peripheral_didDiscoverCharacteristicsForService_error(me, service, std::nullopt);
  });
}

// The ATT MTU is not a property of the device; BlueZ gives it per
// characteristic (MTU) or with AcquireWrite. Without either, 23 is all that
// can be assumed.
void BluezPeripheral::logMtu(const std::string& path) {
  if (mtuLogged_) return;
  auto context = context_.lock();
  if (!context) return;
  if (auto mtu = property<std::int64_t>(context->tree().find(path, kCharacteristicInterface), "MTU")) {
    context->log("ATT MTU " + std::to_string(*mtu) + " (characteristic MTU property)");
    mtuLogged_ = true;
  }
}

// bluetoothd refuses a PDU longer than the ATT MTU; for a write without
// response nobody hears of it (the socket's refusal is ignored, and a
// WriteValue "command" has no reply), so callers must know the limit.
std::size_t BluezPeripheral::maximumWriteValueLengthForType(CBCharacteristicWriteType type) const {
  if (type == CBCharacteristicWriteWithResponse) return 512;
  std::size_t mtu = acquiredMtu_;
  if (auto context = context_.lock()) {
    for (const auto& entry : characteristicEntries_) {
      if (auto known = property<std::int64_t>(context->tree().find(entry.path, kCharacteristicInterface), "MTU")) {
        mtu = static_cast<std::size_t>(*known);
        break;
      }
    }
  }
  // Without either, the ATT minimum is all that is sure.
  if (mtu < 23) mtu = 23;
  return mtu - 3;
}

void BluezPeripheral::readValueForCharacteristic(const std::shared_ptr<CBCharacteristic>& characteristic) {
  auto context = context_.lock();
  CharacteristicEntry* entry = entryFor(characteristic);
  if (!context || state_ != CBPeripheralStateConnected || !entry) {
    later([characteristic](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>& me, PeripheralContext&) {
      if (auto delegate = self.delegate()) delegate->peripheral_didUpdateValueForCharacteristic_error(me, characteristic, notConnectedError());
    });
    return;
  }
  std::weak_ptr<BluezPeripheral> weak = weak_from_this();
  context->bus().callAsync(
      entry->path, kCharacteristicInterface, "ReadValue",
      [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; },
      [weak, characteristic](sdbus::MethodReply* reply, const BusError* error) -> std::function<void()> {
        std::optional<NSError> failed;
        Bytes value;
        if (error) {
          failed = attFailure(CBATTErrorReadNotPermitted, *error);
        } else {
          *reply >> value;
        }
        return [weak, characteristic, failed, value = std::move(value)] {
          auto self = weak.lock();
          if (!self) return;
          if (!failed) characteristic->setValue(value);
          if (auto delegate = self->delegate()) {
            delegate->peripheral_didUpdateValueForCharacteristic_error(self, characteristic, failed);
          }
        };
      });
}

// Writes without response through AcquireWrite's socket, one packet per
// write. The socket is non-blocking: Full means the packet was not taken
// and must be sent again once the socket drains. WriteValue is no way
// round a full socket, as bluetoothd refuses it ("Write acquired") while
// the socket is held; only a socket that failed is given up.
BluezPeripheral::SocketSend BluezPeripheral::writeThroughSocket(CharacteristicEntry& entry, const NSData& data) {
  auto context = context_.lock();
  if (!context || !context->options().useAcquireWrite) return SocketSend::NoSocket;
  if (!entry.writeSocket && !entry.acquireTried) {
    entry.acquireTried = true;
    const Properties* properties = context->tree().find(entry.path, kCharacteristicInterface);
    if (!properties || !properties->count("WriteAcquired")) return SocketSend::NoSocket;
    sdbus::UnixFd fd;
    std::uint16_t mtu = 0;
    auto error = context->bus().call(
        entry.path, kCharacteristicInterface, "AcquireWrite",
        [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; },
        [&](sdbus::MethodReply& reply) { reply >> fd >> mtu; });
    if (error) {
      context->log("AcquireWrite failed, writing with WriteValue: " + error->name + ": " + error->message);
      return SocketSend::NoSocket;
    }
    entry.writeSocket = std::make_unique<WriteSocket>(UniqueFd(fd.release()));
    acquiredMtu_ = mtu;
    context->log("ATT MTU " + std::to_string(mtu) + " (AcquireWrite)");
    mtuLogged_ = true;
  }
  if (!entry.writeSocket) return SocketSend::NoSocket;
  switch (entry.writeSocket->send(data)) {
    case WriteSocket::Send::Sent:
      return SocketSend::Sent;
    case WriteSocket::Send::Full:
      return SocketSend::Full;
    case WriteSocket::Send::Failed:
      break;
  }
  context->log("AcquireWrite socket failed, writing with WriteValue");
  entry.writeSocket.reset();
  return SocketSend::NoSocket;
}

BluezPeripheral::Issued BluezPeripheral::issueWrite(CharacteristicEntry& entry, const NSData& data,
                                                    CBCharacteristicWriteType type) {
  auto context = context_.lock();
  if (!context) return Issued::Done;
  if (type == CBCharacteristicWriteWithoutResponse) {
    switch (writeThroughSocket(entry, data)) {
      case SocketSend::Sent:
        return Issued::Done;
      case SocketSend::Full:
        return Issued::SocketFull;
      case SocketSend::NoSocket:
        break;
    }
    context->bus().send(entry.path, kCharacteristicInterface, "WriteValue",
                         [&data](sdbus::MethodCall& call) { call << data << writeOptions("command"); });
    return Issued::Done;
  }
  entry.requestInFlight = true;
  writeOnceSocketIsRead({entry.path, entry.characteristic, data});
  return Issued::AwaitingAnswer;
}

BluezPeripheral::CharacteristicEntry* BluezPeripheral::entryOf(const WriteRequest& request) {
  CharacteristicEntry* entry = entryAt(request.path);
  return entry && entry->characteristic == request.characteristic ? entry : nullptr;
}

// bluetoothd refuses WriteValue while the write socket is held, and reads
// the socket and takes its hang-up on separate wake-ups, so a packet still
// in the socket when it is closed could be lost. Once bluetoothd has read
// them all (they are then queued for the link ahead of any request), the
// socket is let go and the write with response follows them in order. The
// next write without response acquires a new socket.
void BluezPeripheral::writeOnceSocketIsRead(WriteRequest request) {
  CharacteristicEntry* entry = entryOf(request);
  if (!entry) {
    writeRequestAnswered(request, notConnectedError());
    return;
  }
  if (entry->writeSocket) {
    if (entry->writeSocket->unread() > 0) {
      // A link that ends has bluetoothd close its end, which frees what it
      // did not read, so this ends too.
      queue_->post_after(kSocketReadPoll, [weak = weak_from_this(), request = std::move(request)]() mutable {
        if (auto self = weak.lock()) self->writeOnceSocketIsRead(std::move(request));
      });
      return;
    }
    entry->writeSocket.reset();
    entry->acquireTried = false;
  }
  request.giveUpAt = RunLoop::Clock::now() + kWriteRefusalPatience;
  sendWriteRequest(std::move(request));
}

void BluezPeripheral::sendWriteRequest(WriteRequest request) {
  auto context = context_.lock();
  if (!context) return;
  const std::string path = request.path;
  const NSData data = request.data;
  std::weak_ptr<BluezPeripheral> weak = weak_from_this();
  context->bus().callAsync(
      path, kCharacteristicInterface, "WriteValue",
      [&data](sdbus::MethodCall& call) { call << data << writeOptions("request"); },
      [weak, request = std::move(request)](sdbus::MethodReply*, const BusError* error) -> std::function<void()> {
        std::optional<BusError> refused;
        if (error) refused = *error;
        return [weak, request, refused] {
          auto self = weak.lock();
          if (!self) return;
          if (refused && refusalPasses(*refused) && RunLoop::Clock::now() < request.giveUpAt) {
            self->queue_->post_after(kWriteRetryDelay, [weak, request] {
              auto self = weak.lock();
              if (!self) return;
              if (self->entryOf(request)) {
                self->sendWriteRequest(request);
              } else {
                self->writeRequestAnswered(request, notConnectedError());
              }
            });
            return;
          }
          std::optional<NSError> failed;
          if (refused) failed = attFailure(CBATTErrorWriteNotPermitted, *refused);
          self->writeRequestAnswered(request, failed);
        };
      });
}

void BluezPeripheral::writeRequestAnswered(const WriteRequest& request, const std::optional<NSError>& error) {
  if (CharacteristicEntry* entry = entryOf(request)) entry->requestInFlight = false;
  if (auto delegate = this->delegate()) {
    delegate->peripheral_didWriteValueForCharacteristic_error(shared_from_this(), request.characteristic, error);
  }
  // Looked up again: the delegate may have ended the link.
  if (CharacteristicEntry* entry = entryOf(request)) drain(*entry);
}

// The main queue never blocks on the socket: a thread waits for it, and the
// queue sends the waiting packets again once it can.
void BluezPeripheral::waitForSocket(CharacteristicEntry& entry) {
  wasFull_ = true;
  std::weak_ptr<BluezPeripheral> weak = weak_from_this();
  entry.writeSocket->waitWritable(queue_, [weak, path = entry.path](bool hungUp) {
    auto self = weak.lock();
    if (!self) return;
    CharacteristicEntry* entry = self->entryAt(path);
    if (!entry || !entry->writeSocket) return;
    entry->writeSocket->stopWaiting();
    if (hungUp) {
      // bluetoothd let go of the socket too (WriteAcquired false), so
      // WriteValue carries what is left.
      if (auto context = self->context_.lock()) context->log("AcquireWrite socket hung up, writing with WriteValue");
      entry->writeSocket.reset();
    }
    self->drain(*entry);
  });
}

void BluezPeripheral::drain(CharacteristicEntry& entry) {
  const bool held = entry.notifyAnswersDue > 0 || (entry.writeSocket && entry.writeSocket->waiting()) || entry.requestInFlight;
  while (!held && !entry.pending.empty()) {
    const Issued issued = issueWrite(entry, entry.pending.front().data, entry.pending.front().type);
    if (issued == Issued::SocketFull) {
      waitForSocket(entry);
      return;
    }
    entry.pending.pop_front();
    if (issued == Issued::AwaitingAnswer) break;
  }
  // A socket that drained is news to the writer even when what waits
  // behind it is still held, for the writes it makes go into `pending`.
  if (wasFull_ && canSendWriteWithoutResponse()) {
    wasFull_ = false;
    if (auto delegate = this->delegate()) delegate->peripheralIsReadyToSendWriteWithoutResponse(shared_from_this());
  }
}

bool BluezPeripheral::canSendWriteWithoutResponse() const {
  for (const auto& entry : characteristicEntries_) {
    if (entry.writeSocket && entry.writeSocket->waiting()) return false;
  }
  return true;
}

void BluezPeripheral::writeValue_forCharacteristic_type(const NSData& data,
                                                        const std::shared_ptr<CBCharacteristic>& characteristic,
                                                        CBCharacteristicWriteType type) {
  auto context = context_.lock();
  CharacteristicEntry* entry = entryFor(characteristic);
  if (!context || state_ != CBPeripheralStateConnected || !entry) {
    if (type != CBCharacteristicWriteWithResponse) return;
    later([characteristic](BluezPeripheral& self, const std::shared_ptr<CBPeripheral>& me, PeripheralContext&) {
      if (auto delegate = self.delegate()) delegate->peripheral_didWriteValueForCharacteristic_error(me, characteristic, notConnectedError());
    });
    return;
  }
  // Behind waiting writes, whatever their way out, so that order holds;
  // behind a subscription not yet in place, which BlueZ makes over ATT
  // while the socket's packets would not wait for it; and behind a write
  // with response not answered yet, as bluetoothd refuses a second one
  // ("In Progress") and sends write commands ahead of a queued request.
  entry->pending.push_back({data, type});
  drain(*entry);
}

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
