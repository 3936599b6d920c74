// A central's view of one BlueZ device object (org.bluez.Device1) and the
// GATT objects under it. Operations post or call over the central's bus
// (reached through PeripheralContext); outcomes reach the delegate on the
// main queue. Made and used only by BluezCentralManager, on the main queue.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluez_bus.h"
#include "bluez_connection_policy.h"
#include "bluez_notify_socket.h"
#include "bluez_object_tree.h"
#include "bluez_peripheral_context.h"
#include "bluez_write_socket.h"
#include "quillon/ble/cb_peripheral.h"

namespace quillon::bluez {

class BluezPeripheral final : public CBPeripheral, public std::enable_shared_from_this<BluezPeripheral> {
 public:
  BluezPeripheral(std::string path, NSUUID identifier, std::weak_ptr<PeripheralContext> context,
                  std::shared_ptr<RunLoop> queue);
  ~BluezPeripheral() override;

  std::optional<std::string> name() const override;
  NSUUID identifier() const override { return identifier_; }
  CBPeripheralState state() const override { return state_; }
  void discoverServices(const CBUUIDFilter& serviceUUIDs) override;
  const std::optional<CBServiceList>& services() const override { return services_; }
  void discoverCharacteristics_forService(const CBUUIDFilter& characteristicUUIDs,
                                          const std::shared_ptr<CBService>& service) override;
  void readValueForCharacteristic(const std::shared_ptr<CBCharacteristic>& characteristic) override;
  void writeValue_forCharacteristic_type(const NSData& data, const std::shared_ptr<CBCharacteristic>& characteristic,
                                         CBCharacteristicWriteType type) override;
  void setNotifyValue_forCharacteristic(bool enabled, const std::shared_ptr<CBCharacteristic>& characteristic) override;
  std::size_t maximumWriteValueLengthForType(CBCharacteristicWriteType type) const override;
  // False while writes wait behind a full socket or for AcquireWrite's answer.
  bool canSendWriteWithoutResponse() const override;

  // --- for the central ---------------------------------------------------------
  const std::string& path() const { return path_; }
  std::shared_ptr<PeripheralContext> context() const { return context_.lock(); }
  void setState(CBPeripheralState state);
  // A Value change of the characteristic object at `path`.
  void valueChanged(const std::string& path, const Bytes& value);
  // Closes every AcquireNotify socket; the characteristics' paths.
  std::vector<std::string> releaseNotifySockets();
  // The connection being made (or made): its phase, and what the central
  // keeps for its retries and time-out.
  ConnectionAttempt& connection() { return connection_; }
  const ConnectionAttempt& connection() const { return connection_; }
  // Runs `task` once the Disconnect on its way (connection().disconnecting) is answered.
  void whenLinkDown(std::function<void()> task) { whenDown_.push_back(std::move(task)); }
  // Our Disconnect was answered: the tasks waiting for it run.
  void disconnectAnswered();

 private:
  struct ServiceEntry {
    std::string path;
    std::shared_ptr<CBService> service;
  };
  enum class WriteAcquire { NotAsked, Asked, Answered };
  struct PendingWrite {
    NSData data;
    CBCharacteristicWriteType type;
  };
  struct CharacteristicEntry {
    std::string path;
    std::shared_ptr<CBCharacteristic> characteristic;
    std::unique_ptr<WriteSocket> writeSocket;  // AcquireWrite's, once acquired
    // AcquireWrite is asked for once per socket: writes wait for its
    // answer, then go through the socket or, refused, through WriteValue.
    WriteAcquire acquire = WriteAcquire::NotAsked;
    // Writes waiting, in order, behind a packet the full socket did not
    // take, a write with response not answered yet or a subscription not
    // in place yet.
    std::deque<PendingWrite> pending;
    // From the moment a write with response is taken from `pending` until
    // its outcome is reported: bluetoothd takes one at a time per
    // characteristic, and nothing written after it may overtake it.
    bool requestInFlight = false;
    // Subscriptions asked for and not answered yet: writes wait for them.
    unsigned notifyAnswersDue = 0;
    // AcquireNotify's socket, while notifications come through it.
    std::unique_ptr<NotifySocket> notifySocket;
  };
  enum class SocketSend { Sent, Full, NoSocket, Acquiring };
  enum class Issued { Done, SocketFull, AwaitingAnswer, AwaitingSocket };
  // A write with response on its way, for the steps that follow on the queue.
  struct WriteRequest {
    std::string path;
    std::shared_ptr<CBCharacteristic> characteristic;
    NSData data;
    RunLoop::Clock::time_point giveUpAt{};  // when refusals stop being waited out
  };

