// The ceiling a BlueZ link allows a firmware update: the module's data
// characteristic (FF02) is sent `bytes` bytes in writes without response of
// `packet` bytes each, through the backend's usual path (AcquireWrite's
// socket where offered), then one write with response. ATT keeps one
// bearer's PDUs in order, so that write's answer means the module's
// bluetoothd has taken every write before it. Prints bytes per second, and
// what it connected to, on standard output; no OTA protocol is involved.
//
// Runs against whatever module the system bus's bluetoothd reaches first
// (quillon-module in the test virtual machine):
//   bluez_link_ceiling_bench [--adapter hciN] [--bytes N] [--packet N] [--hold]
// With --hold there is no closing write: the program keeps the link up
// after its writes until it is ended, and the module's own count says when
// everything arrived. (bluetoothd 5.66 refuses a write with response on a
// characteristic whose write socket is held: "Write acquired".)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "quillon/bluez/bluez_backend.h"
#include "quillon/platform/log_sink.h"
#include "quillon/platform/run_loop.h"
#include "quillon/sim/sim_data_module.h"

using namespace quillon;
using namespace std::chrono_literals;

namespace {

class Link final : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  void centralManagerDidUpdateState(CBCentralManager& central) override {
    poweredOn = central.state() == CBManagerStatePoweredOn;
  }
  void centralManager_didDiscoverPeripheral_advertisementData_RSSI(CBCentralManager&,
                                                                   const std::shared_ptr<CBPeripheral>& p,
                                                                   const AdvertisementDictionary&, int) override {
    if (!found) found = p;
  }
  void centralManager_didConnectPeripheral(CBCentralManager&, const std::shared_ptr<CBPeripheral>&) override {
    connected = true;
  }
  void centralManager_didFailToConnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>&,
                                                       const std::optional<NSError>& e) override {
    failure = e ? e->description() : "connection failed";
  }
  void centralManager_didDisconnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>&,
                                                    const std::optional<NSError>&) override {
    failure = "the link went down";
  }
  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {}
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>&,
                                                             const std::shared_ptr<CBService>&,
                                                             const std::optional<NSError>&) override {}
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>&,
                                                        const std::optional<NSError>&) override {}
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>& e) override {
    answered = true;
    if (e) failure = e->description();
  }

  bool poweredOn = false;
  bool connected = false;
  bool answered = false;
  std::string failure;
  std::shared_ptr<CBPeripheral> found;
};

int fail(const std::string& why) {
  std::fprintf(stderr, "bluez_link_ceiling_bench: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string adapter = "hci0";
  long bytes = 256 * 1024;
  long packet = 244;
  bool hold = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--hold")) hold = true;
    if (i + 1 >= argc) continue;
    if (!std::strcmp(argv[i], "--adapter")) adapter = argv[i + 1];
    if (!std::strcmp(argv[i], "--bytes")) bytes = std::atol(argv[i + 1]);
    if (!std::strcmp(argv[i], "--packet")) packet = std::atol(argv[i + 1]);
  }
  if (bytes <= 0 || packet <= 0 || packet > 512) return fail("--bytes and --packet (1 to 512) must be positive");

  auto queue = std::make_shared<RunLoop>();
  bluez::BluezOptions options;
  options.adapter = adapter;
  options.log = std::make_shared<NullLogSink>();
  auto link = std::make_shared<Link>();
  auto central = bluez::centralFactory(options)(link, queue);
  if (!queue->run_until([&] { return link->poweredOn; }, 10s)) return fail(adapter + " is not powered on");
  central->scanForPeripheralsWithServices_options(std::vector{sim::kOtaServiceUUID}, std::nullopt);
  if (!queue->run_until([&] { return link->found != nullptr; }, 60s)) return fail("no module advertising FF10");
  central->stopScan();
  auto module = link->found;
  module->setDelegate(link);
  central->connectPeripheral_options(module, std::nullopt);
  if (!queue->run_until([&] { return link->connected || !link->failure.empty(); }, 30s) || !link->connected) {
    return fail("could not connect: " + link->failure);
  }
  module->discoverServices(std::nullopt);
  queue->run_until([&] { return module->services().has_value(); }, 10s);
  std::shared_ptr<CBCharacteristic> data;
  for (const auto& service : module->services().value_or(CBServiceList{})) {
    module->discoverCharacteristics_forService(std::nullopt, service);
    queue->run_until([&] { return service->characteristics().has_value(); }, 10s);
    for (const auto& c : service->characteristics().value_or(CBCharacteristicList{})) {
      if (c->UUID() == sim::kDataWriteUUID) data = c;
    }
  }
  if (!data) return fail("the module has no FF02");

  const NSData chunk(static_cast<std::size_t>(packet), 0x5A);
  if (hold) {
    std::printf("writing\n");
    std::fflush(stdout);
  }
  const auto began = std::chrono::steady_clock::now();
  long sent = 0;
  while (sent + packet <= bytes) {
    module->writeValue_forCharacteristic_type(chunk, data, CBCharacteristicWriteWithoutResponse);
    sent += packet;
    queue->run_for(0ms);  // lets the bus thread's news in, as an app's run loop would
  }
  if (hold) {
    std::printf("sent %ld bytes\n", sent);
    std::fflush(stdout);
    queue->run_for(std::chrono::hours(1));
    return 0;
  }
  module->writeValue_forCharacteristic_type(NSData(static_cast<std::size_t>(bytes - sent + 1), 0x5A), data,
                                            CBCharacteristicWriteWithResponse);
  if (!queue->run_until([&] { return link->answered || !link->failure.empty(); }, 300s) || !link->failure.empty()) {
    return fail("the closing write was not answered: " + link->failure);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("raw writes: %ld bytes in %ld-byte writes without response to %s through %s: %.3f s, %.0f bytes/s\n",
              bytes, packet, module->name().value_or("a module").c_str(), adapter.c_str(), seconds,
              static_cast<double>(bytes + 1) / seconds);
  central->cancelPeripheralConnection(module);
  queue->run_for(200ms);
  return 0;
}
