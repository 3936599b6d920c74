// The options that decide which modules get the image: --image-version,
// --allow-reinstall, --allow-older, --allow-other-model and --dry-run, read
// as their own group of quillon-ota's command line.
#pragma once

#include <optional>
#include <string>

#include "command_line.h"
#include "version_policy.h"

namespace quillon::ota_tool {

struct VersionPolicyOptions {
  VersionPolicy policy;
  // Show the plan and write nothing to any module.
  bool dry_run = false;
};

// Reads `option` into `options` when it is one of this group's. Returns
// false when it is not; true with `error` set when its value is wrong.
bool parse_version_policy_option(tools::OptionArgument& option, VersionPolicyOptions& options,
                                 std::optional<std::string>& error);

// What the group's options require of the rest of the command line: the
// usage error, if any (`list`: --list was given).
std::optional<std::string> check_version_policy_options(const VersionPolicyOptions& options, bool list);

}  // namespace quillon::ota_tool
