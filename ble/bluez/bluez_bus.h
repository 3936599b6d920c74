// The BlueZ backend's connection to the system bus (sdbus-c++): one
// connection per central, whose own thread reads the socket. Replies and
// signals are unpacked on that thread (a message is never handed across
// threads) and the unpacked values are posted to the library's main queue,
// in the order they arrived; every handler given here runs on that queue.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bluez_errors.h"
#include "quillon/platform/run_loop.h"

namespace quillon::bluez {

inline constexpr char kBluezName[] = "org.bluez";

class BluezBus {
 public:
  // Opens the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and starts its
  // reading thread. Null, with `error` filled, when there is no bus.
  static std::unique_ptr<BluezBus> open(std::shared_ptr<RunLoop> queue, std::string& error);
  // Stops the reading thread first, so that no handler runs afterwards.
  ~BluezBus();

  // Subscribes to the signals `rule` matches; `unpack` runs on the reading
  // thread and returns the task to post (or none to drop the signal).
  using SignalUnpacker = std::function<std::function<void()>(sdbus::Message&)>;
  void watch(const std::string& rule, SignalUnpacker unpack);

  // Fills a call to org.bluez's `path`.
  using Filler = std::function<void(sdbus::MethodCall&)>;
  // Calls and waits for the reply (main queue thread). Returns the error, if any;
  // `read` unpacks a successful reply.
  std::optional<BusError> call(const std::string& path, const std::string& interface, const std::string& method,
                               const Filler& fill, const std::function<void(sdbus::MethodReply&)>& read = {},
                               std::chrono::milliseconds timeout = std::chrono::seconds(25));
  // Sends a call that wants no reply (a write without response): nothing
  // waits for it, so a burst of them is not capped by the bus's limit on
  // pending replies. Errors are not reported.
  void send(const std::string& path, const std::string& interface, const std::string& method, const Filler& fill);
  // Calls without waiting; `unpack` turns the reply (or null and the error)
  // into the task posted to the queue. Calls go out in the order made.
  using ReplyUnpacker = std::function<std::function<void()>(sdbus::MethodReply*, const BusError*)>;
  void callAsync(const std::string& path, const std::string& interface, const std::string& method, const Filler& fill,
                 ReplyUnpacker unpack, std::chrono::milliseconds timeout = std::chrono::seconds(25));

 private:
  BluezBus(std::unique_ptr<sdbus::IConnection> connection, std::shared_ptr<RunLoop> queue);
  sdbus::IProxy& proxy(const std::string& path);

  std::unique_ptr<sdbus::IConnection> connection_;
  std::shared_ptr<RunLoop> queue_;
  std::mutex mutex_;  // proxies_ (made on the queue, used by replies on the reading thread)
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
  std::vector<sdbus::Slot> watches_;
};

}  // namespace quillon::bluez
