#include "gatt_service.h"

#include <vector>

namespace quillon::module_tool {

GattService::GattService(sdbus::IConnection& bus, std::string path, std::string uuid)
    : path_(std::move(path)), uuid_(std::move(uuid)), object_(sdbus::createObject(bus, path_)) {
  const char* iface = "org.bluez.GattService1";
  object_->registerProperty("UUID").onInterface(iface).withGetter([this] { return uuid_; });
  object_->registerProperty("Primary").onInterface(iface).withGetter([] { return true; });
  object_->registerProperty("Includes").onInterface(iface).withGetter([] { return std::vector<sdbus::ObjectPath>{}; });
  object_->finishRegistration();
}

}  // namespace quillon::module_tool
