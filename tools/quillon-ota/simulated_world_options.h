// The options that shape the simulated world (sim only): how many modules
// are made and which are in range, how each answers (--mtu, --credit,
// --latency, --att-mtu, --max-image), the faults injected and the Device
// Information each reports, read as their own group of quillon-ota's
// command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "command_line.h"
#include "tool_options.h"

namespace quillon::ota_tool {

// Whether the option `name` only means something with the simulated
// backend (--save-received included: over bluez nothing can be read back).
bool shapes_simulated_world(std::string_view name);

// Reads `option` into `options` when it is one of this group's. Returns
// false when it is not; true with `error` set when its value is wrong.
bool parse_simulated_world_option(tools::OptionArgument& option, ToolOptions& options,
                                  std::optional<std::string>& error);

// The usage error of an option aimed at a module (by number or identifier)
// that the simulated world, as the options make it, does not have.
std::optional<std::string> check_simulated_module_targets(const ToolOptions& options);

}  // namespace quillon::ota_tool
