#include "quillon/manager/ble_manager.h"

#include "quillon/manager/characteristic_property_string.h"
#include "quillon/manager/system_version_gate.h"

namespace quillon {
namespace {

// How the log shows text that may be absent, as the platform log prints nil.
const char* orNull(const std::optional<std::string>& text) { return text ? text->c_str() : "(null)"; }

}  // namespace

BLEManager::BLEManager(BLEPlatform platform)
    : platform_(std::move(platform)), self_(this, [](BLEManager*) {}) {
  centralManager_ = platform_.makeCentral(std::weak_ptr<CBCentralManagerDelegate>(self_), platform_.mainQueue);
  initUuidDictionary();
}

BLEManager::~BLEManager() {
  // Expire every weak reference the platform holds before anything else goes.
  self_.reset();
}

bool BLEManager::systemAtLeast(const char* threshold) const {
  return systemVersionAtLeast(platform_.systemVersion->systemVersion(), threshold);
}

// Walks by index and re-reads the length at every step, so that handlers
// added during the walk are reached and removals shift the rest down. Each
// handler is held for the length of its call, so one that removes itself
// from the list finishes its call safely.
template <typename Call>
void BLEManager::forwardToHandlers(const Call& call) {
  for (std::size_t i = 0; i < bleServices_.size(); ++i) {
    const std::shared_ptr<BLEServiceHandler> handler = bleServices_[i];
    if (handler) call(*handler);
  }
}

void BLEManager::scanForPeripherals(const std::optional<std::string>& uuidString) {
  const CBOptions options{{CBCentralManagerScanOptionAllowDuplicatesKey, true}};
  CBUUIDFilter uuidArray;
  if (uuidString) {
    auto uuid = CBUUID::UUIDWithString(*uuidString);
    if (!uuid) {
      platform_.log->logf("[BLEManager]Scan not started, not a service UUID: %s", uuidString->c_str());
      return;
    }
    uuidArray = std::vector<CBUUID>{*uuid};
  }
  centralManager_->scanForPeripheralsWithServices_options(uuidArray, options);
}

void BLEManager::stopScan() { centralManager_->stopScan(); }

std::vector<std::shared_ptr<CBPeripheral>> BLEManager::retrievePeripheralsWithIdentifiers(
    const std::optional<std::vector<NSUUID>>& identifiers) {
  if (identifiers) return centralManager_->retrievePeripheralsWithIdentifiers(*identifiers);
  std::vector<NSUUID> stored;
  if (auto text = platform_.userDefaults->objectForKey(kLastConnectedPeripheralIdentifierKey)) {
    if (auto uuid = NSUUID::initWithUUIDString(*text)) stored.push_back(*uuid);
  }
  return centralManager_->retrievePeripheralsWithIdentifiers(stored);
}

void BLEManager::discoverServices(const std::shared_ptr<CBPeripheral>& peripheral) {
  peripheral->discoverServices(std::nullopt);
}

void BLEManager::connect(const std::shared_ptr<CBPeripheral>& peripheral) {
  centralManager_->connectPeripheral_options(peripheral, std::nullopt);
}

void BLEManager::disconnect(const std::shared_ptr<CBPeripheral>& peripheral) {
  centralManager_->cancelPeripheralConnection(peripheral);
}

void BLEManager::initUuidDictionary() {
  uuidDictionary_ = UuidDictionary{};
  for (const auto& [key, description] : gattNameEntries()) uuidDictionary_.set(key, description);
}

std::optional<std::string> BLEManager::getUuidDescription(const std::optional<std::string>& uuidString) const {
  if (!uuidString) return std::nullopt;
  return uuidDictionary_.find(*uuidString);
}

std::string BLEManager::getCharacteristicPropertyString(CBCharacteristicProperties properties) const {
  return characteristicPropertyString(properties);
}

// The central's state.
void BLEManager::centralManagerDidUpdateState(CBCentralManager& central) {
  const long state = central.state();
  platform_.log->logf("[BLEManager]BLEManager state changed to %ld", state);
  if (auto delegate = delegate_.lock()) delegate->didUpdateState(static_cast<CBManagerState>(state));
}

// One advertisement received while scanning.
void BLEManager::centralManager_didDiscoverPeripheral_advertisementData_RSSI(
    CBCentralManager&, const std::shared_ptr<CBPeripheral>& peripheral,
    const AdvertisementDictionary& advertisementData, int RSSI) {
  platform_.log->logf("[BLEManager]Device found:%s", orNull(peripheral->name()));
  auto wrapper = BLEAdvertisementData::bleAdvertisementDatWithDictionary(advertisementData);
  if (auto delegate = delegate_.lock()) delegate->didPeripheralFound_advertisementData_RSSI(peripheral, wrapper, RSSI);
}

// A connection was made. The manager becomes the peripheral's delegate
// before the app hears of it, so discovery started from the app's callback
// reports here.
void BLEManager::centralManager_didConnectPeripheral(CBCentralManager&,
                                                     const std::shared_ptr<CBPeripheral>& peripheral) {
  platform_.log->line("[BLEManager]Connected");
  peripheral->setDelegate(std::weak_ptr<CBPeripheralDelegate>(self_));
  if (auto delegate = delegate_.lock()) delegate->didConnectPeripheral(peripheral);
  if (systemAtLeast("7.0")) {
    platform_.userDefaults->setObject_forKey(peripheral->identifier().UUIDString(),
                                             kLastConnectedPeripheralIdentifierKey);
  }
}

// A connection attempt failed.
void BLEManager::centralManager_didFailToConnectPeripheral_error(CBCentralManager&,
                                                                 const std::shared_ptr<CBPeripheral>& peripheral,
                                                                 const std::optional<NSError>& error) {
  platform_.log->logf("[BLEManager]Fail to connect, error = %s", describe(error).c_str());
  if (auto delegate = delegate_.lock()) delegate->didFailToConnectPeripheral_error(peripheral, error);
}

// A connection ended. The stored identifier stays; nothing reconnects.
void BLEManager::centralManager_didDisconnectPeripheral_error(CBCentralManager&,
                                                              const std::shared_ptr<CBPeripheral>& peripheral,
                                                              const std::optional<NSError>& error) {
  platform_.log->line("[BLEManager]Disconnected");
  if (auto delegate = delegate_.lock()) delegate->didDisconnectPeripheral_error(peripheral, error);
}

// Service discovery finished. The delegate hears first, before any log line
// and whatever the error; the error goes only to the handlers.
void BLEManager::peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                                const std::optional<NSError>& error) {
  const std::optional<CBServiceList> services = peripheral->services();
  if (auto delegate = delegate_.lock()) delegate->didServicesFound_services(peripheral, services);
  const std::size_t count = services ? services->size() : 0;
  platform_.log->logf("[BLEManager]%lu Serivces found:", static_cast<unsigned long>(count));
  for (std::size_t i = 0; i < count; ++i) {
    if (systemAtLeast("7.1")) {
      platform_.log->logf("[BLEManager]%d:%s", static_cast<int>(i), (*services)[i]->UUID().UUIDString().c_str());
    }
  }
  forwardToHandlers([&](BLEServiceHandler& handler) { handler.peripheral_didDiscoverServices(peripheral, error); });
}

