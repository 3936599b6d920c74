// The options that say which modules a run reaches and how it finds them:
// --module-id, --all, --parallel, --list, --scan-only, --retrieve and
// --scan-timeout, read as their own group of quillon-ota's command line.
#pragma once

#include <optional>
#include <string>

#include "command_line.h"
#include "tool_options.h"

namespace quillon::ota_tool {

// Reads `option` into `options` when it is one of this group's. Returns
// false when it is not; true with `error` set when its value is wrong.
bool parse_module_selection_option(tools::OptionArgument& option, ToolOptions& options,
                                   std::optional<std::string>& error);

}  // namespace quillon::ota_tool
