// How both tools read their command lines: options as "--name value" or
// "--name=value" alike, flags that take no value, and whole numbers within
// a range. Plain functions over the arguments; the tools say what each
// option means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillon::tools {

// A whole decimal number in [low, high]; nothing for anything else
// ("12x", "", "-1", out of range).
std::optional<std::uint64_t> parse_count(std::string_view text, std::uint64_t low, std::uint64_t high);

// One option as given: its name, and the value after '=' in "--name=value".
class OptionArgument {
 public:
  OptionArgument(std::span<const std::string_view> args, std::size_t& index);

  std::string_view name() const { return name_; }
  // The inline value, else the next argument (which is then taken); none
  // when the arguments end.
  std::optional<std::string_view> value();
  // Sets `field` for a flag; the usage error if a value was given with it.
  std::optional<std::string> flag(bool& field) const;
  // The usage error of an option whose value is missing.
  std::string missing() const;

 private:
  std::span<const std::string_view> args_;
  std::size_t& index_;
  std::string_view name_;
  std::optional<std::string_view> inline_value_;
};

}  // namespace quillon::tools
