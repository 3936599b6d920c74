// DATA packets per second from the BlueZ backend to the BlueZ stand-in on a
// private bus, once with WriteValue (type "command") for every packet and
// once through AcquireWrite's socket. Measures the host's side (D-Bus, the
// stand-in's Python) only: no radio is involved. Run by hand:
//   build/native/bench/bluez_write_bench [packets]
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bluez/bluez_peer_process.h"
#include "quillon/bluez/bluez_backend.h"
#include "quillon/ota/ota_packet.h"
#include "quillon/platform/log_sink.h"
#include "quillon/sim/sim_data_module.h"

using namespace quillon;

namespace {

class Connector final : public CBCentralManagerDelegate {
 public:
  void centralManagerDidUpdateState(CBCentralManager&) override { ready = true; }
  void centralManager_didDiscoverPeripheral_advertisementData_RSSI(CBCentralManager&,
                                                                   const std::shared_ptr<CBPeripheral>& p,
                                                                   const AdvertisementDictionary&, int) override {
    found = p;
  }
  void centralManager_didConnectPeripheral(CBCentralManager&, const std::shared_ptr<CBPeripheral>&) override {
    connected = true;
  }
  void centralManager_didFailToConnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>&,
                                                       const std::optional<NSError>&) override {}
  void centralManager_didDisconnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>&,
                                                    const std::optional<NSError>&) override {}
  bool ready = false;
  bool connected = false;
  std::shared_ptr<CBPeripheral> found;
};

// Sends START and `packets` DATA packets of 240 image bytes on FF11 and
// returns packets per second, counted until the module holds them all.
double run(bool acquire, int packets, sdbus::IProxy& control) {
  using namespace std::chrono_literals;
  auto queue = std::make_shared<RunLoop>();
  bluez::BluezOptions options;
  options.log = std::make_shared<NullLogSink>();
  options.useAcquireWrite = acquire;
  auto connector = std::make_shared<Connector>();
  auto central = bluez::centralFactory(options)(connector, queue);
  queue->run_until([&] { return connector->ready; }, 10s);
  central->scanForPeripheralsWithServices_options(std::vector{sim::kOtaServiceUUID}, std::nullopt);
  queue->run_until([&] { return connector->found != nullptr; }, 10s);
  central->stopScan();
  auto module = connector->found;
  central->connectPeripheral_options(module, std::nullopt);
  queue->run_until([&] { return connector->connected; }, 10s);
  module->discoverServices(std::nullopt);
  queue->run_until([&] { return module->services().has_value(); }, 10s);
  std::shared_ptr<CBCharacteristic> ota;
  for (const auto& service : *module->services()) {
    module->discoverCharacteristics_forService(std::nullopt, service);
    queue->run_until([&] { return service->characteristics().has_value(); }, 10s);
    for (const auto& c : *service->characteristics()) {
      if (c->UUID() == sim::kOtaUUID) ota = c;
    }
  }
  if (!ota) return 0;
  const std::vector<std::uint8_t> payload(240, 0x5A);
  const auto start = encode_start(static_cast<std::int64_t>(payload.size()) * packets);
  const auto began = std::chrono::steady_clock::now();
  module->writeValue_forCharacteristic_type({start.begin(), start.end()}, ota, CBCharacteristicWriteWithoutResponse);
  for (int i = 0; i < packets; ++i) {
    module->writeValue_forCharacteristic_type(encode_data(payload, i), ota, CBCharacteristicWriteWithoutResponse);
  }
  const std::uint32_t expected = static_cast<std::uint32_t>(payload.size()) * static_cast<std::uint32_t>(packets);
  for (std::uint32_t held = 0; held < expected;) {
    queue->run_for(5ms);
    control.callMethod("ReceivedLength").onInterface("org.quillon.TestPeer1").withArguments(1).storeResultsTo(held);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  central->cancelPeripheralConnection(module);
  queue->run_for(50ms);
  return packets / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int packets = argc > 1 ? std::atoi(argv[1]) : 2000;
  quillon::testing::PrivateSystemBus bus;
  quillon::testing::BluezPeerProcess peer;
  auto connection = sdbus::createSystemBusConnection();
  auto control = sdbus::createProxy(*connection, "org.bluez", "/test");
  std::printf("BlueZ backend to its stand-in, %d DATA packets of 240 bytes each:\n", packets);
  std::printf("  WriteValue (type command): %8.0f packets/s\n", run(false, packets, *control));
  std::printf("  AcquireWrite socket:       %8.0f packets/s\n", run(true, packets, *control));
  return 0;
}
