#include "module_selection_options.h"

#include <algorithm>
#include <charconv>

#include "quillon/ble/ns_uuid.h"

namespace quillon::ota_tool {
namespace {

constexpr std::uint64_t kMaxParallel = 64;

std::optional<double> parse_seconds(std::string_view text) {
  double value = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !(value > 0) || value > 3600) return std::nullopt;
  return value;
}

std::optional<std::string> take_module_id(std::string_view text, ToolOptions& options) {
  auto uuid = NSUUID::initWithUUIDString(text);
  if (!uuid) return "--module-id must be a UUID such as " + std::string(kDefaultModuleIdentifier);
  if (std::find(options.module_ids.begin(), options.module_ids.end(), uuid->UUIDString()) != options.module_ids.end()) {
    return "--module-id " + uuid->UUIDString() + " is given twice";
  }
  options.module_ids.push_back(uuid->UUIDString());
  return std::nullopt;
}

}  // namespace

bool parse_module_selection_option(tools::OptionArgument& option, ToolOptions& options,
                                   std::optional<std::string>& error) {
  const std::string_view name = option.name();
  bool* flag = name == "--list"        ? &options.list
               : name == "--scan-only" ? &options.scan_only
               : name == "--retrieve"  ? &options.retrieve
               : name == "--all"       ? &options.all
                                       : nullptr;
  if (flag) {
    error = option.flag(*flag);
    return true;
  }
  if (name != "--module-id" && name != "--parallel" && name != "--scan-timeout") return false;
  const auto value = option.value();
  if (!value) {
    error = option.missing();
  } else if (name == "--module-id") {
    error = take_module_id(*value, options);
  } else if (name == "--parallel") {
    if (auto n = tools::parse_count(*value, 1, kMaxParallel)) {
      options.parallel = static_cast<unsigned>(*n);
    } else {
      error = "--parallel must be a whole number from 1 to " + std::to_string(kMaxParallel) + ", not '" +
              std::string(*value) + "'";
    }
  } else if (auto seconds = parse_seconds(*value)) {
    options.scan_timeout_seconds = *seconds;
  } else {
    error = "--scan-timeout must be a number of seconds above 0 and at most 3600, not '" + std::string(*value) + "'";
  }
  return true;
}

}  // namespace quillon::ota_tool
