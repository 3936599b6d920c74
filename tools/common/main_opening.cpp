#include "main_opening.h"

#include "exit_codes.h"
#include "terminal_text.h"

namespace quillon::tools {

int answer_early(const EarlyAnswer& answer, const ToolIdentity& tool, std::FILE* out, std::FILE* err) {
  if (std::holds_alternative<HelpRequested>(answer)) {
    std::fputs(tool.usage().c_str(), out);
    return kExitSuccess;
  }
  if (std::holds_alternative<VersionRequested>(answer)) {
    std::fprintf(out, "%s %s\n", tool.name, tool.version);
    return kExitSuccess;
  }
  const std::string& message = std::get<UsageError>(answer).message;
  std::fprintf(err, "%s: %s\nTry '%s --help'.\n", tool.name, printable(message).c_str(), tool.name);
  if (tool.on_usage_error) tool.on_usage_error(message);
  return kExitUsage;
}

}  // namespace quillon::tools
