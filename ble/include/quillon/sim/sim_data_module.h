// The printer's BLE data module as a simulated device: the data-transmission
// service FF00 (FF01 notify: module to app; FF02 write: app to module; FF03
// flow control), the OTA service FF10, whose characteristic FF11 (write
// without response + notify) carries the OTA protocol to a simulated OTA
// module and its answers back as notifications, and, when configured, the
// Device Information service 180A (read-only strings). After an update the
// module accepted, its firmware revision is the version tagged in the new
// image (empty without a tag), as real firmware reports after its restart.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "quillon/sim/sim_device.h"
#include "quillon/dis/device_information.h"
#include "quillon/module/image_version_tag.h"
#include "quillon/module/ota_module.h"

namespace quillon::sim {

inline const CBUUID kDataServiceUUID = CBUUID::fromShort(0xFF00);
inline const CBUUID kDataNotifyUUID = CBUUID::fromShort(0xFF01);
inline const CBUUID kDataWriteUUID = CBUUID::fromShort(0xFF02);
inline const CBUUID kFlowControlUUID = CBUUID::fromShort(0xFF03);
inline const CBUUID kOtaServiceUUID = CBUUID::fromShort(0xFF10);
inline const CBUUID kOtaUUID = CBUUID::fromShort(0xFF11);

struct SimDataModuleConfig {
  NSUUID identifier = NSUUID::UUID();
  std::string name = "Printer BLE";
  int rssi = -55;
  // Advertised with the module's services; none by default.
  std::vector<std::pair<CBUUID, NSData>> serviceData;
  // The ATT MTU of its links (see SimDeviceConfig).
  std::size_t attMtu = 517;
  OtaModuleConfig ota;
  // The Device Information strings it offers, each as exact bytes; none:
  // no 180A service.
  std::map<DeviceInformationField, NSData> deviceInformation;
};

class SimDataModule final : public SimDevice {
 public:
  explicit SimDataModule(SimDataModuleConfig config = {});

  // Everything written on FF02 so far, in order.
  const NSData& receivedData() const { return receivedData_; }
  // Sends bytes to the app as a notification on FF01.
  void sendData(const NSData& bytes) { notify(kDataNotifyUUID, bytes); }
  // The module's side of the OTA protocol: what it got, its verdict.
  OtaModule& otaModule() { return ota_; }
  const OtaModule& otaModule() const { return ota_; }
  // What it reports as `field` now; absent when it does not offer it.
  std::optional<NSData> deviceInformation(DeviceInformationField field) const {
    return value(characteristicUUIDOf(field));
  }

 private:
  void otaWritten(const NSData& bytes);

  NSData receivedData_;
  OtaModule ota_;
  ImageVersionFollower sentVersion_;
};

}  // namespace quillon::sim
