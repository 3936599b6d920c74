// The BLE world of each backend, as the conformance suite drives it: a
// central factory and its queue, printer data modules numbered from 1, and
// the levers a test pulls on the far side (power, range, the module's link
// and what it received or notifies).
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bluez/bluez_peer_process.h"
#include "quillon/bluez/bluez_backend.h"
#include "quillon/dis/device_information.h"
#include "quillon/platform/log_sink.h"
#include "quillon/sim/sim_data_module.h"
#include "quillon/sim/sim_world.h"

namespace quillon::testing {

// The Device Information strings a world gives its module 1, byte for byte
// (the other modules offer no such service).
using ModuleInformation = std::map<DeviceInformationField, NSData>;

class BackendWorld {
 public:
  virtual ~BackendWorld() = default;
  virtual std::shared_ptr<RunLoop> queue() = 0;
  virtual CBCentralManagerFactory factory() = 0;
  virtual void setPowered(bool on) = 0;
  virtual void dropLink(int module) = 0;          // the module ends the link
  virtual void removeModule(int module) = 0;      // the module goes out of range for good
  virtual void refuseConnections(int module) = 0;
  // The module is no longer heard, though the platform may still know it.
  virtual void goOutOfRange(int module) = 0;
  // How long the centrals the factory makes wait for a link (BlueZ only).
  virtual void setConnectTimeout(std::chrono::milliseconds) {}
  virtual void notifyData(int module, const NSData& bytes) = 0;  // on FF01
  virtual NSData receivedData(int module) = 0;     // written to FF02
};

class SimBackendWorld final : public BackendWorld {
 public:
  explicit SimBackendWorld(int modules, const ModuleInformation& information = {}) : world_(sim::SimWorld::create()) {
    for (int n = 1; n <= modules; ++n) {
      sim::SimDataModuleConfig config;
      config.name = "KSV-Module-" + std::to_string(n);
      if (n == 1) config.deviceInformation = information;
      // As the BlueZ stand-in advertises it.
      config.serviceData = {{sim::kOtaServiceUUID, {0x01, static_cast<std::uint8_t>(n)}}};
      modules_.push_back(std::make_shared<sim::SimDataModule>(config));
      world_->addDevice(modules_.back());
    }
  }
  std::shared_ptr<RunLoop> queue() override { return world_->queue(); }
  CBCentralManagerFactory factory() override { return world_->centralFactory(); }
  void setPowered(bool on) override { world_->setState(on ? CBManagerStatePoweredOn : CBManagerStatePoweredOff); }
  void dropLink(int module) override { modules_[module - 1]->disconnectAll(); }
  void removeModule(int module) override { world_->removeDevice(modules_[module - 1]->identifier()); }
  void refuseConnections(int module) override { modules_[module - 1]->setAcceptsConnections(false); }
  // The simulated world has no memory of devices beyond the world itself.
  void goOutOfRange(int module) override { removeModule(module); }
  void notifyData(int module, const NSData& bytes) override { modules_[module - 1]->notify(sim::kDataNotifyUUID, bytes); }
  NSData receivedData(int module) override { return modules_[module - 1]->receivedData(); }

 private:
  std::shared_ptr<sim::SimWorld> world_;
  std::vector<std::shared_ptr<sim::SimDataModule>> modules_;
};

// One private bus per test program, one peer per world (the peer's state
// is the world's). The levers are calls to the peer's test interface, or to
// the adapter as any BlueZ client would make them.
class BluezBackendWorld final : public BackendWorld {
 public:
  explicit BluezBackendWorld(int modules, const ModuleInformation& information = {})
      : peer_(peerArguments(modules, information)) {
    control_ = sdbus::createSystemBusConnection();
    test_ = sdbus::createProxy(*control_, "org.bluez", "/test");
    adapter_ = sdbus::createProxy(*control_, "org.bluez", "/org/bluez/hci0");
  }
  // One bus for the whole test program, ended when it exits.
  static void startBus() { static PrivateSystemBus bus; }
  std::shared_ptr<RunLoop> queue() override { return queue_; }
  CBCentralManagerFactory factory() override {
    bluez::BluezOptions options;
    options.log = log_;
    options.readyTimeout = readyTimeout_;
    return bluez::centralFactory(options);
  }
  void setPowered(bool on) override {
    adapter_->callMethod("Set").onInterface("org.freedesktop.DBus.Properties")
        .withArguments(std::string("org.bluez.Adapter1"), std::string("Powered"), sdbus::Variant(on));
  }
  void dropLink(int module) override { test_->callMethod("DropLink").onInterface(kControl).withArguments(module); }
  void removeModule(int module) override { test_->callMethod("Remove").onInterface(kControl).withArguments(module); }
  void refuseConnections(int module) override {
    test_->callMethod("RefuseConnect").onInterface(kControl)
        .withArguments(module, std::string("Failed"), std::string("Software caused connection abort"));
  }
  void goOutOfRange(int module) override {
    test_->callMethod("OutOfRange").onInterface(kControl).withArguments(module);
  }
  void setConnectTimeout(std::chrono::milliseconds timeout) override { readyTimeout_ = timeout; }
  void notifyData(int module, const NSData& bytes) override {
    test_->callMethod("Notify").onInterface(kControl).withArguments(module, bytes);
  }
  NSData receivedData(int module) override {
    NSData bytes;
    test_->callMethod("Received").onInterface(kControl).withArguments(module).storeResultsTo(bytes);
    return bytes;
  }
  BluezPeerProcess& peer() { return peer_; }
  MemoryLogSink& log() { return *log_; }

 private:
  static std::vector<std::string> peerArguments(int modules, const ModuleInformation& information) {
    static const std::map<DeviceInformationField, std::string> kNames{
        {DeviceInformationField::ManufacturerName, "manufacturer"}, {DeviceInformationField::ModelNumber, "model"},
        {DeviceInformationField::SerialNumber, "serial"},           {DeviceInformationField::HardwareRevision, "hardware"},
        {DeviceInformationField::FirmwareRevision, "firmware"},     {DeviceInformationField::SoftwareRevision, "software"}};
    std::vector<std::string> arguments{"--devices", std::to_string(modules)};
    for (const auto& [field, bytes] : information) {
      arguments.push_back("--info=1:" + kNames.at(field) + "=" + std::string(bytes.begin(), bytes.end()));
    }
    return arguments;
  }
  static constexpr char kControl[] = "org.quillon.TestPeer1";
  BluezPeerProcess peer_;
  std::unique_ptr<sdbus::IConnection> control_;
  std::unique_ptr<sdbus::IProxy> test_;
  std::unique_ptr<sdbus::IProxy> adapter_;
  std::shared_ptr<RunLoop> queue_ = std::make_shared<RunLoop>();
  std::shared_ptr<MemoryLogSink> log_ = std::make_shared<MemoryLogSink>();
  std::chrono::milliseconds readyTimeout_ = std::chrono::seconds(5);
};

}  // namespace quillon::testing
