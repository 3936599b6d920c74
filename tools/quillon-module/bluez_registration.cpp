#include "bluez_registration.h"

#include <chrono>
#include <map>

#include "module_exit_status.h"

namespace quillon::module_tool {
namespace {

constexpr char kGattManager[] = "org.bluez.GattManager1";
constexpr char kAdvertisingManager[] = "org.bluez.LEAdvertisingManager1";
using Options = std::map<std::string, sdbus::Variant>;
using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>>;

// Long enough for a busy bluetoothd; short enough that a hung one is noticed.
constexpr auto kCallTimeout = std::chrono::seconds(10);

std::string error_text(const sdbus::Error& error) { return error.getName() + ": " + error.getMessage(); }

}  // namespace

std::optional<ServeFailure> check_adapter(sdbus::IConnection& bus, const std::string& adapter) {
  ManagedObjects objects;
  try {
    auto root = sdbus::createProxy(bus, "org.bluez", "/");
    root->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .withTimeout(kCallTimeout)
        .storeResultsTo(objects);
  } catch (const sdbus::Error& e) {
    if (e.getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        e.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner") {
      return ServeFailure{kExitNoBluez, "org.bluez is not on the system bus (is bluetoothd running?)"};
    }
    return ServeFailure{kExitNoBluez, "cannot reach org.bluez: " + error_text(e)};
  }
  const std::string path = "/org/bluez/" + adapter;
  const auto found = objects.find(sdbus::ObjectPath(path));
  if (found == objects.end() || !found->second.count("org.bluez.Adapter1")) {
    std::string known;
    for (const auto& [object, interfaces] : objects) {
      if (interfaces.count("org.bluez.Adapter1")) known += (known.empty() ? "" : ", ") + object.substr(object.rfind('/') + 1);
    }
    return ServeFailure{kExitNoAdapter,
                        "no adapter " + adapter + " (org.bluez has " + (known.empty() ? "none" : known) + ")"};
  }
  for (const char* needed : {kGattManager, kAdvertisingManager}) {
    if (!found->second.count(needed)) {
      return ServeFailure{kExitNoAdapter, "adapter " + adapter + " offers no " + needed +
                                              " (an adapter without Bluetooth LE, or bluetoothd too old)"};
    }
  }
  return std::nullopt;
}

BluezRegistration::BluezRegistration(sdbus::IConnection& bus, const std::string& adapter, std::shared_ptr<LogSink> events)
    : events_(std::move(events)), adapter_(sdbus::createProxy(bus, "org.bluez", "/org/bluez/" + adapter)), adapter_name_(adapter) {
  adapter_->finishRegistration();
}

void BluezRegistration::refused(const std::string& what, const sdbus::Error& error) {
  if (!failure_) failure_ = ServeFailure{kExitRefused, "BlueZ refused the " + what + ": " + error_text(error)};
}

void BluezRegistration::begin(const std::string& application, const std::vector<std::string>& advertisements) {
  ++pending_;
  adapter_->callMethodAsync("RegisterApplication")
      .onInterface(kGattManager)
      .withTimeout(kCallTimeout)
      .withArguments(sdbus::ObjectPath(application), Options{})
      .uponReplyInvoke([this, application](const sdbus::Error* error) {
        --pending_;
        if (error) return refused("GATT application", *error);
        application_ = application;
        events_->logf("registered the GATT application %s on %s", application.c_str(), adapter_name_.c_str());
      });
  for (std::size_t i = 0; i < advertisements.size(); ++i) {
    const std::string path = advertisements[i];
    const bool needed = i == 0;
    ++pending_;
    adapter_->callMethodAsync("RegisterAdvertisement")
        .onInterface(kAdvertisingManager)
        .withTimeout(kCallTimeout)
        .withArguments(sdbus::ObjectPath(path), Options{})
        .uponReplyInvoke([this, path, needed](const sdbus::Error* error) {
          --pending_;
          if (error && needed) return refused("advertisement", *error);
          if (error) {
            events_->logf("advertising without %s: %s", path.c_str(), error_text(*error).c_str());
            return;
          }
          advertisements_.push_back(path);
          events_->logf("registered the advertisement %s", path.c_str());
        });
  }
}

void BluezRegistration::unregister() {
  const auto call = [&](const char* interface, const char* method, const std::string& path) {
    try {
      adapter_->callMethod(method).onInterface(interface).withTimeout(kCallTimeout).withArguments(sdbus::ObjectPath(path));
    } catch (const sdbus::Error&) {
      // bluetoothd gone or restarted: it holds nothing of ours any more.
    }
  };
  for (const auto& path : advertisements_) call(kAdvertisingManager, "UnregisterAdvertisement", path);
  advertisements_.clear();
  if (application_) call(kGattManager, "UnregisterApplication", *application_);
  application_.reset();
}

}  // namespace quillon::module_tool
