#include "bluez_object_tree.h"

namespace quillon::bluez {
namespace {

template <typename Map>
auto bytesOf(const Map& variants) {
  std::map<typename Map::key_type, Bytes> out;
  for (const auto& [key, value] : variants) {
    if (value.template containsValueOfType<Bytes>()) out[key] = value.template get<Bytes>();
  }
  return out;
}

std::optional<Value> toValue(const sdbus::Variant& v) {
  const std::string type = v.peekValueType();
  if (type == "b") return Value{v.get<bool>()};
  if (type == "n") return Value{std::int64_t{v.get<std::int16_t>()}};
  if (type == "q") return Value{std::int64_t{v.get<std::uint16_t>()}};
  if (type == "i") return Value{std::int64_t{v.get<std::int32_t>()}};
  if (type == "u") return Value{std::int64_t{v.get<std::uint32_t>()}};
  if (type == "s") return Value{v.get<std::string>()};
  if (type == "o") return Value{std::string(v.get<sdbus::ObjectPath>())};
  if (type == "as") return Value{v.get<std::vector<std::string>>()};
  if (type == "ay") return Value{v.get<Bytes>()};
  if (type == "a{qv}") return Value{bytesOf(v.get<std::map<std::uint16_t, sdbus::Variant>>())};
  if (type == "a{sv}") return Value{bytesOf(v.get<std::map<std::string, sdbus::Variant>>())};
  return std::nullopt;
}

}  // namespace

Properties toProperties(const std::map<std::string, sdbus::Variant>& variants) {
  Properties out;
  for (const auto& [name, variant] : variants) {
    if (auto value = toValue(variant)) out.emplace(name, std::move(*value));
  }
  return out;
}

Interfaces readInterfaces(sdbus::Message& message) {
  std::map<std::string, std::map<std::string, sdbus::Variant>> raw;
  message >> raw;
  Interfaces out;
  for (const auto& [name, variants] : raw) out[name] = toProperties(variants);
  return out;
}

ManagedObjects readManagedObjects(sdbus::Message& message) {
  std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> raw;
  message >> raw;
  ManagedObjects out;
  for (const auto& [path, interfaces] : raw) {
    auto& object = out[path];
    for (const auto& [name, variants] : interfaces) object[name] = toProperties(variants);
  }
  return out;
}

void ObjectTree::reset(ManagedObjects objects) {
  objects_.clear();
  for (auto& [path, interfaces] : objects) objects_[path] = std::move(interfaces);
}

void ObjectTree::add(const std::string& path, Interfaces interfaces) {
  auto& known = objects_[path];
  for (auto& [name, properties] : interfaces) known[name] = std::move(properties);
}

void ObjectTree::remove(const std::string& path, const std::vector<std::string>& interfaces) {
  auto it = objects_.find(path);
  if (it == objects_.end()) return;
  for (const auto& name : interfaces) it->second.erase(name);
  if (it->second.empty()) objects_.erase(it);
}

void ObjectTree::change(const std::string& path, const std::string& interface, const Properties& changed,
                        const std::vector<std::string>& invalidated) {
  auto object = objects_.find(path);
  if (object == objects_.end()) return;
  auto found = object->second.find(interface);
  if (found == object->second.end()) return;
  for (const auto& [name, value] : changed) found->second[name] = value;
  for (const auto& name : invalidated) found->second.erase(name);
}

const Properties* ObjectTree::find(const std::string& path, const std::string& interface) const {
  auto object = objects_.find(path);
  if (object == objects_.end()) return nullptr;
  auto found = object->second.find(interface);
  return found == object->second.end() ? nullptr : &found->second;
}

std::vector<std::string> ObjectTree::children(const std::string& interface, const std::string& parentProperty,
                                              const std::string& parent) const {
  std::vector<std::string> paths;
  for (const auto& [path, interfaces] : objects_) {
    auto found = interfaces.find(interface);
    if (found == interfaces.end()) continue;
    auto owner = property<std::string>(&found->second, parentProperty);
    if (owner && *owner == parent) paths.push_back(path);
  }
  return paths;
}

std::vector<std::string> ObjectTree::withInterface(const std::string& interface) const {
  std::vector<std::string> paths;
  for (const auto& [path, interfaces] : objects_) {
    if (interfaces.count(interface)) paths.push_back(path);
  }
  return paths;
}

}  // namespace quillon::bluez
