// The module's faults by the names both tools give them on their command
// line: quillon-ota injects them into the simulated module, quillon-module
// into the module it serves from a real adapter. One parser and one help
// text, so that a fault is spelled the same way wherever it is asked for.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillon/module/ota_module.h"

namespace quillon::tools {

// Applies one --fault value ("corrupt-ack=1", "merge", ...) to `faults`.
// Returns an error message, or nothing when it was understood.
std::optional<std::string> apply_fault(std::string_view fault, OtaModuleFaults& faults);

// The faults' names and meanings, indented for a --help text.
std::string_view fault_help();

}  // namespace quillon::tools
