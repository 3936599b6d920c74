// The GATT application quillon-module registers with BlueZ: an
// ObjectManager at its root (BlueZ reads the whole tree through it) and the
// printer data module's two services as the simulated world offers them:
//   FF00  FF01 notify (nothing is sent on it), FF02 write and write without
//         response (the bytes are counted), FF03 read and notify (reads 01:
//         ready to print, and never changes);
//   FF10  FF11 write, write without response and notify: each write goes to
//         the module's OTA side, whose answers go out as notifications;
//   180A  when any string is given, the Device Information strings, read
//         only; after a transfer the module accepted, the firmware revision
//         (when offered) is the version tagged in the image.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "gatt_characteristic.h"
#include "gatt_service.h"
#include "module_transfer.h"
#include "quillon/dis/device_information.h"
#include "quillon/module/image_version_tag.h"
#include "quillon/platform/log_sink.h"

namespace quillon::module_tool {

class GattApplication {
 public:
  // Exports the tree under `root` on `bus`. `transfer` serves FF11 and
  // `on_transfer_end` hears how each transfer ended; both must outlive the
  // application.
  GattApplication(sdbus::IConnection& bus, const std::string& root, ModuleTransfer& transfer,
                  std::shared_ptr<LogSink> detail, std::function<void(const TransferEnd&)> on_transfer_end,
                  const std::map<DeviceInformationField, std::string>& information = {});
  // Its handlers hold its address.
  GattApplication(const GattApplication&) = delete;
  GattApplication& operator=(const GattApplication&) = delete;

  const std::string& root() const { return root_; }
  // Hears each write on FF11 before the module takes it (--hold-ack counts them).
  void on_ota_write(std::function<void(std::span<const std::uint8_t>)> observer) { ota_written_ = std::move(observer); }
  // Notifies one chunk on FF11, as the module's answers go out.
  OtaModule::Output ota_output();

 private:
  std::string root_;
  std::unique_ptr<sdbus::IObject> manager_;
  std::vector<std::unique_ptr<GattService>> services_;
  std::vector<std::unique_ptr<GattCharacteristic>> characteristics_;
  std::uint64_t print_bytes_ = 0;
  ImageVersionFollower sent_version_;
  GattCharacteristic* firmware_revision_ = nullptr;
  GattCharacteristic* ff11_ = nullptr;
  std::function<void(std::span<const std::uint8_t>)> ota_written_;
};

// The 128-bit form of a 16-bit Bluetooth SIG UUID ("ff10" → "0000ff10-...").
std::string full_uuid(const char* short_uuid);

}  // namespace quillon::module_tool
