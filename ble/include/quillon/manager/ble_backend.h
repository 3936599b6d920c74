// Which BLE backend a program runs on, chosen when it runs: the simulated
// world (`sim`, the default) or BlueZ on Linux (`bluez`). Each backend
// library registers how it makes a platform; BLEManager's default
// construction (and so sharedInstance) takes the one QUILLON_BLE_BACKEND
// names. Only the backends a program links can be registered, so a program
// that links no D-Bus library cannot pick BlueZ.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "quillon/manager/ble_platform.h"

namespace quillon {

enum class BLEBackend { Sim, BlueZ };

// "sim" or "bluez"; anything else gives nothing.
std::optional<BLEBackend> BLEBackendNamed(std::string_view name);
const char* nameOf(BLEBackend backend);

// Makes the platform of one backend. Called once, on the main thread.
using BLEPlatformMaker = std::function<BLEPlatform()>;
// Registers (or replaces) a backend's maker. Main thread, before first use.
void registerBLEBackend(BLEBackend backend, BLEPlatformMaker maker);
// The maker registered for `backend`; empty when none is.
BLEPlatformMaker registeredBLEBackend(BLEBackend backend);

// The backend QUILLON_BLE_BACKEND names; Sim when it is unset or empty,
// nothing when it names no backend.
std::optional<BLEBackend> BLEBackendFromEnvironment();

}  // namespace quillon
