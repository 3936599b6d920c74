#include "main_opening.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "exit_codes.h"

namespace quillon::tools {
namespace {

// What was written to a temporary stream.
std::string contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  return text;
}

TEST(AnswerEarly, PrintsHelpVersionAndAPrintableUsageErrorWithTheirStatuses) {
  std::string verdict;
  const ToolIdentity tool{.name = "quillon-x",
                          .version = "1.2.3",
                          .usage = [] { return std::string("Usage: quillon-x\n"); },
                          .on_usage_error = [&verdict](const std::string& message) { verdict = message; }};
  struct Case {
    EarlyAnswer answer;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {HelpRequested{}, kExitSuccess, "Usage: quillon-x\n", ""},
      {VersionRequested{}, kExitSuccess, "quillon-x 1.2.3\n", ""},
      // What was typed is quoted: an escape sequence in it must not reach the terminal.
      {UsageError{"unknown option '--\x1b]0;owned\x07'"}, kExitUsage, "",
       "quillon-x: unknown option '--?]0;owned?'\nTry 'quillon-x --help'.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out + c.err);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    EXPECT_EQ(answer_early(c.answer, tool, out, err), c.status);
    EXPECT_EQ(contents(out), c.out);
    EXPECT_EQ(contents(err), c.err);
    std::fclose(out);
    std::fclose(err);
  }
  EXPECT_EQ(verdict, "unknown option '--\x1b]0;owned\x07'");
}

}  // namespace
}  // namespace quillon::tools
