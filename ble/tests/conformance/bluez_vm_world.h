// The BLE world inside the test virtual machine (ble/tests/bluez-vm): the
// central is the BlueZ backend on hci0 of the guest's real bluetoothd, and
// module N is hciN of the same bluetoothd, made a printer data module by
// module_peer.py (a GATT application and advertisements). The links between
// them go through the guest's kernel and emulated controllers (btvirt).
// Outside the VM the world cannot be made: its tests skip.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "conformance/backend_worlds.h"
#include "conformance/managed_objects.h"

namespace quillon::testing {

class BluezVmWorld final : public BackendWorld {
 public:
  // Set by the VM case that runs the suite on the guest's system bus.
  static bool available() {
    const char* value = std::getenv("QUILLON_CONFORMANCE_VM");
    return value && std::string(value) == "1";
  }
  static constexpr char kNotInVm[] =
      "needs the real bluetoothd of the test VM (QUILLON_CONFORMANCE_VM=1, set by the bluez-vm case conformance)";

  explicit BluezVmWorld(int modules) {
    if (modules > kModules) throw std::invalid_argument("the VM has modules 1.." + std::to_string(kModules));
    bus_ = sdbus::createSystemBusConnection();
    adapter_ = adapter(0);
    centralAddress_ = adapter_->getProperty("Address").onInterface(kAdapter).get<std::string>();
    // Each test starts without links or remembered devices, whatever the
    // last one left, and with the central's controller on.
    forgetDevices();
    if (!adapter_->getProperty("Powered").onInterface(kAdapter).get<bool>()) setPowered(true);
    const std::string& name = peerName();
    for (int n = 1; n <= kModules; ++n) {
      modules_.push_back(sdbus::createProxy(*bus_, name, "/quillon/module" + std::to_string(n)));
      control(n, "Received", sdbus::Variant(std::vector<std::uint8_t>{}));
      control(n, "Connectable", sdbus::Variant(true));
      control(n, "Advertising", sdbus::Variant(n <= modules));
    }
  }
  ~BluezVmWorld() override {
    // The links go first, so that no module's GATT table is taken away under a live one.
    try {
      forgetDevices();
    } catch (const sdbus::Error&) {
      // bluetoothd is gone: the next world says so.
    }
  }

  std::shared_ptr<RunLoop> queue() override { return queue_; }
  CBCentralManagerFactory factory() override {
    bluez::BluezOptions options;
    options.adapter = "hci0";
    options.log = log_;
    options.readyTimeout = readyTimeout_;
    return bluez::centralFactory(options);
  }
  void setPowered(bool on) override { adapter_->setProperty("Powered").onInterface(kAdapter).toValue(on); }
  // hciN ends the link it sees to the central, as the module would.
  void dropLink(int module) override {
    sdbus::createProxy(*bus_, "org.bluez", linkPath(module))->callMethod("Disconnect").onInterface(kDevice);
  }
  void removeModule(int module) override { goOutOfRange(module); }
  void refuseConnections(int module) override { control(module, "Connectable", sdbus::Variant(false)); }
  void goOutOfRange(int module) override {
    control(module, "Advertising", sdbus::Variant(false));
    endLink(module);
  }
  void setConnectTimeout(std::chrono::milliseconds timeout) override { readyTimeout_ = timeout; }
  void notifyData(int module, const NSData& bytes) override {
    control(module, "Notification", sdbus::Variant(std::vector<std::uint8_t>(bytes.begin(), bytes.end())));
  }
  NSData receivedData(int module) override {
    const auto bytes = modules_.at(module - 1)->getProperty("Received").onInterface(kControl).get<std::vector<std::uint8_t>>();
    return NSData(bytes.begin(), bytes.end());
  }
  MemoryLogSink& log() { return *log_; }

 private:
  static constexpr char kAdapter[] = "org.bluez.Adapter1";
  static constexpr char kDevice[] = "org.bluez.Device1";
  static constexpr char kControl[] = "org.quillon.ModulePeer1";
  // hci1..hci3: the guest has four controllers.
  static constexpr int kModules = 3;

  std::unique_ptr<sdbus::IProxy> adapter(int index) {
    return sdbus::createProxy(*bus_, "org.bluez", "/org/bluez/hci" + std::to_string(index));
  }
  // Where hciN keeps the central (the device objects are named by address).
  std::string linkPath(int module) const {
    std::string address = centralAddress_;
    for (auto& c : address) {
      if (c == ':') c = '_';
    }
    return "/org/bluez/hci" + std::to_string(module) + "/dev_" + address;
  }
  void control(int module, const std::string& name, const sdbus::Variant& value) {
    modules_.at(module - 1)->setProperty(name).onInterface(kControl).toValue(value);
  }
  // The module's side ends its link, if it has one.
  void endLink(int module) {
    try {
      dropLink(module);
    } catch (const sdbus::Error&) {
      // No device object: hciN never had the central connected.
    }
  }
  // One module peer for the whole test program: its GATT tables stay the
  // same from test to test, as a module's do, so what bluetoothd caches of
  // them stays true (a new peer per test moved the tables, and a connection
  // resolved with the cached table was then changed under the central).
  const std::string& peerName() {
    static std::unique_ptr<ChildProcess> peer;
    static std::string name;
    if (!peer) {
      peer = std::make_unique<ChildProcess>(
          std::vector<std::string>{"/usr/bin/python3", QUILLON_VM_MODULE_PEER, "--modules", std::to_string(kModules)});
      const std::string line = peer->readLine();
      if (line.rfind("ready ", 0) != 0) throw std::runtime_error("module_peer.py did not start: '" + line + "'");
      name = line.substr(6);
    }
    return name;
  }
  // RemoveDevice also ends the device's link, on every adapter the world uses.
  void forgetDevices() {
    constexpr int modules = kModules;
    const ManagedObjects objects = bluezManagedObjects(*bus_);
    for (const auto& [path, interfaces] : objects) {
      auto device = interfaces.find(kDevice);
      if (device == interfaces.end()) continue;
      const auto owner = device->second.at("Adapter").get<sdbus::ObjectPath>();
      for (int n = 0; n <= modules; ++n) {
        if (owner != "/org/bluez/hci" + std::to_string(n)) continue;
        try {
          adapter(n)->callMethod("RemoveDevice").onInterface(kAdapter).withArguments(path);
        } catch (const sdbus::Error&) {
          // Gone meanwhile (a temporary device's time ran out).
        }
      }
    }
  }

  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<sdbus::IProxy> adapter_;
  std::string centralAddress_;
  std::vector<std::unique_ptr<sdbus::IProxy>> modules_;
  std::shared_ptr<RunLoop> queue_ = std::make_shared<RunLoop>();
  std::shared_ptr<MemoryLogSink> log_ = std::make_shared<MemoryLogSink>();
  // Under the suite's limit for an event in this world: the guest is slow,
  // and a link not made by then fails as a connection would.
  std::chrono::milliseconds readyTimeout_ = std::chrono::seconds(45);
};

}  // namespace quillon::testing
