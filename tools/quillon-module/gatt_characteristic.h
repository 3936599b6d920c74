// One characteristic of the GATT application quillon-module exports
// (org.bluez.GattCharacteristic1): BlueZ reads its UUID, Service and Flags
// when the application is registered, calls ReadValue and WriteValue for a
// central's reads and writes, and StartNotify/StopNotify when a central
// subscribes. A notification is a PropertiesChanged of Value while
// notifying; BlueZ sends it on to the subscribed centrals.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillon::module_tool {

inline constexpr char kGattCharacteristicInterface[] = "org.bluez.GattCharacteristic1";

struct GattCharacteristicConfig {
  std::string uuid;                // 128-bit, lower case
  std::vector<std::string> flags;  // "read", "write", "write-without-response", "notify"
  std::vector<std::uint8_t> value;  // what a read returns until a notification changes it
  // A central's write: the bytes and the central's device object path ("" when BlueZ did not say).
  std::function<void(const std::vector<std::uint8_t>&, const std::string&)> on_write;
};

class GattCharacteristic {
 public:
  GattCharacteristic(sdbus::IConnection& bus, std::string path, std::string service_path, GattCharacteristicConfig config);

  const std::string& path() const { return path_; }
  const std::string& uuid() const { return config_.uuid; }
  bool notifying() const { return notifying_; }

  // Sends `value` to the subscribed centrals; dropped while none is subscribed.
  void notify(std::vector<std::uint8_t> value);
  // What later reads return, without notifying anyone.
  void set_value(std::vector<std::uint8_t> value) { config_.value = std::move(value); }

 private:
  std::string path_;
  std::string service_path_;
  GattCharacteristicConfig config_;
  bool notifying_ = false;
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace quillon::module_tool