  template <typename Body>
  void later(Body body);
  CharacteristicEntry* entryFor(const std::shared_ptr<CBCharacteristic>& characteristic);
  const ServiceEntry* entryFor(const std::shared_ptr<CBService>& service) const;
  void forgetGatt();
  SocketSend writeThroughSocket(CharacteristicEntry& entry, const NSData& data);
  // Asks for the entry's write socket without waiting; writes wait until
  // acquired() has the answer.
  void acquireWrite(CharacteristicEntry& entry, PeripheralContext& context);
  void acquired(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic, UniqueFd fd,
                std::uint16_t mtu, const std::optional<BusError>& refused);
  // Puts one write on its way. SocketFull, AwaitingSocket: the write must
  // wait for the socket (full, or being acquired); AwaitingAnswer: a write
  // with response went, later ones wait.
  Issued issueWrite(CharacteristicEntry& entry, const NSData& data, CBCharacteristicWriteType type);
  // The entry `request` was made for, unless its link ended since.
  CharacteristicEntry* entryOf(const WriteRequest& request);
  void writeOnceSocketIsRead(WriteRequest request);
  void sendWriteRequest(WriteRequest request);
  void writeRequestAnswered(const WriteRequest& request, const std::optional<NSError>& error);
  void waitForSocket(CharacteristicEntry& entry);
  // Sends what waits, unless the socket, a subscription or a write with
  // response not answered yet holds it.
  void drain(CharacteristicEntry& entry);
  CharacteristicEntry* entryAt(const std::string& path);
  void logMtu(const std::string& path);
  // Subscribing: AcquireNotify where the characteristic offers it (a socket
  // of our own, so each notification comes once whoever else listens),
  // StartNotify otherwise. `ownReleased`: our own StartNotify subscription,
  // which bluetoothd keeps across links and which makes it refuse
  // AcquireNotify, was ended for this attempt.
  void acquireNotify(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                     bool ownReleased);
  void notifyAcquired(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                      UniqueFd fd, std::uint16_t mtu);
  void acquireNotifyRefused(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                            const BusError& error, bool ownReleased);
  void startOrStopNotify(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                         bool enabled);
  // The end of one setNotifyValue: reported to the delegate, and the writes
  // that waited for it go.
  void subscriptionAnswered(const std::string& path, const std::shared_ptr<CBCharacteristic>& characteristic,
                            bool enabled, const std::optional<NSError>& failed);
  void notifySocketValue(const std::string& path, const NSData& value);
  void notifySocketClosed(const std::string& path);
  void reportValue(const std::shared_ptr<CBCharacteristic>& characteristic, const NSData& value);

  std::string path_;
  NSUUID identifier_;
  std::weak_ptr<PeripheralContext> context_;
  std::shared_ptr<RunLoop> queue_;
  CBPeripheralState state_ = CBPeripheralStateDisconnected;
  std::optional<CBServiceList> services_;
  std::vector<ServiceEntry> serviceEntries_;
  std::vector<CharacteristicEntry> characteristicEntries_;
  bool mtuLogged_ = false;
  // canSendWriteWithoutResponse() said false; the delegate hears when it is true again.
  bool wasFull_ = false;
  std::size_t acquiredMtu_ = 0;  // AcquireWrite's answer, 0 before one
  ConnectionAttempt connection_;
  std::vector<std::function<void()>> whenDown_;  // run once our Disconnect is answered
};

// Runs `body` on the queue later with this peripheral and its context, if
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

}  // namespace quillon::bluez
