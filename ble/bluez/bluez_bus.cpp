#include "bluez_bus.h"

#include <cstdlib>
#include <set>
#include <utility>

namespace quillon::bluez {
namespace {

// sdbus-c++ builds every D-Bus variant on one process-wide pseudo
// connection that it destroys when the process exits. A reading thread that
// is still running then (the shared manager's central is never destroyed)
// must not read another signal: at exit, before that connection goes, the
// reading threads are told to stop reading and are joined.
struct ReadingThreads {
  std::mutex mutex;
  bool exiting = false;
  std::set<sdbus::IConnection*> connections;  // those whose reading thread runs
};

ReadingThreads& readingThreads() {
  static auto* threads = new ReadingThreads();  // never destroyed: the exit handler uses it
  return *threads;
}

void stopAtExit() {
  std::set<sdbus::IConnection*> connections;
  {
    std::lock_guard lock(readingThreads().mutex);
    readingThreads().exiting = true;
    connections.swap(readingThreads().connections);
  }
  for (auto* connection : connections) connection->leaveEventLoop();
}

// Registers stopAtExit once, after making sure the pseudo connection exists,
// so that the handler runs before the connection's destruction.
void stopReadingAtExit() {
  static const bool registered = [] {
    sdbus::Variant touch;
    return std::atexit(stopAtExit) == 0;
  }();
  (void)registered;
}

// Held by the reading thread while it reads a message; false when the
// process is exiting and nothing may be read any more.
class ReadingGuard {
 public:
  ReadingGuard() : lock_(readingThreads().mutex) {}
  bool allowed() const { return !readingThreads().exiting; }

 private:
  std::lock_guard<std::mutex> lock_;
};

void addLiveBus(sdbus::IConnection* connection) {
  std::lock_guard lock(readingThreads().mutex);
  readingThreads().connections.insert(connection);
}

void removeLiveBus(sdbus::IConnection* connection) {
  std::lock_guard lock(readingThreads().mutex);
  readingThreads().connections.erase(connection);
}

}  // namespace

std::unique_ptr<BluezBus> BluezBus::open(std::shared_ptr<RunLoop> queue, std::string& error) {
  try {
    auto connection = sdbus::createSystemBusConnection();
    auto bus = std::unique_ptr<BluezBus>(new BluezBus(std::move(connection), std::move(queue)));
    stopReadingAtExit();
    bus->connection_->enterEventLoopAsync();
    addLiveBus(bus->connection_.get());
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
  removeLiveBus(connection_.get());
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
    {
      ReadingGuard guard;
      if (!guard.allowed()) return;
      try {
        task = unpack(message);
      } catch (const sdbus::Error&) {
        return;  // a signal of an unexpected shape
      }
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
    auto answer = target.callMethod(message, timeout);
    if (read) read(answer);
    return std::nullopt;
  } catch (const sdbus::Error& e) {
    return BusError{e.getName(), e.getMessage()};
  }
}

void BluezBus::send(const std::string& path, const std::string& interface, const std::string& method,
                    const Filler& fill) {
  try {
    auto& target = proxy(path);
    auto message = target.createMethodCall(interface, method);
    if (fill) fill(message);
    message.dontExpectReply();
    target.callMethod(message);
  } catch (const sdbus::Error&) {
    // As over the air: a write without response that fails is not reported.
  }
}

void BluezBus::callAsync(const std::string& path, const std::string& interface, const std::string& method,
                         const Filler& fill, ReplyUnpacker unpack, std::chrono::milliseconds timeout) {
  auto queue = queue_;
  auto shared = std::make_shared<ReplyUnpacker>(std::move(unpack));
  auto handler = [queue, shared](sdbus::MethodReply& reply, const sdbus::Error* error) {
    std::function<void()> task;
    ReadingGuard guard;
    if (!guard.allowed()) return;
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
