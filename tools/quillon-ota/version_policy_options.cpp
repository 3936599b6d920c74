#include "version_policy_options.h"

#include <algorithm>

namespace quillon::ota_tool {

bool parse_version_policy_option(tools::OptionArgument& option, VersionPolicyOptions& options,
                                 std::optional<std::string>& error) {
  const std::string_view name = option.name();
  if (name == "--image-version") {
    const auto value = option.value();
    if (!value || value->empty()) {
      error = option.missing();
    } else if (std::any_of(value->begin(), value->end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
      error = "--image-version must be printable text";
    } else {
      options.policy.image_version = std::string(*value);
    }
    return true;
  }
  bool* flag = name == "--allow-reinstall"     ? &options.policy.allow_reinstall
               : name == "--allow-older"       ? &options.policy.allow_older
               : name == "--allow-other-model" ? &options.policy.allow_other_model
               : name == "--dry-run"           ? &options.dry_run
                                               : nullptr;
  if (!flag) return false;
  error = option.flag(*flag);
  return true;
}

std::optional<std::string> check_version_policy_options(const VersionPolicyOptions& options, bool list) {
  if (list && options.dry_run) return "--dry-run shows what an update would do; --list updates nothing anyway";
  if (list && options.policy.image_version) return "--image-version names an image's version; --list takes no image";
  return std::nullopt;
}

}  // namespace quillon::ota_tool
