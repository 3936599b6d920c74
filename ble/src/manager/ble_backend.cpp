#include "quillon/manager/ble_backend.h"

#include <cstdlib>
#include <map>
#include <string>

namespace quillon {
namespace {

// Never destroyed: the shared manager may be made at any time.
std::map<BLEBackend, BLEPlatformMaker>& registry() {
  static auto* makers = new std::map<BLEBackend, BLEPlatformMaker>();
  return *makers;
}

}  // namespace

std::optional<BLEBackend> BLEBackendNamed(std::string_view name) {
  if (name == "sim") return BLEBackend::Sim;
  if (name == "bluez") return BLEBackend::BlueZ;
  return std::nullopt;
}

const char* nameOf(BLEBackend backend) { return backend == BLEBackend::BlueZ ? "bluez" : "sim"; }

void registerBLEBackend(BLEBackend backend, BLEPlatformMaker maker) { registry()[backend] = std::move(maker); }

BLEPlatformMaker registeredBLEBackend(BLEBackend backend) {
  auto it = registry().find(backend);
  return it == registry().end() ? BLEPlatformMaker{} : it->second;
}

std::optional<BLEBackend> BLEBackendFromEnvironment() {
  const char* text = std::getenv("QUILLON_BLE_BACKEND");
  if (!text || !*text) return BLEBackend::Sim;
  return BLEBackendNamed(text);
}

}  // namespace quillon
