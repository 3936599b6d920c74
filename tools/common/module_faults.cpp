#include "module_faults.h"

#include <cstdint>
#include <limits>

#include "command_line.h"

namespace quillon::tools {

std::optional<std::string> apply_fault(std::string_view fault, OtaModuleFaults& faults) {
  const auto eq = fault.find('=');
  const std::string_view name = fault.substr(0, eq);
  const std::optional<std::string_view> arg =
      eq == std::string_view::npos ? std::nullopt : std::optional(fault.substr(eq + 1));
  const auto bad_number = [&] { return "--fault " + std::string(fault) + ": '" + std::string(*arg) + "' is not a count"; };
  const auto no_argument = [&]() -> std::optional<std::string> {
    if (arg) return "--fault " + std::string(name) + " takes no value";
    return std::nullopt;
  };
  // Acknowledgements and host packets are counted from 0 (the acknowledgement
  // of START, the START packet); the count defaults to 0.
  const auto numbered = [&](std::optional<std::uint64_t>& field) -> std::optional<std::string> {
    if (!arg) {
      field = 0;
      return std::nullopt;
    }
    auto n = parse_count(*arg, 0, std::numeric_limits<std::uint32_t>::max());
    if (!n) return bad_number();
    field = *n;
    return std::nullopt;
  };

  if (name == "corrupt-ack") return numbered(faults.corrupt_ack);
  if (name == "drop-ack") return numbered(faults.drop_ack);
  if (name == "unknown-ack") return numbered(faults.unknown_opcode_ack);
  if (name == "silent") return numbered(faults.silent_after);
  if (name == "corrupt-end") {
    if (auto e = no_argument()) return e;
    faults.corrupt_end = true;
    return std::nullopt;
  }
  if (name == "ack-end") {
    if (auto e = no_argument()) return e;
    faults.ack_end = true;
    return std::nullopt;
  }
  if (name == "merge") {
    if (auto e = no_argument()) return e;
    faults.merge_chunks = true;
    return std::nullopt;
  }
  if (name == "split") {
    if (!arg) return std::string("--fault split needs a chunk size, as in split=3");
    auto n = parse_count(*arg, 1, 4096);
    if (!n) return bad_number();
    faults.split_chunks_at = static_cast<std::size_t>(*n);
    return std::nullopt;
  }
  return "unknown fault '" + std::string(name) + "' (see --help)";
}

std::string_view fault_help() {
  return R"(      corrupt-ack[=N]     acknowledgement N goes out with a wrong checksum
      drop-ack[=N]        acknowledgement N is never sent
      unknown-ack[=N]     acknowledgement N names an unknown command
                          (acknowledgements count from 0, that of START)
      corrupt-end         its END (with its verdict) has a wrong checksum
      ack-end             it acknowledges the host's END before its own END
      silent[=N]          it stops answering after N packets (default 0:
                          never answers)
      split=N             it sends everything in pieces of at most N bytes
      merge               it sends all answers to one packet as one piece
)";
}

}  // namespace quillon::tools
