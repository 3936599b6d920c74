// Scriptable fakes of the platform interfaces for BLEManager's unit tests.
// Everything that happens (log lines, delegate and handler calls) goes into
// one shared Trace, so tests can check the order across all of them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/ble/cb_central_manager.h"
#include "quillon/manager/ble_manager.h"

namespace quillon::testing {

using Trace = std::vector<std::string>;

class TraceLog final : public LogSink {
 public:
  explicit TraceLog(std::shared_ptr<Trace> trace) : trace_(std::move(trace)) {}
  void line(std::string_view text) override { trace_->push_back("log " + std::string(text)); }

 private:
  std::shared_ptr<Trace> trace_;
};

// Each read may return the next text of a script (the last one repeats),
// so tests can see whether a version is read afresh.
class ScriptedVersion final : public SystemVersion {
 public:
  explicit ScriptedVersion(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  std::string systemVersion() const override {
    const std::string& text = texts_[std::min(reads_, texts_.size() - 1)];
    ++reads_;
    return text;
  }
  void set(std::string text) {
    texts_ = {std::move(text)};
    reads_ = 0;
  }

 private:
  std::vector<std::string> texts_;
  mutable std::size_t reads_ = 0;
};

class FakePeripheral final : public CBPeripheral {
 public:
  FakePeripheral(std::optional<std::string> name, NSUUID identifier) : name_(std::move(name)), identifier_(identifier) {}

  std::optional<std::string> name() const override { return name_; }
  NSUUID identifier() const override { return identifier_; }
  CBPeripheralState state() const override { return CBPeripheralStateConnected; }
  void discoverServices(const CBUUIDFilter& filter) override { discoverCalls.push_back(filter); }
  const std::optional<CBServiceList>& services() const override { return servicesList; }
  void discoverCharacteristics_forService(const CBUUIDFilter&, const std::shared_ptr<CBService>&) override {}
  void readValueForCharacteristic(const std::shared_ptr<CBCharacteristic>&) override {}
  void writeValue_forCharacteristic_type(const NSData&, const std::shared_ptr<CBCharacteristic>&,
                                         CBCharacteristicWriteType) override {}
  void setNotifyValue_forCharacteristic(bool, const std::shared_ptr<CBCharacteristic>&) override {}
  std::size_t maximumWriteValueLengthForType(CBCharacteristicWriteType) const override { return 512; }

  std::optional<CBServiceList> servicesList;
  std::vector<CBUUIDFilter> discoverCalls;

 private:
  std::optional<std::string> name_;
  NSUUID identifier_;
};

class FakeCentral final : public CBCentralManager {
 public:
  struct Scan {
    CBUUIDFilter services;
    std::optional<CBOptions> options;
  };

  CBManagerState state() const override { return stateValue; }
  void scanForPeripheralsWithServices_options(const CBUUIDFilter& services,
                                              const std::optional<CBOptions>& options) override {
    scans.push_back({services, options});
  }
  void stopScan() override { ++stopScans; }
  std::vector<std::shared_ptr<CBPeripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<NSUUID>& identifiers) override {
    retrieveCalls.push_back(identifiers);
    std::vector<std::shared_ptr<CBPeripheral>> found;
    for (const auto& id : identifiers) {
      for (const auto& known : knownPeripherals) {
        if (known->identifier() == id) found.push_back(known);
      }
    }
    return found;
  }
  void connectPeripheral_options(const std::shared_ptr<CBPeripheral>& peripheral,
                                 const std::optional<CBOptions>& options) override {
    connects.push_back(peripheral);
    connectOptions.push_back(options);
  }
  void cancelPeripheralConnection(const std::shared_ptr<CBPeripheral>& peripheral) override {
    cancels.push_back(peripheral);
  }

