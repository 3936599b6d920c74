#include "simulated_world_options.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "module_image_limit.h"
#include "quillon/ble/ns_uuid.h"

namespace quillon::ota_tool {
namespace {

constexpr std::uint64_t kMaxModules = 256;

// The key of one module named by its number from 1 ("#N") or its
// identifier (upper case); none when `text` is neither.
std::optional<std::string> module_target_key(std::string_view text) {
  if (auto index = tools::parse_count(text, 1, kMaxModules)) return "#" + std::to_string(*index);
  if (auto uuid = NSUUID::initWithUUIDString(text)) return uuid->UUIDString();
  return std::nullopt;
}

// "WHICH:V" sets V for module WHICH when WHICH names one; else the whole
// text is V, for every module.
void take_device_information(std::string_view name, std::string_view value, ToolOptions& options) {
  std::string key;
  std::string_view text = value;
  if (const auto colon = value.find(':'); colon != std::string_view::npos) {
    if (auto target = module_target_key(value.substr(0, colon))) {
      key = *target;
      text = value.substr(colon + 1);
    }
  }
  const auto field = name == "--model" ? DeviceInformationField::ModelNumber : DeviceInformationField::FirmwareRevision;
  options.module_information[key][field] = std::string(text);
}

// "TARGET:FAULT" aims the fault at one module; a fault's own text has no colon.
std::optional<std::string> take_fault(std::string_view value, ToolOptions& options) {
  const auto colon = value.find(':');
  if (colon == std::string_view::npos) return tools::apply_fault(value, options.module.faults);
  const std::string_view target = value.substr(0, colon);
  const auto key = module_target_key(target);
  if (!key) {
    return "--fault " + std::string(value) + ": '" + std::string(target) +
           "' is neither a module's number (from 1) nor its identifier";
  }
  return tools::apply_fault(value.substr(colon + 1), options.module_faults[*key]);
}

// A whole number within [low, high] for `name`, or its usage error.
std::optional<std::string> take_count(std::string_view name, std::string_view value, std::uint64_t low,
                                      std::uint64_t high, std::string_view unit, auto&& store) {
  if (auto n = tools::parse_count(value, low, high)) {
    store(*n);
    return std::nullopt;
  }
  return std::string(name) + " must be a whole number " + std::string(unit) + "from " + std::to_string(low) + " to " +
         std::to_string(high) + ", not '" + std::string(value) + "'";
}

std::optional<std::string> take_value(std::string_view name, std::string_view value, ToolOptions& options) {
  if (name == "--mtu" || name == "--credit") {
    auto& field = name == "--mtu" ? options.module.mtu : options.module.credit;
    return take_count(name, value, 0, 255, "", [&field](std::uint64_t n) { field = static_cast<std::uint8_t>(n); });
  }
  if (name == "--att-mtu") {
    return take_count(name, value, 23, 517, "", [&options](std::uint64_t n) { options.att_mtu = n; });
  }
  if (name == "--latency") {
    return take_count(name, value, 0, 1000, "of milliseconds ",
                      [&options](std::uint64_t n) { options.latency_ms = static_cast<unsigned>(n); });
  }
  if (name == "--modules") {
    return take_count(name, value, 1, kMaxModules, "",
                      [&options](std::uint64_t n) { options.modules = static_cast<unsigned>(n); });
  }
  if (name == "--max-image") return tools::apply_max_image(value, options.module);
  if (name == "--fault") return take_fault(value, options);
  if (name == "--out-of-range") {
    const auto key = module_target_key(value);
    if (!key) {
      return "--out-of-range: '" + std::string(value) + "' is neither a module's number (from 1) nor its identifier";
    }
    options.out_of_range.push_back(*key);
    return std::nullopt;
  }
  take_device_information(name, value, options);  // --firmware-revision, --model
  return std::nullopt;
}

}  // namespace

bool shapes_simulated_world(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kNames = {
      "--no-module", "--modules",      "--mtu",          "--credit",            "--latency", "--att-mtu",
      "--fault",     "--save-received", "--out-of-range", "--firmware-revision", "--model",   "--max-image"};
  return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

bool parse_simulated_world_option(tools::OptionArgument& option, ToolOptions& options,
                                  std::optional<std::string>& error) {
  const std::string_view name = option.name();
  if (name == "--no-module") {
    error = option.flag(options.no_module);
    return true;
  }
  if (!shapes_simulated_world(name) || name == "--save-received") return false;
  if (const auto value = option.value()) {
    error = take_value(name, *value, options);
  } else {
    error = option.missing();
  }
  return true;
}

std::optional<std::string> check_simulated_module_targets(const ToolOptions& options) {
  if (options.module_faults.empty() && options.out_of_range.empty() && options.module_information.empty()) {
    return std::nullopt;
  }
  const auto known = simulated_identifiers(options);
  std::vector<std::pair<std::string, std::string>> keys;  // option, key
  for (const auto& key : options.out_of_range) keys.emplace_back("--out-of-range", key);
  for (const auto& entry : options.module_faults) keys.emplace_back("--fault", entry.first);
  for (const auto& entry : options.module_information) {
    if (!entry.first.empty()) keys.emplace_back("--firmware-revision/--model", entry.first);
  }
  for (const auto& [option, key] : keys) {
    const bool by_number = key.starts_with('#');
    const bool found = by_number ? std::stoul(key.substr(1)) <= known.size()
                                 : std::find(known.begin(), known.end(), key) != known.end();
    if (!found) {
      return option + " " + (by_number ? key.substr(1) : key) + (option == "--fault" ? ":..." : "") +
             ": the simulated world has no such module (" + std::to_string(known.size()) +
             (known.size() == 1 ? " module" : " modules") + ")";
    }
  }
  return std::nullopt;
}

}  // namespace quillon::ota_tool
