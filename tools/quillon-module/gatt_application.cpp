#include "gatt_application.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>

#include "quillon/ota/ota_codes.h"

namespace quillon::module_tool {

std::string full_uuid(const char* short_uuid) {
  return std::string("0000") + short_uuid + "-0000-1000-8000-00805f9b34fb";
}

GattApplication::GattApplication(sdbus::IConnection& bus, const std::string& root, ModuleTransfer& transfer,
                                 std::shared_ptr<LogSink> detail, std::function<void(const TransferEnd&)> on_transfer_end,
                                 const std::map<DeviceInformationField, std::string>& information)
    : root_(root), manager_(sdbus::createObject(bus, root)) {
  manager_->addObjectManager();
  manager_->finishRegistration();

  const auto service = [&](const char* uuid) -> const std::string& {
    services_.push_back(
        std::make_unique<GattService>(bus, root_ + "/service" + std::to_string(services_.size()), full_uuid(uuid)));
    return services_.back()->path();
  };
  const auto characteristic = [&](const std::string& service_path, GattCharacteristicConfig config) {
    const std::string path = service_path + "/char" + std::to_string(characteristics_.size());
    characteristics_.push_back(std::make_unique<GattCharacteristic>(bus, path, service_path, std::move(config)));
    return characteristics_.back().get();
  };

  const std::string& data = service("ff00");
  characteristic(data, {.uuid = full_uuid("ff01"), .flags = {"notify"}, .value = {}, .on_write = {}});
  characteristic(data, {.uuid = full_uuid("ff02"),
                        .flags = {"write", "write-without-response"},
                        .value = {},
                        .on_write =
                            [this, detail](const std::vector<std::uint8_t>& bytes, const std::string&) {
                              print_bytes_ += bytes.size();
                              if (detail->wants_lines()) {
                                detail->logf("FF02: %zu bytes of print data (%llu in all)", bytes.size(),
                                             static_cast<unsigned long long>(print_bytes_));
                              }
                            }});
  characteristic(data, {.uuid = full_uuid("ff03"), .flags = {"read", "notify"}, .value = {0x01}, .on_write = {}});

  const std::string& ota = service("ff10");
  GattCharacteristic* ff11 = characteristic(
      ota, {.uuid = full_uuid("ff11"),
            .flags = {"write-without-response", "write", "notify"},
            .value = {},
            .on_write = [this, &transfer, detail, on_transfer_end = std::move(on_transfer_end)](
                            const std::vector<std::uint8_t>& bytes, const std::string& from) {
              if (ota_written_) ota_written_(bytes);
              sent_version_.hostPacket(bytes);
              auto end = transfer.receive(bytes, from);
              if (!end) return;
              // The new image runs: its version is the module's firmware revision now.
              if (end->verdict == OTA_SUCCESS && firmware_revision_) {
                const std::string version = sent_version_.version();
                firmware_revision_->set_value({version.begin(), version.end()});
                if (detail->wants_lines()) detail->logf("firmware revision now \"%s\"", version.c_str());
              }
              on_transfer_end(*end);
            }});
  ff11_ = ff11;
  transfer.set_output(ota_output());

  if (information.empty()) return;
  const std::string& device_information = service("180a");
  for (const auto& [field, text] : information) {
    std::string uuid = characteristicUUIDOf(field).fullUUIDString();
    std::transform(uuid.begin(), uuid.end(), uuid.begin(), [](unsigned char c) { return std::tolower(c); });
    GattCharacteristic* made = characteristic(
        device_information, {.uuid = uuid, .flags = {"read"}, .value = {text.begin(), text.end()}, .on_write = {}});
    if (field == DeviceInformationField::FirmwareRevision) firmware_revision_ = made;
  }
}

OtaModule::Output GattApplication::ota_output() {
  return [ff11 = ff11_](std::vector<std::uint8_t> chunk) { ff11->notify(std::move(chunk)); };
}

}  // namespace quillon::module_tool
