// DATA packets per second from the BlueZ backend to the BlueZ stand-in on a
// private bus, once with WriteValue (type "command") for every packet, once
// through AcquireWrite's socket, and once through the socket with flow
// control (bursts of 255 packets, as a module granting credit 255 asks for,
// written only while canSendWriteWithoutResponse and resumed on
// peripheralIsReadyToSendWriteWithoutResponse) while the stand-in's reader
// is paused for the first 200 ms, so the socket fills. Each run says how
// many packets were lost (the module holds fewer bytes than were sent).
// Measures the host's side (D-Bus, the stand-in's Python) only: no radio is
// involved. Run by hand:
//   build/native/bench/bluez_write_bench [packets]
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

class Pacer final : public CBPeripheralDelegate {
 public:
  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {}
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>&,
                                                             const std::shared_ptr<CBService>&,
                                                             const std::optional<NSError>&) override {}
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>&,
                                                        const std::optional<NSError>&) override {}
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {}
  void peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>&) override {
    ++readies;
    if (resume) resume();
  }
  std::function<void()> resume;
  int readies = 0;
};

enum class Way { WriteValue, Socket, SocketFlowControlled };

struct Figures {
  double packetsPerSecond = 0;
  std::uint32_t lost = 0;  // packets the module does not hold
  int fullSocketWaits = 0;
};

// Sends START and `packets` DATA packets of 240 image bytes on FF11;
// packets per second are counted until the module holds them all (or
// nothing more arrives for 5 s: then some were lost).
Figures run(Way way, int packets, sdbus::IProxy& control) {
  const bool acquire = way != Way::WriteValue;
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
  Figures figures;
  if (!ota) return figures;
  const std::vector<std::uint8_t> payload(240, 0x5A);
  const auto start = encode_start(static_cast<std::int64_t>(payload.size()) * packets);
  auto pacer = std::make_shared<Pacer>();
  module->setDelegate(pacer);
  const bool paced = way == Way::SocketFlowControlled;
  auto pause = [&](bool paused) {
    control.callMethod("PauseSocket").onInterface("org.quillon.TestPeer1").withArguments(1, paused);
  };
  if (paced) pause(true);
  const auto began = std::chrono::steady_clock::now();
  module->writeValue_forCharacteristic_type({start.begin(), start.end()}, ota, CBCharacteristicWriteWithoutResponse);
  constexpr int kCredit = 255;
  int next = 0;
  // One burst of `kCredit` packets at a time, as the OTA controller sends
  // them; paced: only while the link takes them.
  std::function<void()> send = [&] {
    const int burstEnd = std::min(packets, (next / kCredit + 1) * kCredit);
    while (next < burstEnd && (!paced || module->canSendWriteWithoutResponse())) {
      module->writeValue_forCharacteristic_type(encode_data(payload, next++), ota, CBCharacteristicWriteWithoutResponse);
    }
    if (next < packets && next == burstEnd) queue->post(send);  // the next credit
    if (next < burstEnd) ++figures.fullSocketWaits;
  };
  pacer->resume = send;
  send();
  if (paced) {
    queue->run_for(200ms);
    pause(false);
  }
  const std::uint32_t expected = static_cast<std::uint32_t>(payload.size()) * static_cast<std::uint32_t>(packets);
  std::uint32_t held = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  while (held < expected && std::chrono::steady_clock::now() - lastProgress < 5s) {
    queue->run_for(5ms);
    std::uint32_t now = 0;
    control.callMethod("ReceivedLength").onInterface("org.quillon.TestPeer1").withArguments(1).storeResultsTo(now);
    if (now != held) lastProgress = std::chrono::steady_clock::now();
    held = now;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  figures.packetsPerSecond = packets / seconds;
  figures.lost = (expected - held) / static_cast<std::uint32_t>(payload.size());
  central->cancelPeripheralConnection(module);
  queue->run_for(50ms);
  return figures;
}

void print(const char* name, const Figures& figures) {
  std::printf("  %-34s %8.0f packets/s, %u lost, %d waits for a full socket\n", name, figures.packetsPerSecond,
              figures.lost, figures.fullSocketWaits);
}

}  // namespace

int main(int argc, char** argv) {
  const int packets = argc > 1 ? std::atoi(argv[1]) : 2000;
  quillon::testing::PrivateSystemBus bus;
  quillon::testing::BluezPeerProcess peer;
  auto connection = sdbus::createSystemBusConnection();
  auto control = sdbus::createProxy(*connection, "org.bluez", "/test");
  std::printf("BlueZ backend to its stand-in, %d DATA packets of 240 bytes each:\n", packets);
  print("WriteValue (type command):", run(Way::WriteValue, packets, *control));
  print("AcquireWrite socket:", run(Way::Socket, packets, *control));
  print("socket, flow control, credit 255:", run(Way::SocketFlowControlled, packets, *control));
  return 0;
}
