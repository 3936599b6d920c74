#include "gatt_application.h"

#include <utility>

namespace quillon::module_tool {

std::string full_uuid(const char* short_uuid) {
  return std::string("0000") + short_uuid + "-0000-1000-8000-00805f9b34fb";
}

GattApplication::GattApplication(sdbus::IConnection& bus, const std::string& root, ModuleTransfer& transfer,
                                 std::shared_ptr<LogSink> detail, std::function<void(const TransferEnd&)> on_transfer_end)
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
            .on_write = [this, &transfer, on_transfer_end = std::move(on_transfer_end)](
                            const std::vector<std::uint8_t>& bytes, const std::string& from) {
              if (ota_written_) ota_written_(bytes);
              if (auto end = transfer.receive(bytes, from)) on_transfer_end(*end);
            }});
  ff11_ = ff11;
  transfer.set_output(ota_output());
}

OtaModule::Output GattApplication::ota_output() {
  return [ff11 = ff11_](std::vector<std::uint8_t> chunk) { ff11->notify(std::move(chunk)); };
}

}  // namespace quillon::module_tool