// Characteristic discovery finished. The delegate is not told of characteristics.
void BLEManager::peripheral_didDiscoverCharacteristicsForService_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
    const std::optional<NSError>& error) {
  const std::optional<CBCharacteristicList> characteristics =
      service ? service->characteristics() : std::nullopt;
  const std::size_t count = characteristics ? characteristics->size() : 0;
  platform_.log->logf("[BLEManager]%lu Characteristics found:", static_cast<unsigned long>(count));
  for (std::size_t i = 0; i < count; ++i) {
    if (systemAtLeast("7.1")) {
      platform_.log->logf("[BLEManager]%d:%s", static_cast<int>(i),
                          (*characteristics)[i]->UUID().UUIDString().c_str());
    }
  }
  forwardToHandlers([&](BLEServiceHandler& handler) {
    handler.peripheral_didDiscoverCharacteristicsForService_error(peripheral, service, error);
  });
}

// Value updates, notifications included, go only to the handlers.
void BLEManager::peripheral_didUpdateValueForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  forwardToHandlers([&](BLEServiceHandler& handler) {
    handler.peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, error);
  });
}

// A write with response was confirmed or failed; a failure is logged from
// system 7.1 on, and the handlers hear of it either way.
void BLEManager::peripheral_didWriteValueForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  if (error && systemAtLeast("7.1")) {
    const std::string uuid = characteristic ? characteristic->UUID().UUIDString() : std::string("(null)");
    platform_.log->logf("[BLEManager]Write %s, error = %s", uuid.c_str(), error->description().c_str());
  }
  forwardToHandlers([&](BLEServiceHandler& handler) {
    handler.peripheral_didWriteValueForCharacteristic_error(peripheral, characteristic, error);
  });
}

void BLEManager::peripheral_didUpdateNotificationStateForCharacteristic_error(
    const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<NSError>& error) {
  forwardToHandlers([&](BLEServiceHandler& handler) {
    handler.peripheral_didUpdateNotificationStateForCharacteristic_error(peripheral, characteristic, error);
  });
}

void BLEManager::peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>& peripheral) {
  forwardToHandlers([&](BLEServiceHandler& handler) { handler.peripheralIsReadyToSendWriteWithoutResponse(peripheral); });
}

}  // namespace quillon
