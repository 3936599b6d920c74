// Forgetting a device after a firmware update: the link ends and the
// device object goes (Adapter1.RemoveDevice), unless it is paired.
#include "bluez_central_manager.h"

namespace quillon::bluez {

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
    if (peripheral->connection().disconnecting) {
      peripheral->whenLinkDown([done = std::move(done)] { done(std::nullopt); });
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
