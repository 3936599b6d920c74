#include "command_line.h"

#include <charconv>

namespace quillon::tools {

std::optional<std::uint64_t> parse_count(std::string_view text, std::uint64_t low, std::uint64_t high) {
  std::uint64_t value = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

OptionArgument::OptionArgument(std::span<const std::string_view> args, std::size_t& index)
    : args_(args), index_(index), given_(args[index]), name_(args[index]) {
  if (name_.starts_with("--")) {
    if (auto eq = name_.find('='); eq != std::string_view::npos) {
      inline_value_ = name_.substr(eq + 1);
      name_ = name_.substr(0, eq);
    }
  }
}

std::optional<std::string_view> OptionArgument::value() {
  if (inline_value_) return inline_value_;
  if (index_ + 1 < args_.size()) return args_[++index_];
  return std::nullopt;
}

std::optional<std::string> OptionArgument::flag(bool& field) const {
  if (inline_value_) return std::string(name_) + " takes no value";
  field = true;
  return std::nullopt;
}

std::string OptionArgument::missing() const { return std::string(name_) + " needs a value"; }

std::optional<EarlyAnswer> read_options(std::span<const std::string_view> args, const TakeOption& take) {
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    OptionArgument option(args, i);
    if (!options_ended) {
      if (option.name() == "-h" || option.name() == "--help") return HelpRequested{};
      if (option.name() == "--version") return VersionRequested{};
      // "--" itself still goes to `take`: a tool that takes operands ends
      // its options there, one that takes none refuses it.
      options_ended = option.given() == "--";
    }
    if (auto error = take(option)) return *error;
  }
  return std::nullopt;
}

}  // namespace quillon::tools
