// BlueZ's object tree as the central last heard it: GetManagedObjects once,
// then InterfacesAdded, InterfacesRemoved and PropertiesChanged keep it
// current. Plain C++ values (D-Bus variants are converted on the bus's
// reading thread, since sd-bus messages must not cross threads), read and
// changed on the main queue only.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillon::bluez {

inline constexpr char kAdapterInterface[] = "org.bluez.Adapter1";
inline constexpr char kDeviceInterface[] = "org.bluez.Device1";
inline constexpr char kServiceInterface[] = "org.bluez.GattService1";
inline constexpr char kCharacteristicInterface[] = "org.bluez.GattCharacteristic1";
inline constexpr char kObjectManagerInterface[] = "org.freedesktop.DBus.ObjectManager";
inline constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

using Bytes = std::vector<std::uint8_t>;
// The property types the backend reads: booleans; integers (n, q, i, u);
// strings and object paths; string lists; byte arrays; and the
// ManufacturerData (a{qv}) and ServiceData (a{sv}) maps of byte arrays.
using Value = std::variant<bool, std::int64_t, std::string, std::vector<std::string>, Bytes,
                           std::map<std::uint16_t, Bytes>, std::map<std::string, Bytes>>;
using Properties = std::map<std::string, Value>;
using Interfaces = std::map<std::string, Properties>;
using ManagedObjects = std::map<std::string, Interfaces>;

// Converts what the backend reads; other properties are left out.
Properties toProperties(const std::map<std::string, sdbus::Variant>& variants);
// Reads an a{oa{sa{sv}}} (GetManagedObjects) or the a{sa{sv}} of one object.
ManagedObjects readManagedObjects(sdbus::Message& message);
Interfaces readInterfaces(sdbus::Message& message);

// A property of the expected type, or nothing (absent or of another type).
template <typename T>
std::optional<T> property(const Properties* properties, const std::string& name) {
  if (!properties) return std::nullopt;
  auto it = properties->find(name);
  if (it == properties->end()) return std::nullopt;
  if (const T* value = std::get_if<T>(&it->second)) return *value;
  return std::nullopt;
}

class ObjectTree {
 public:
  void reset(ManagedObjects objects);
  void add(const std::string& path, Interfaces interfaces);
  void remove(const std::string& path, const std::vector<std::string>& interfaces);
  void change(const std::string& path, const std::string& interface, const Properties& changed,
              const std::vector<std::string>& invalidated);

  // The properties of `interface` at `path`; null when not there.
  const Properties* find(const std::string& path, const std::string& interface) const;
  // The paths whose `interface` has object-path property `parentProperty` equal to `parent`.
  std::vector<std::string> children(const std::string& interface, const std::string& parentProperty,
                                    const std::string& parent) const;
  // Every path holding `interface`.
  std::vector<std::string> withInterface(const std::string& interface) const;

 private:
  std::map<std::string, Interfaces> objects_;
};

}  // namespace quillon::bluez
