// How both tools read their command lines: options as "--name value" or
// "--name=value" alike, flags that take no value, and whole numbers within
// a range. Plain functions over the arguments; the tools say what each
// option means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "parse_result.h"

namespace quillon::tools {

// A whole decimal number in [low, high]; nothing for anything else
// ("12x", "", "-1", out of range).
std::optional<std::uint64_t> parse_count(std::string_view text, std::uint64_t low, std::uint64_t high);

// One option as given: its name, and the value after '=' in "--name=value".
class OptionArgument {
 public:
  OptionArgument(std::span<const std::string_view> args, std::size_t& index);

  std::string_view name() const { return name_; }
  // The argument as given, "=value" included.
  std::string_view given() const { return given_; }
  // The inline value, else the next argument (which is then taken); none
  // when the arguments end.
  std::optional<std::string_view> value();
  // Sets `field` for a flag; the usage error if a value was given with it.
  std::optional<std::string> flag(bool& field) const;
  // The usage error of an option whose value is missing.
  std::string missing() const;
  // The usage error of an option the tool does not know.
  UsageError unknown() const { return UsageError{"unknown option '" + std::string(given_) + "'"}; }

 private:
  std::span<const std::string_view> args_;
  std::size_t& index_;
  std::string_view given_;
  std::string_view name_;
  std::optional<std::string_view> inline_value_;
};

// Takes one option (or operand) of a tool: its usage error, or nothing when
// it was taken.
using TakeOption = std::function<std::optional<UsageError>(OptionArgument& option)>;

// Reads `args` (those after the program's name) in order: -h and --help,
// and --version, answer at once, unless they come after "--"; every other
// argument goes to `take`, "--" included.
// Returns the early answer, or nothing when every argument was taken.
std::optional<EarlyAnswer> read_options(std::span<const std::string_view> args, const TakeOption& take);

}  // namespace quillon::tools
