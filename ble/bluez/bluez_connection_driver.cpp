// The connection driver: makes the calls and keeps the time-outs that the
// connection policy (bluez_connection_policy.h) decides on. Every reply and
// delayed task is for one generation of the peripheral's connection, and is
// dropped when that connection ended since.
#include <utility>

#include "bluez_central_manager.h"
#include "bluez_dual_mode.h"

namespace quillon::bluez {
namespace {

constexpr auto kConnectRetryDelay = std::chrono::milliseconds(300);
// How long a retry waits for a refused attempt's link to go down.
constexpr auto kLinkDownWait = std::chrono::seconds(3);

NSError disconnected() {
  return NSError{CBErrorDomain, CBErrorPeripheralDisconnected, "The specified device has disconnected from us."};
}

}  // namespace

bool BluezCentralManager::live(const BluezPeripheral& peripheral, unsigned generation) const {
  return peripheral.state() == CBPeripheralStateConnecting && peripheral.connection().generation == generation;
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
  mine->connection() = beginAttempt(mine->connection());
  whileLive(options_.readyTimeout, mine,
            [](BluezCentralManager& self, const auto& peripheral) { self.connectTimedOut(peripheral); });
  const Properties* device = tree_.find(mine->path(), kDeviceInterface);
  if (property<bool>(device, "Connected").value_or(false) &&
      property<bool>(device, "ServicesResolved").value_or(false)) {
    // Kept up by an earlier run or another program: no change will come.
    mine->connection().phase = ConnectPhase::AlreadyLinked;
    queue_->post([weak = weak_from_this(), mine] {
      if (auto self = weak.lock()) self->checkReady(mine);
    });
    return;
  }
  if (mine->connection().disconnecting) {
    mine->connection().phase = ConnectPhase::AwaitingOldLink;
    return;
  }
  if (!device) {
    findAgain(mine);
    return;
  }
  connectAttempt(mine);
}

void BluezCentralManager::linkDownWhileConnecting(const std::shared_ptr<BluezPeripheral>& peripheral) {
  act(peripheral, onLinkDown(peripheral->connection()), nullptr);
}

void BluezCentralManager::connectAttempt(const std::shared_ptr<BluezPeripheral>& peripheral) {
  auto next = connectCalled(peripheral->connection());
  if (!next) return;  // being looked for: finding it makes the call
  peripheral->connection() = *next;
  preferLowEnergy(peripheral);
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  const unsigned generation = next->generation;
  bus_->callAsync(
      peripheral->path(), kDeviceInterface, "Connect", {},
      [weak, peripheral, generation](sdbus::MethodReply*, const BusError* error) -> std::function<void()> {
        std::optional<BusError> failed;
        if (error) failed = *error;
        return [weak, peripheral, generation, failed] {
          auto self = weak.lock();
          if (!self || !self->live(*peripheral, generation)) return;
          const bool linkUp =
              property<bool>(self->tree_.find(peripheral->path(), kDeviceInterface), "Connected").value_or(false);
          self->act(peripheral, onConnectReply(peripheral->connection(), failed, linkUp),
                    failed ? &*failed : nullptr);
        };
      },
      options_.readyTimeout);
}

// Carries out one step of the policy. `error`: the Connect answer it was
// made from, if any.
void BluezCentralManager::act(const std::shared_ptr<BluezPeripheral>& peripheral, const ConnectStep& step,
                              const BusError* error) {
  const ConnectPhase waitedIn = step.next.phase;
  peripheral->connection() = step.next;
  const auto retryDue = [waitedIn, call = step.next.connectCalls](BluezCentralManager& self, const auto& peripheral) {
    self.act(peripheral, onRetryDue(peripheral->connection(), waitedIn, call), nullptr);
  };
  switch (step.action) {
    case ConnectAction::None:
      return;
    case ConnectAction::CheckReady:
      checkReady(peripheral);
      readBack(peripheral, step.next.generation);
      return;
    case ConnectAction::TimeOut:
      connectTimedOut(peripheral);
      return;
    case ConnectAction::FindAgain:
      findAgain(peripheral);
      return;
    case ConnectAction::RetryWhenDown:
      log("Connect answered " + error->name + " (" + error->message + "), trying again");
      // bluetoothd does not signal every change of Connected (seen in the
      // VM: an attempt then waited for good).
      whileLive(kLinkDownWait, peripheral, retryDue);
      return;
    case ConnectAction::RetryAfterDelay:
      log("Connect answered " + error->name + " (" + error->message + "), trying again");
      whileLive(kConnectRetryDelay, peripheral, retryDue);
      return;
    case ConnectAction::Reconnect:
      log("The link to " + peripheral->path() + " went down before it was ready, connecting again");
      connectAttempt(peripheral);
      return;
    case ConnectAction::ConnectNow:
      connectAttempt(peripheral);
      return;
    case ConnectAction::Fail:
      failConnect(peripheral, busFailure(CBErrorConnectionFailed, *error));
      return;
  }
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
      peripheral->path(), kPropertiesInterface, "Set",
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

// Not usable within readyTimeout: BlueZ stops trying, the host hears why.
void BluezCentralManager::connectTimedOut(const std::shared_ptr<BluezPeripheral>& peripheral) {
  disconnectLink(peripheral);
  failConnect(peripheral, NSError{CBErrorDomain, CBErrorConnectionTimeout, "The connection has timed out."});
}

// bluetoothd answers Disconnect once the link is down, which it holds up for
// 2 s first (DISCONNECT_TIMER); a Connect meanwhile is answered at once
// with the dying link. So a connection asked for meanwhile waits for the
// answer (phase AwaitingOldLink).
void BluezCentralManager::disconnectLink(const std::shared_ptr<BluezPeripheral>& peripheral) {
  peripheral->connection().disconnecting = true;
  std::weak_ptr<BluezCentralManager> weak = weak_from_this();
  bus_->callAsync(peripheral->path(), kDeviceInterface, "Disconnect", {},
                  [weak, peripheral](sdbus::MethodReply*, const BusError*) -> std::function<void()> {
                    return [weak, peripheral] {
                      auto self = weak.lock();
                      peripheral->disconnectAnswered();
                      if (!self || peripheral->state() != CBPeripheralStateConnecting ||
                          peripheral->connection().phase != ConnectPhase::AwaitingOldLink) {
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
  endFindAgain(peripheral);
  // The link came up (or a BR/EDR one was refused) and no GATT service
  // followed: say what may be why.
  const Properties* device = tree_.find(peripheral->path(), kDeviceInterface);
  const bool noServices = error.code == CBErrorConnectionTimeout || peripheral->connection().answered() ||
                          mentions(error.localizedDescription, error_text::kBrConnection);
  if (noServices && dualMode(device) && property<std::string>(device, "PreferredBearer").value_or("") != "le") {
    error.localizedDescription += kDualModeAdvice;
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
  ++mine->connection().generation;  // a reply or time-out still on its way is for a connection that ended
  endFindAgain(mine);
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

}  // namespace quillon::bluez
