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
//   bluez_link_ceiling_bench [--adapter hciN] [--bytes N] [--packet N] [--hold | --windowed]
// With --hold there is no closing write: the program keeps the link up
// after its writes until it is ended, and the module's own count says when
// everything arrived. (bluetoothd 5.66 refuses a write with response on a
// characteristic whose write socket is held: "Write acquired".)
//
// With --windowed it is the ceiling the OTA protocol itself allows on the
// link, with none of the library's controller: START on FF11, then windows
// of DATA packets of the size the module grants (its credit first, 3 after
// each acknowledgement), each window waiting for the module's
// acknowledgement through the backend's subscription to FF11 (the same kind
// an update has), then END and the module's END. Prints the image bytes per
// second from the first DATA to the module's END.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "quillon/bluez/bluez_backend.h"
#include "quillon/ota/ota_packet.h"
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
                                                        const std::shared_ptr<CBCharacteristic>& c,
                                                        const std::optional<NSError>& e) override {
    if (!e && c->value()) notified.push_back(*c->value());
  }
  void peripheral_didUpdateNotificationStateForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                                    const std::shared_ptr<CBCharacteristic>&,
                                                                    const std::optional<NSError>& e) override {
    subscribed = !e;
    if (e) failure = e->description();
  }
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>& e) override {
    answered = true;
    if (e) failure = e->description();
  }

  bool poweredOn = false;
  bool connected = false;
  bool answered = false;
  std::optional<bool> subscribed;
  std::deque<NSData> notified;
  std::string failure;
  std::shared_ptr<CBPeripheral> found;
};

int fail(const std::string& why) {
  std::fprintf(stderr, "bluez_link_ceiling_bench: %s\n", why.c_str());
  return 1;
}

// The next notification on FF11, within `limit`.
std::optional<NSData> nextNotification(RunLoop& queue, Link& link, std::chrono::seconds limit) {
  if (!queue.run_until([&] { return !link.notified.empty() || !link.failure.empty(); }, limit) || link.notified.empty()) {
    return std::nullopt;
  }
  NSData chunk = std::move(link.notified.front());
  link.notified.pop_front();
  return chunk;
}

int windowed(RunLoop& queue, Link& link, CBPeripheral& module, const std::shared_ptr<CBCharacteristic>& ota,
             long bytes) {
  module.setNotifyValue_forCharacteristic(true, ota);
  if (!queue.run_until([&] { return link.subscribed.has_value(); }, 60s) || !*link.subscribed) {
    return fail("could not subscribe to FF11: " + link.failure);
  }
  const auto start = encode_start(bytes);
  module.writeValue_forCharacteristic_type(NSData(start.begin(), start.end()), ota, CBCharacteristicWriteWithoutResponse);
  const auto granted = nextNotification(queue, link, 60s);
  if (!granted || granted->size() < 6 || (*granted)[1] != 0xF1 || (*granted)[2] != 0) {
    return fail("the module did not accept START");
  }
  const long room = static_cast<long>((*granted)[3]) - static_cast<long>(kOtaDataOverhead);
  long window = (*granted)[4];
  if (room <= 0 || window <= 0) return fail("the module granted no room for DATA");
  const NSData payload(static_cast<std::size_t>(room), 0x5A);
  const auto began = std::chrono::steady_clock::now();
  long sent = 0;
  std::int64_t index = 0;
  while (sent < bytes) {
    for (long n = 0; n < window && sent < bytes; ++n) {
      const long size = std::min(room, bytes - sent);
      module.writeValue_forCharacteristic_type(encode_data(std::span(payload).first(static_cast<std::size_t>(size)), index++),
                                               ota, CBCharacteristicWriteWithoutResponse);
      sent += size;
    }
    window = 3;
    if (sent < bytes && !nextNotification(queue, link, 60s)) return fail("no acknowledgement of DATA: " + link.failure);
  }
  const auto end = encode_end(0);
  module.writeValue_forCharacteristic_type(NSData(end.begin(), end.end()), ota, CBCharacteristicWriteWithoutResponse);
  // The last window's acknowledgement (if the window was full) comes first.
  for (;;) {
    const auto chunk = nextNotification(queue, link, 60s);
    if (!chunk) return fail("the module did not answer END: " + link.failure);
    if (chunk->size() == 4 && (*chunk)[0] == 0xF3) {
      if ((*chunk)[2] != 0) return fail("the module refused the image");
      break;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("windowed writes: %ld bytes in %ld-byte DATA packets to %s: %.3f s, %.0f bytes/s\n", bytes, room,
              module.name().value_or("a module").c_str(), seconds, static_cast<double>(bytes) / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string adapter = "hci0";
  long bytes = 256 * 1024;
  long packet = 244;
  bool hold = false;
  bool windowedMode = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--hold")) hold = true;
    if (!std::strcmp(argv[i], "--windowed")) windowedMode = true;
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
  std::shared_ptr<CBCharacteristic> data, ota;
  for (const auto& service : module->services().value_or(CBServiceList{})) {
    module->discoverCharacteristics_forService(std::nullopt, service);
    queue->run_until([&] { return service->characteristics().has_value(); }, 10s);
    for (const auto& c : service->characteristics().value_or(CBCharacteristicList{})) {
      if (c->UUID() == sim::kDataWriteUUID) data = c;
      if (c->UUID() == sim::kOtaUUID) ota = c;
    }
  }
  if (windowedMode) {
    if (!ota) return fail("the module has no FF11");
    const int status = windowed(*queue, *link, *module, ota, bytes);
    central->cancelPeripheralConnection(module);
    queue->run_for(200ms);
    return status;
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
