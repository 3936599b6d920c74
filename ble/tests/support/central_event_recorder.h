// Receives what a central and its peripherals report, as CoreBluetooth hands
// it to an app, for tests of any backend: each event kept as a value (to
// assert on), and the ones that make a scenario also noted as one line each
// ("found <name> <rssi>", "connected <name>", "failed <domain>:<code>",
// "disconnected ok", "services ok <uuids>", "characteristics ok <uuids>",
// "value <uuid> ok 1.2.", "wrote <uuid> ok"), to compare a whole sequence.
// Called on the central's queue; read there or once it is idle.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/ble/cb_peripheral.h"

namespace quillon::test_support {

class CentralEventRecorder final : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  struct Discovery {
    std::shared_ptr<CBPeripheral> peripheral;
    AdvertisementDictionary advertisement;
    int rssi;
  };
  void centralManagerDidUpdateState(CBCentralManager& central) override {
    states.push_back(central.state());
    note("state " + std::to_string(central.state()));
  }
  void centralManager_didDiscoverPeripheral_advertisementData_RSSI(CBCentralManager&,
                                                                   const std::shared_ptr<CBPeripheral>& peripheral,
                                                                   const AdvertisementDictionary& advertisement,
                                                                   int rssi) override {
    discoveries.push_back({peripheral, advertisement, rssi});
    lastFound = peripheral;
    note("found " + advertisement.localName.value_or("-") + " " + std::to_string(rssi));
  }
  void centralManager_didConnectPeripheral(CBCentralManager&, const std::shared_ptr<CBPeripheral>& p) override {
    connected.push_back(p);
    note("connected " + p->name().value_or("-"));
  }
  void centralManager_didFailToConnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>& p,
                                                       const std::optional<NSError>& error) override {
    failed.push_back({p, error});
    note("failed " + code(error));
  }
  void centralManager_didDisconnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>& p,
                                                    const std::optional<NSError>& error) override {
    disconnected.push_back({p, error});
    note("disconnected " + code(error));
  }
  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& p,
                                      const std::optional<NSError>& error) override {
    servicesFound.push_back(error);
    std::string text = "services " + code(error);
    if (auto services = p->services()) {
      for (const auto& s : *services) text += " " + s->UUID().UUIDString();
    }
    note(text);
  }
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>&,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>& error) override {
    characteristicsFound.push_back(error);
    std::string text = "characteristics " + code(error);
    if (auto list = service->characteristics()) {
      for (const auto& c : *list) text += " " + c->UUID().UUIDString();
    }
    note(text);
  }
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>& c,
                                                        const std::optional<NSError>& error) override {
    values.push_back({c->UUID().UUIDString(), error ? NSData{} : c->value().value_or(NSData{})});
    note("value " + c->UUID().UUIDString() + " " + code(error) + " " + bytes(c->value().value_or(NSData{})));
  }
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>& c,
                                                       const std::optional<NSError>& error) override {
    writes.push_back(error);
    note("wrote " + c->UUID().UUIDString() + " " + code(error));
  }
  void peripheral_didUpdateNotificationStateForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                                    const std::shared_ptr<CBCharacteristic>&,
                                                                    const std::optional<NSError>& e) override {
    notifyStates.push_back(e);
  }
  void peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>&) override {
    ++readyToSend;
    if (onReadyToSend) onReadyToSend();
  }

  std::vector<CBManagerState> states;
  std::vector<Discovery> discoveries;
  std::shared_ptr<CBPeripheral> lastFound;
  std::vector<std::shared_ptr<CBPeripheral>> connected;
  std::vector<std::pair<std::shared_ptr<CBPeripheral>, std::optional<NSError>>> failed, disconnected;
  std::vector<std::optional<NSError>> servicesFound, characteristicsFound, writes, notifyStates;
  std::vector<std::pair<std::string, NSData>> values;
  int readyToSend = 0;
  std::function<void()> onReadyToSend;
  // The scenario's events, one line each, in order.
  std::vector<std::string> lines;

 private:
  static std::string code(const std::optional<NSError>& error) {
    return error ? error->domain + ":" + std::to_string(error->code) : "ok";
  }
  static std::string bytes(const NSData& data) {
    std::string text;
    for (auto b : data) text += std::to_string(b) + ".";
    return text;
  }
  void note(std::string line) { lines.push_back(std::move(line)); }
};

}  // namespace quillon::test_support