  CBManagerState stateValue = CBManagerStatePoweredOn;
  std::vector<Scan> scans;
  int stopScans = 0;
  std::vector<std::vector<NSUUID>> retrieveCalls;
  std::vector<std::shared_ptr<CBPeripheral>> knownPeripherals;
  std::vector<std::shared_ptr<CBPeripheral>> connects;
  std::vector<std::optional<CBOptions>> connectOptions;
  std::vector<std::shared_ptr<CBPeripheral>> cancels;
  // What the manager handed over at creation.
  std::weak_ptr<CBCentralManagerDelegate> delegate;
  std::shared_ptr<RunLoop> queue;
};

class RecordingDelegate : public BLEManagerDelegate {
 public:
  explicit RecordingDelegate(std::shared_ptr<Trace> trace) : trace_(std::move(trace)) {}
  void didUpdateState(CBManagerState state) override { note("didUpdateState " + std::to_string(state)); }
  void didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                 const std::shared_ptr<BLEAdvertisementData>& ad, int RSSI) override {
    lastAdvertisement = ad;
    note("didPeripheralFound " + peripheral->name().value_or("-") + " " + std::to_string(RSSI));
  }
  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) override {
    note("didConnectPeripheral " + peripheral->name().value_or("-"));
    if (onConnect) onConnect(peripheral);
  }
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>&,
                                        const std::optional<NSError>& error) override {
    note("didFailToConnectPeripheral " + describe(error));
  }
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>&,
                                     const std::optional<NSError>& error) override {
    note("didDisconnectPeripheral " + describe(error));
  }
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&,
                                 const std::optional<CBServiceList>& services) override {
    note("didServicesFound " + (services ? std::to_string(services->size()) : std::string("absent")));
  }

  std::function<void(const std::shared_ptr<CBPeripheral>&)> onConnect;
  std::shared_ptr<BLEAdvertisementData> lastAdvertisement;

 private:
  void note(std::string text) { trace_->push_back("delegate " + std::move(text)); }
  std::shared_ptr<Trace> trace_;
};

// Notes each event as "<name> <event>"; `onEvent` runs after the note.
class RecordingHandler : public BLEServiceHandler {
 public:
  RecordingHandler(std::string name, std::shared_ptr<Trace> trace) : name_(std::move(name)), trace_(std::move(trace)) {}
  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>& error) override {
    note("services " + describe(error));
  }
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>&,
                                                             const std::shared_ptr<CBService>&,
                                                             const std::optional<NSError>& error) override {
    note("characteristics " + describe(error));
  }
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>&,
                                                        const std::optional<NSError>& error) override {
    note("value " + describe(error));
  }
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>& error) override {
    note("write " + describe(error));
  }

  std::function<void()> onEvent;

 private:
  void note(const std::string& text) {
    trace_->push_back(name_ + " " + text);
    if (onEvent) onEvent();
  }
  std::string name_;
  std::shared_ptr<Trace> trace_;
};

// A manager over fakes, with everything observable.
struct ManagerRig {
  std::shared_ptr<Trace> trace = std::make_shared<Trace>();
  std::shared_ptr<FakeCentral> central = std::make_shared<FakeCentral>();
  std::shared_ptr<RunLoop> queue = std::make_shared<RunLoop>();
  std::shared_ptr<MemoryUserDefaults> defaults = std::make_shared<MemoryUserDefaults>();
  std::shared_ptr<ScriptedVersion> version = std::make_shared<ScriptedVersion>(std::vector<std::string>{"8.0"});
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>(trace);
  std::unique_ptr<BLEManager> manager;

  ManagerRig() {
    BLEPlatform platform;
    platform.makeCentral = [central = central](std::weak_ptr<CBCentralManagerDelegate> d,
                                               const std::shared_ptr<RunLoop>& q) {
      central->delegate = std::move(d);
      central->queue = q;
      return central;
    };
    platform.mainQueue = queue;
    platform.userDefaults = defaults;
    platform.systemVersion = version;
    platform.log = std::make_shared<TraceLog>(trace);
    manager = std::make_unique<BLEManager>(std::move(platform));
    manager->setDelegate(delegate);
  }
};

inline std::shared_ptr<FakePeripheral> makePeripheral(std::optional<std::string> name = "Printer") {
  return std::make_shared<FakePeripheral>(std::move(name), NSUUID::UUID());
}

inline std::shared_ptr<CBService> makeService(const char* uuid) {
  return std::make_shared<CBService>(*CBUUID::UUIDWithString(uuid));
}

inline std::shared_ptr<CBCharacteristic> makeCharacteristic(const char* uuid) {
  return std::make_shared<CBCharacteristic>(*CBUUID::UUIDWithString(uuid), CBCharacteristicPropertyRead);
}

}  // namespace quillon::testing
