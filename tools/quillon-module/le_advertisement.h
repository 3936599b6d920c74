// An advertisement quillon-module registers with BlueZ
// (org.bluez.LEAdvertisement1): connectable ("peripheral"), with the
// module's name and service UUIDs. BlueZ reads its properties when it is
// registered and calls Release when it drops it on its own.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quillon/platform/log_sink.h"

namespace quillon::module_tool {

struct LeAdvertisementConfig {
  std::string name;
  std::vector<std::string> service_uuids;
};

class LeAdvertisement {
 public:
  LeAdvertisement(sdbus::IConnection& bus, std::string path, LeAdvertisementConfig config, std::shared_ptr<LogSink> events);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  LeAdvertisementConfig config_;
  std::shared_ptr<LogSink> events_;
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace quillon::module_tool
