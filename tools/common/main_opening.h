// The opening every tool's main() shares: what it prints for --help,
// --version and a usage error, and the status it then exits with. A usage
// error quotes what was typed, so it is made printable first.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "parse_result.h"

namespace quillon::tools {

struct ToolIdentity {
  // "quillon-ota"
  const char* name;
  const char* version;
  // The --help text.
  std::function<std::string()> usage;
  // Also called for a usage error, after the lines on standard error (a tool
  // that ends every run with a verdict line prints it here).
  std::function<void(const std::string& message)> on_usage_error = {};
};

// Prints the answer to --help (usage on `out`), --version ("<name>
// <version>" on `out`) or a usage error ("<name>: <message>" and "Try
// '<name> --help'." on `err`), and returns the exit status.
int answer_early(const EarlyAnswer& answer, const ToolIdentity& tool, std::FILE* out = stdout,
                 std::FILE* err = stderr);

// The exit status when `parsed` ends the run before it starts, having
// printed what answer_early prints; nothing when the tool goes on with its
// options.
template <typename Options>
std::optional<int> answer_early(const ParseResult<Options>& parsed, const ToolIdentity& tool) {
  if (std::holds_alternative<Options>(parsed)) return std::nullopt;
  return std::visit(
      [&tool](const auto& alternative) -> int {
        if constexpr (std::is_same_v<std::decay_t<decltype(alternative)>, Options>) {
          return 0;  // not reached
        } else {
          return answer_early(EarlyAnswer(alternative), tool);
        }
      },
      parsed);
}

}  // namespace quillon::tools
