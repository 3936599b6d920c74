// bluetoothd's object tree as its ObjectManager answers GetManagedObjects:
// every object path with its interfaces and their properties. For tests
// that look things up on the real daemon's bus.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <string>

namespace quillon::testing {

using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>>;

// Asks org.bluez on `bus` for its whole tree. Throws sdbus::Error.
inline ManagedObjects bluezManagedObjects(sdbus::IConnection& bus) {
  ManagedObjects objects;
  sdbus::createProxy(bus, "org.bluez", "/")
      ->callMethod("GetManagedObjects")
      .onInterface("org.freedesktop.DBus.ObjectManager")
      .storeResultsTo(objects);
  return objects;
}

}  // namespace quillon::testing
