// A minimal host app: finds the printer's data module with BLEManager,
// connects, subscribes to the OTA characteristic and updates the module's
// firmware with BLEOTAController, all over the library's simulated BLE world.
// Prints what happens and exits 0 when the module accepted the image.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quillon/integrity/sha256_digest.h"
#include "quillon/manager/ble_manager.h"
#include "quillon/manager/ble_peripheral_router.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "quillon/sim/default_platform.h"

using namespace quillon;

namespace {

const CBUUID kOtaService = *CBUUID::UUIDWithString("FF10");
const CBUUID kOtaCharacteristic = *CBUUID::UUIDWithString("FF11");

// The controller's log lines would go to standard error; keep the output short.
OtaPlatform quietPlatform() {
  OtaPlatform platform;
  platform.log = std::make_shared<NullLogSink>();
  return platform;
}

// The app's part of the OTA service: GATT events come from BLEManager on the
// main thread; packets from the controller go out on the characteristic.
class OtaHandler final : public BLEServiceHandler, public BLEOTADelegate {
 public:
  explicit OtaHandler(std::shared_ptr<RunLoop> mainQueue) : mainQueue_(std::move(mainQueue)) {}

  BLEOTAController controller{quietPlatform()};
  std::string imagePath;
  int result = -1;  // the OTA_STATE_COMPLETED parameter, once reported

  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                      const std::optional<NSError>&) override {
    for (const auto& service : peripheral->services().value_or(CBServiceList{})) {
      if (service->UUID() == kOtaService) peripheral->discoverCharacteristics_forService(std::nullopt, service);
    }
  }
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>&) override {
    for (const auto& characteristic : service->characteristics().value_or(CBCharacteristicList{})) {
      if (characteristic->UUID() != kOtaCharacteristic) continue;
      peripheral_ = peripheral;
      characteristic_ = characteristic;
      peripheral->setNotifyValue_forCharacteristic(true, characteristic);
      std::printf("OTA characteristic ready, sending %s\n", imagePath.c_str());
      controller.download_firmware_from_file(PosixFileImageHandle::open_for_reading(imagePath));
    }
  }
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>& characteristic,
                                                        const std::optional<NSError>& error) override {
    // Every chunk the module notifies goes to the controller as it is.
    if (characteristic == characteristic_ && !error && characteristic->value()) {
      controller.pkt_received(*characteristic->value());
    }
  }
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {}

  // BLEOTADelegate: on the main thread, except the watchdog's time-out.
  void ota_send_data(std::vector<std::uint8_t> packet) override {
    peripheral_->writeValue_forCharacteristic_type(packet, characteristic_, CBCharacteristicWriteWithoutResponse);
  }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    // Move every report to the main queue, as an app moves it to its UI
    // thread; only the time-out report really needs it.
    mainQueue_->post([this, state, parameter] {
      if (state == OTA_STATE_STARTED) std::printf("module accepted START, image of %lld bytes\n", static_cast<long long>(parameter));
      if (state == OTA_STATE_COMPLETED && result < 0) {
        result = static_cast<int>(parameter);
        std::printf("transfer completed with result %d\n", result);
      }
    });
  }

 private:
  std::shared_ptr<RunLoop> mainQueue_;
  std::shared_ptr<CBPeripheral> peripheral_;
  std::shared_ptr<CBCharacteristic> characteristic_;
};

// The app's BLEManagerDelegate: scan when powered on, connect to the first
// module found (routing its events to `handler`), discover its services
// once connected.
class AppDelegate final : public BLEManagerDelegate {
 public:
  AppDelegate(std::shared_ptr<BLEPeripheralRouter> router, std::shared_ptr<OtaHandler> handler)
      : router_(std::move(router)), handler_(std::move(handler)) {}

  void didUpdateState(CBManagerState state) override {
    std::printf("central state %ld\n", static_cast<long>(state));
    if (state == CBManagerStatePoweredOn) BLEManager::sharedInstance().scanForPeripherals("FF10");
  }
  void didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                 const std::shared_ptr<BLEAdvertisementData>& ad, int RSSI) override {
    if (found_) return;
    found_ = true;
    std::printf("found %s (RSSI %d)\n", ad->localName().value_or("?").c_str(), RSSI);
    BLEManager::sharedInstance().stopScan();
    // One handler per module: with several modules, each gets its own
    // handler and controller here, and the router keeps their events apart.
    router_->setHandler_forPeripheral(handler_, peripheral->identifier());
    BLEManager::sharedInstance().connect(peripheral);
  }
  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) override {
    std::printf("connected to %s\n", peripheral->identifier().UUIDString().c_str());
    BLEManager::sharedInstance().discoverServices(peripheral);
  }
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>& error) override {
    std::printf("connection failed: %s\n", describe(error).c_str());
  }
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {}
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&, const std::optional<CBServiceList>&) override {}

 private:
  std::shared_ptr<BLEPeripheralRouter> router_;
  std::shared_ptr<OtaHandler> handler_;
  bool found_ = false;
};

}  // namespace

int main() {
  // A firmware image of 20,000 generated bytes in a temporary file.
  char path[] = "/tmp/quillon-host-app-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 1;
  std::vector<std::uint8_t> image(20000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  if (write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) return 1;
  close(fd);

  // The library's log lines would go to standard error; keep the output short.
  sim::configureDefaultPlatform({.world = nullptr, .userDefaults = nullptr, .systemVersion = nullptr,
                                 .log = std::make_shared<NullLogSink>()});
  auto queue = sim::defaultWorld()->queue();

  auto ota = std::make_shared<OtaHandler>(queue);
  ota->imagePath = path;
  ota->controller.setDelegate(ota);
  // The digest published with the image (here: of the bytes just written).
  // The controller sends the image only if the file holds exactly these
  // bytes; otherwise it reports OTA_STATE_COMPLETED with OTA_ERR_OTHER and
  // sends nothing.
  ota->controller.setExpected_sha256(sha256_of_bytes(image));
  auto router = std::make_shared<BLEPeripheralRouter>();
  auto app = std::make_shared<AppDelegate>(router, ota);

  BLEManager& manager = BLEManager::sharedInstance();
  manager.setDelegate(app);
  manager.bleServices().push_back(router);

  // The app's main loop: run the main queue until the transfer has ended.
  queue->run_until([&] { return ota->result >= 0; }, std::chrono::seconds(30));
  unlink(path);
  manager.bleServices().clear();
  const bool ok = ota->result == OTA_SUCCESS;
  std::printf("%s\n", ok ? "firmware update succeeded" : "firmware update failed");
  return ok ? 0 : 1;
}
