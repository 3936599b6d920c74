// What a tool's parse of its command line comes to: its options, or one of
// the answers every tool gives the same way (--help, --version, a usage
// error). Parsing never prints or exits; main() decides (see main_opening.h).
#pragma once

#include <string>
#include <variant>

namespace quillon::tools {

struct HelpRequested {};
struct VersionRequested {};
struct UsageError {
  std::string message;
};

// A run that does not go on past its command line: --help, --version or a
// usage error.
using EarlyAnswer = std::variant<HelpRequested, VersionRequested, UsageError>;

template <typename Options>
using ParseResult = std::variant<Options, HelpRequested, VersionRequested, UsageError>;

}  // namespace quillon::tools
