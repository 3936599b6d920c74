#include "bluez_signals.h"

#include <map>
#include <memory>

namespace quillon::bluez {

void watchBluezSignals(BluezBus& bus, BluezSignalHandlers handlers) {
  auto shared = std::make_shared<const BluezSignalHandlers>(std::move(handlers));
  bus.watch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'",
            [shared](sdbus::Message& message) -> std::function<void()> {
              sdbus::ObjectPath path;
              message >> path;
              auto interfaces = readInterfaces(message);
              return [shared, path = std::string(path), interfaces = std::move(interfaces)] {
                shared->interfacesAdded(path, interfaces);
              };
            });
  bus.watch(
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
      [shared](sdbus::Message& message) -> std::function<void()> {
        sdbus::ObjectPath path;
        std::vector<std::string> interfaces;
        message >> path >> interfaces;
        return [shared, path = std::string(path), interfaces = std::move(interfaces)] {
          shared->interfacesRemoved(path, interfaces);
        };
      });
  bus.watch("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
            [shared](sdbus::Message& message) -> std::function<void()> {
              std::string interface;
              std::map<std::string, sdbus::Variant> changed;
              std::vector<std::string> invalidated;
              message >> interface >> changed >> invalidated;
              return [shared, path = message.getPath(), interface, properties = toProperties(changed),
                      invalidated = std::move(invalidated)] {
                shared->propertiesChanged(path, interface, properties, invalidated);
              };
            });
  // bluetoothd leaving the bus (a restart, a crash) ends every link and
  // scan at once, and its signals would never come.
  bus.watch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
      "arg0='org.bluez'",
      [shared](sdbus::Message& message) -> std::function<void()> {
        std::string name, before, after;
        message >> name >> before >> after;
        return [shared, present = !after.empty()] { shared->bluezPresence(present); };
      });
}

}  // namespace quillon::bluez
