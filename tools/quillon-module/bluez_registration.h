// quillon-module's dealings with bluetoothd: that org.bluez is there with
// the adapter, registering the GATT application and the advertisements on
// it, and unregistering them at the end.
//
// RegisterApplication and RegisterAdvertisement are sent without waiting:
// bluetoothd answers them only after it has read our objects (the
// application's GetManagedObjects, each advertisement's properties), which
// this process can serve only while its event loop runs.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/platform/log_sink.h"

namespace quillon::module_tool {

// Why the module cannot serve: its exit status and the line that says so.
struct ServeFailure {
  int status;
  std::string message;
};

// Whether org.bluez is on the bus and has `adapter` with a GATT manager and
// an advertising manager. Waits for bluetoothd's answer.
std::optional<ServeFailure> check_adapter(sdbus::IConnection& bus, const std::string& adapter);

class BluezRegistration {
 public:
  BluezRegistration(sdbus::IConnection& bus, const std::string& adapter, std::shared_ptr<LogSink> events);
  BluezRegistration(const BluezRegistration&) = delete;
  BluezRegistration& operator=(const BluezRegistration&) = delete;

  // Asks bluetoothd to serve the application at `application` and to
  // advertise each of `advertisements`. Only the first advertisement is
  // needed: an adapter out of advertising slots refuses the others, and
  // the module then goes on with fewer (said in a line).
  void begin(const std::string& application, const std::vector<std::string>& advertisements);
  // Every answer has come (the event loop must run until then).
  bool settled() const { return pending_ == 0; }
  // What was refused, once settled.
  const std::optional<ServeFailure>& failure() const { return failure_; }

  // Unregisters what was registered, waiting for each answer; a bluetoothd
  // that has gone away is no error here.
  void unregister();

 private:
  void refused(const std::string& what, const sdbus::Error& error);

  std::shared_ptr<LogSink> events_;
  std::unique_ptr<sdbus::IProxy> adapter_;
  std::string adapter_name_;
  int pending_ = 0;
  std::optional<ServeFailure> failure_;
  std::optional<std::string> application_;  // registered
  std::vector<std::string> advertisements_;  // registered
};

}  // namespace quillon::module_tool
