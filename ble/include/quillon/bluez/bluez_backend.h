// The BlueZ backend: CBCentralManager and CBPeripheral over BlueZ's D-Bus
// API on the system bus, for Linux hosts with a real radio. A separate
// library (quillon_bluez) so that programs that do not want D-Bus do not
// link it; a program that does calls registerBackend() once, after which
// QUILLON_BLE_BACKEND=bluez picks it for BLEManager's shared instance.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/ble/cb_peripheral.h"
#include "quillon/ble/ns_error.h"
#include "quillon/ble/ns_uuid.h"
#include "quillon/manager/ble_platform.h"
#include "quillon/platform/log_sink.h"

namespace quillon::bluez {

struct BluezOptions {
  std::string adapter = "hci0";
  // The backend's own lines ("[BlueZ]..."); null: standard error.
  std::shared_ptr<LogSink> log;
  // From Connect to a usable link (connected, services resolved and their
  // objects present); a device not ready by then fails to connect.
  std::chrono::milliseconds readyTimeout{15000};
  // Writes without response go through AcquireWrite's socket where the
  // characteristic offers it; false: always WriteValue type "command".
  bool useAcquireWrite = true;
  // Where the identifiers of the devices met are kept with their addresses,
  // so that a device bluetoothd has since forgotten (an unpaired device goes
  // when its link ends, every device when bluetoothd restarts) can still be
  // retrieved and is then looked for again when connected. None: kept in
  // memory only. makePlatform() puts it beside the user defaults
  // ($XDG_CONFIG_HOME/quillon/bluez-devices).
  std::optional<std::filesystem::path> knownDevices;
  // Called on the main queue when a scan asked for could not start: the
  // controller refused discovery. CoreBluetooth has no such report; without
  // it a scan that never ran would look like one that found nothing. The
  // error's description begins "Bluetooth could not scan: ".
  std::function<void(const NSError&)> scanFailed;
};

// Makes centrals that talk to BlueZ. Each central has its own bus connection.
CBCentralManagerFactory centralFactory(BluezOptions options);

// A whole platform: BlueZ centrals on a new main queue, user defaults in
// their standard file, system version "17.0"; `log` for the manager's and
// the backend's lines (null: standard error).
BLEPlatform makePlatform(BluezOptions options);

// Makes `bluez` a backend that BLEManager's default construction can pick.
void registerBackend(BluezOptions options = {});

// Forgets `peripheral` in BlueZ after a firmware update: ends its link (as
// cancelPeripheralConnection does) and removes its device object with
// Adapter1.RemoveDevice, which drops the services BlueZ holds for it. The
// updated module may come back with another GATT table; the next
// connection finds it again and discovers its services. A paired or bonded device is kept (its
// link still ends): removing it would delete its keys, and BlueZ refreshes
// a paired device's services when the module indicates Service Changed.
// Call on the main queue. It does not wait for BlueZ: RemoveDevice of a
// connected device is answered only once the link is down (2 s or more, up
// to the supervision time-out when the module has just rebooted), and other
// links' traffic must not wait behind it. `done`, if given, is called on the
// main queue once the link is down, with BlueZ's answer: none when the
// device is forgotten or kept, or when there is nothing to do (a device
// BlueZ no longer knows, a peripheral of another backend: the simulated
// world holds no cache), else the error with its D-Bus name and message.
void forgetPeripheral(const std::shared_ptr<CBPeripheral>& peripheral,
                      std::function<void(const std::optional<NSError>&)> done = {});

// The stable identifier of the device at `address` seen through the adapter
// whose own Bluetooth address is `adapterAddress`: a name-based (version 5)
// UUID, the same in every run. The adapter's address, not its name: a
// re-plugged dongle may come back as hci1 instead of hci0, and its modules
// must keep their identifiers. (Identifiers made from the name by earlier
// versions are still retrieved.)
NSUUID deviceIdentifier(std::string_view adapterAddress, std::string_view address);

}  // namespace quillon::bluez
