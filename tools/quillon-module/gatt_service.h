// One primary service of quillon-module's GATT application
// (org.bluez.GattService1): UUID, Primary and no included services.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <string>

namespace quillon::module_tool {

class GattService {
 public:
  GattService(sdbus::IConnection& bus, std::string path, std::string uuid);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string uuid_;
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace quillon::module_tool
