#include "gatt_characteristic.h"

#include <algorithm>

namespace quillon::module_tool {
namespace {

using Options = std::map<std::string, sdbus::Variant>;

bool has_flag(const std::vector<std::string>& flags, const std::string& flag) {
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

// The central's device object that BlueZ names in a call's options.
std::string device_of(const Options& options) {
  const auto device = options.find("device");
  if (device == options.end()) return {};
  try {
    return device->second.get<sdbus::ObjectPath>();
  } catch (const sdbus::Error&) {
    return {};
  }
}

}  // namespace

GattCharacteristic::GattCharacteristic(sdbus::IConnection& bus, std::string path, std::string service_path,
                                       GattCharacteristicConfig config)
    : path_(std::move(path)),
      service_path_(std::move(service_path)),
      config_(std::move(config)),
      object_(sdbus::createObject(bus, path_)) {
  const char* iface = kGattCharacteristicInterface;
  object_->registerProperty("UUID").onInterface(iface).withGetter([this] { return config_.uuid; });
  object_->registerProperty("Service").onInterface(iface).withGetter([this] { return sdbus::ObjectPath(service_path_); });
  object_->registerProperty("Flags").onInterface(iface).withGetter([this] { return config_.flags; });
  object_->registerProperty("Value").onInterface(iface).withGetter([this] { return config_.value; });
  object_->registerProperty("Notifying").onInterface(iface).withGetter([this] { return notifying_; });

  object_->registerMethod("ReadValue")
      .onInterface(iface)
      .withInputParamNames("options")
      .withOutputParamNames("value")
      .implementedAs([this](const Options& options) {
        if (!has_flag(config_.flags, "read")) throw sdbus::Error("org.bluez.Error.NotPermitted", "Read not permitted");
        // A value longer than one ATT response is read in parts (Read Blob):
        // bluetoothd asks for the rest from "offset".
        std::size_t offset = 0;
        if (auto it = options.find("offset"); it != options.end()) {
          try {
            offset = it->second.get<std::uint16_t>();
          } catch (const sdbus::Error&) {
          }
        }
        if (offset > config_.value.size()) {
          throw sdbus::Error("org.bluez.Error.InvalidOffset", "Invalid offset");
        }
        return std::vector<std::uint8_t>(config_.value.begin() + static_cast<std::ptrdiff_t>(offset), config_.value.end());
      });
  object_->registerMethod("WriteValue")
      .onInterface(iface)
      .withInputParamNames("value", "options")
      .implementedAs([this](const std::vector<std::uint8_t>& value, const Options& options) {
        if (!has_flag(config_.flags, "write") && !has_flag(config_.flags, "write-without-response")) {
          throw sdbus::Error("org.bluez.Error.NotPermitted", "Write not permitted");
        }
        if (config_.on_write) config_.on_write(value, device_of(options));
      });
  object_->registerMethod("StartNotify").onInterface(iface).implementedAs([this] {
    if (!has_flag(config_.flags, "notify")) throw sdbus::Error("org.bluez.Error.NotSupported", "Notify not supported");
    if (notifying_) return;
    notifying_ = true;
    object_->emitPropertiesChangedSignal(kGattCharacteristicInterface, {"Notifying"});
  });
  object_->registerMethod("StopNotify").onInterface(iface).implementedAs([this] {
    if (!notifying_) return;
    notifying_ = false;
    object_->emitPropertiesChangedSignal(kGattCharacteristicInterface, {"Notifying"});
  });
  object_->finishRegistration();
}

void GattCharacteristic::notify(std::vector<std::uint8_t> value) {
  config_.value = std::move(value);
  if (notifying_) object_->emitPropertiesChangedSignal(kGattCharacteristicInterface, {"Value"});
}

}  // namespace quillon::module_tool
