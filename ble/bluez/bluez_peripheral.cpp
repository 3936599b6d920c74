#include "bluez_peripheral.h"

#include <utility>

#include "quillon/ble/peripheral_errors.h"

namespace quillon::bluez {

BluezPeripheral::BluezPeripheral(std::string path, NSUUID identifier, std::weak_ptr<PeripheralContext> context,
                                 std::shared_ptr<RunLoop> queue)
    : path_(std::move(path)), identifier_(identifier), context_(std::move(context)), queue_(std::move(queue)) {}

BluezPeripheral::~BluezPeripheral() { forgetGatt(); }

std::optional<std::string> BluezPeripheral::name() const {
  auto context = context_.lock();
  if (!context) return std::nullopt;
  return property<std::string>(context->tree().find(path_, kDeviceInterface), "Name");
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

}  // namespace quillon::bluez
