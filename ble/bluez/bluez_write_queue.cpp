// Writes to a characteristic, in order: through AcquireWrite's socket where
// it is offered, WriteValue otherwise; writes wait in the characteristic's
// queue behind a full socket, a write with response not answered yet, or a
// subscription not in place yet.
#include <chrono>
#include <utility>

#include "bluez_peripheral.h"
#include "quillon/ble/peripheral_errors.h"

namespace quillon::bluez {
namespace {

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

// Writes without response through AcquireWrite's socket, one packet per
// write. The socket is non-blocking: Full means the packet was not taken
// and must be sent again once the socket drains. WriteValue is no way
// round a full socket, as bluetoothd refuses it ("Write acquired") while
// the socket is held; only a socket that failed is given up.
BluezPeripheral::SocketSend BluezPeripheral::writeThroughSocket(CharacteristicEntry& entry, const NSData& data) {
  auto context = context_.lock();
  if (!context || !context->options().useAcquireWrite) return SocketSend::NoSocket;
  if (!entry.writeSocket && entry.acquire == WriteAcquire::NotAsked) {
    const Properties* properties = context->tree().find(entry.path, kCharacteristicInterface);
    if (!properties || !properties->count("WriteAcquired")) {
      entry.acquire = WriteAcquire::Answered;
      return SocketSend::NoSocket;
    }
    acquireWrite(entry, *context);
  }
  if (entry.acquire == WriteAcquire::Asked) return SocketSend::Acquiring;
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

// The answer is unpacked on the bus's thread (the descriptor is ours from
// then on, closed if the answer is never used) and taken on the queue.
void BluezPeripheral::acquireWrite(CharacteristicEntry& entry, PeripheralContext& context) {
  entry.acquire = WriteAcquire::Asked;
  // The writer hears when writes are taken again.
  wasFull_ = true;
  std::weak_ptr<BluezPeripheral> weak = weak_from_this();
  context.bus().callAsync(
      entry.path, kCharacteristicInterface, "AcquireWrite",
      [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; },
      [weak, path = entry.path, characteristic = entry.characteristic](
          sdbus::MethodReply* reply, const BusError* error) -> std::function<void()> {
        auto fd = std::make_shared<UniqueFd>();
        std::uint16_t mtu = 0;
        std::optional<BusError> refused;
        if (reply) {
          sdbus::UnixFd received;
          *reply >> received >> mtu;
          *fd = UniqueFd(received.release());
        } else {
          refused = *error;
        }
        return [weak, path, characteristic, fd, mtu, refused] {
          if (auto self = weak.lock()) self->acquired(path, characteristic, std::move(*fd), mtu, refused);
        };
      });
}

void BluezPeripheral::acquired(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                               UniqueFd fd, std::uint16_t mtu, const std::optional<BusError>& refused) {
  // A link that ended since took its characteristics (and bluetoothd the
  // socket) with it.
  CharacteristicEntry* entry = entryAt(path);
  if (!entry || entry->characteristic != characteristic || entry->acquire != WriteAcquire::Asked) return;
  auto context = context_.lock();
  if (!context) return;
  entry->acquire = WriteAcquire::Answered;
  if (refused) {
    context->log("AcquireWrite failed, writing with WriteValue: " + refused->name + ": " + refused->message);
  } else {
    entry->writeSocket = std::make_unique<WriteSocket>(std::move(fd));
    acquiredMtu_ = mtu;
    context->log("ATT MTU " + std::to_string(mtu) + " (AcquireWrite)");
    mtuLogged_ = true;
  }
  drain(*entry);
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
      case SocketSend::Acquiring:
        return Issued::AwaitingSocket;
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
    entry->acquire = WriteAcquire::NotAsked;
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
  const bool held = entry.notifyAnswersDue > 0 || (entry.writeSocket && entry.writeSocket->waiting()) ||
                    entry.requestInFlight || entry.acquire == WriteAcquire::Asked;
  while (!held && !entry.pending.empty()) {
    const Issued issued = issueWrite(entry, entry.pending.front().data, entry.pending.front().type);
    if (issued == Issued::SocketFull) {
      waitForSocket(entry);
      return;
    }
    if (issued == Issued::AwaitingSocket) return;  // acquired() drains again
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
    if (entry.acquire == WriteAcquire::Asked) return false;
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

}  // namespace quillon::bluez
