#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::tools {
namespace {

struct Parsed {
  bool flag = false;
  std::string value;
};

// A tool with one flag (--flag) and one option with a value (--value).
std::optional<EarlyAnswer> read(std::vector<std::string_view> args, Parsed& parsed) {
  return read_options(args, [&parsed](OptionArgument& option) -> std::optional<UsageError> {
    if (option.name() == "--flag") {
      if (auto e = option.flag(parsed.flag)) return UsageError{*e};
      return std::nullopt;
    }
    if (option.name() == "--value") {
      auto v = option.value();
      if (!v) return UsageError{option.missing()};
      parsed.value = std::string(*v);
      return std::nullopt;
    }
    return option.unknown();
  });
}

std::string error_of(const std::optional<EarlyAnswer>& answer) {
  if (!answer || !std::holds_alternative<UsageError>(*answer)) return "(no usage error)";
  return std::get<UsageError>(*answer).message;
}

TEST(ReadOptions, TakesValuesBothWaysAndAnswersHelpAndVersionFirst) {
  Parsed parsed;
  EXPECT_FALSE(read({"--value", "a b", "--flag"}, parsed));
  EXPECT_TRUE(parsed.flag);
  EXPECT_EQ(parsed.value, "a b");
  Parsed inline_value;
  EXPECT_FALSE(read({"--value=x=y"}, inline_value));
  EXPECT_EQ(inline_value.value, "x=y");
  // A value that looks like an option is still the value.
  Parsed dashed;
  EXPECT_FALSE(read({"--value", "--flag"}, dashed));
  EXPECT_EQ(dashed.value, "--flag");
  EXPECT_FALSE(dashed.flag);

  Parsed ignored;
  EXPECT_TRUE(std::holds_alternative<HelpRequested>(*read({"--flag", "-h", "--bogus"}, ignored)));
  EXPECT_TRUE(std::holds_alternative<VersionRequested>(*read({"--version", "--help"}, ignored)));
  // The first fault ends the reading: a later --help is not seen.
  EXPECT_EQ(error_of(read({"--bogus=1", "--help"}, ignored)), "unknown option '--bogus=1'");
  // After "--" nothing is an option: --help goes to the tool, here refusing "--".
  EXPECT_EQ(error_of(read({"--", "--help"}, ignored)), "unknown option '--'");
  EXPECT_EQ(error_of(read({"--flag=yes"}, ignored)), "--flag takes no value");
  EXPECT_EQ(error_of(read({"--value"}, ignored)), "--value needs a value");
}

TEST(ParseCount, AcceptsOnlyWholeNumbersInRange) {
  EXPECT_EQ(parse_count("0", 0, 10), 0u);
  EXPECT_EQ(parse_count("10", 0, 10), 10u);
  for (const char* bad : {"", "11", "-1", "1x", " 1", "+1", "99999999999999999999999"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_count(bad, 0, 10));
  }
}

}  // namespace
}  // namespace quillon::tools
