#include "bluez_bus.h"

#include <utility>

namespace quillon::bluez {

std::unique_ptr<BluezBus> BluezBus::open(std::shared_ptr<RunLoop> queue, std::string& error) {
  try {
    auto connection = sdbus::createSystemBusConnection();
    auto bus = std::unique_ptr<BluezBus>(new BluezBus(std::move(connection), std::move(queue)));
    bus->connection_->enterEventLoopAsync();
    return bus;
  } catch (const sdbus::Error& e) {
    error = e.getMessage();
    return nullptr;
  }
}

BluezBus::BluezBus(std::unique_ptr<sdbus::IConnection> connection, std::shared_ptr<RunLoop> queue)
    : connection_(std::move(connection)), queue_(std::move(queue)) {}

BluezBus::~BluezBus() {
  // Joins the reading thread; pending calls and watches then go quietly.
  connection_->leaveEventLoop();
  watches_.clear();
  proxies_.clear();
}

sdbus::IProxy& BluezBus::proxy(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto& slot = proxies_[path];
  if (!slot) slot = sdbus::createProxy(*connection_, kBluezName, path);
  return *slot;
}

void BluezBus::watch(const std::string& rule, SignalUnpacker unpack) {
  watches_.push_back(connection_->addMatch(rule, [queue = queue_, unpack = std::move(unpack)](sdbus::Message& message) {
    std::function<void()> task;
    try {
      task = unpack(message);
    } catch (const sdbus::Error&) {
      return;  // a signal of an unexpected shape
    }
    if (task) queue->post(std::move(task));
  }));
}

std::optional<BusError> BluezBus::call(const std::string& path, const std::string& interface,
                                       const std::string& method, const Filler& fill,
                                       const std::function<void(sdbus::MethodReply&)>& read,
                                       std::chrono::milliseconds timeout) {
  try {
    auto& target = proxy(path);
    auto message = target.createMethodCall(interface, method);
    if (fill) fill(message);
    auto reply = target.callMethod(message, timeout);
    if (read) read(reply);
    return std::nullopt;
  } catch (const sdbus::Error& e) {
    return BusError{e.getName(), e.getMessage()};
  }
}

void BluezBus::callAsync(const std::string& path, const std::string& interface, const std::string& method,
                         const Filler& fill, ReplyUnpacker unpack, std::chrono::milliseconds timeout) {
  auto queue = queue_;
  auto shared = std::make_shared<ReplyUnpacker>(std::move(unpack));
  auto handler = [queue, shared](sdbus::MethodReply& reply, const sdbus::Error* error) {
    std::function<void()> task;
    try {
      if (error) {
        const BusError failed{error->getName(), error->getMessage()};
        task = (*shared)(nullptr, &failed);
      } else {
        task = (*shared)(&reply, nullptr);
      }
    } catch (const sdbus::Error& e) {
      const BusError failed{e.getName(), e.getMessage()};
      task = (*shared)(nullptr, &failed);
    }
    if (task) queue->post(std::move(task));
  };
  try {
    auto& target = proxy(path);
    auto message = target.createMethodCall(interface, method);
    if (fill) fill(message);
    target.callMethod(message, std::move(handler), std::chrono::duration_cast<std::chrono::microseconds>(timeout));
  } catch (const sdbus::Error& e) {
    const BusError failed{e.getName(), e.getMessage()};
    if (auto task = (*shared)(nullptr, &failed)) queue->post(std::move(task));
  }
}

}  // namespace quillon::bluez
