#include "le_advertisement.h"

namespace quillon::module_tool {

LeAdvertisement::LeAdvertisement(sdbus::IConnection& bus, std::string path, LeAdvertisementConfig config,
                                 std::shared_ptr<LogSink> events)
    : path_(std::move(path)), config_(std::move(config)), events_(std::move(events)), object_(sdbus::createObject(bus, path_)) {
  const char* iface = "org.bluez.LEAdvertisement1";
  object_->registerProperty("Type").onInterface(iface).withGetter([] { return std::string("peripheral"); });
  object_->registerProperty("ServiceUUIDs").onInterface(iface).withGetter([this] { return config_.service_uuids; });
  object_->registerProperty("LocalName").onInterface(iface).withGetter([this] { return config_.name; });
  object_->registerMethod("Release").onInterface(iface).implementedAs([this] {
    events_->logf("BlueZ released the advertisement %s", path_.c_str());
  });
  object_->finishRegistration();
}

}  // namespace quillon::module_tool
