#include "terminal_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::tools {
namespace {

TEST(TerminalTextTest, ControlsFromAModuleNeverReachTheTerminal) {
  // An escape sequence, a carriage return, DEL, a C1 control (U+009B, CSI)
  // and a byte that is not UTF-8 each become "?"; line breaks, tabs and
  // real UTF-8 stay.
  EXPECT_EQ(printable("Printer\x1b]0;owned\x07 \r\x7f\xc2\x9b\xff\n\tdr\xc3\xbc" "cker"),
            "Printer?]0;owned? ????\n\tdr\xc3\xbc" "cker");
  EXPECT_EQ(fit_columns("dr\xc3\xbc" "cker\n", 5), "dr\xc3\xbc" "ck");
  EXPECT_EQ(fit_columns("ab", 4), "ab  ");
}

// A message broken to a terminal's width: at spaces, continuations indented,
// a word too long for an indented line whole on a line of its own, a word
// too long for any line cut between characters, never within one.
TEST(TerminalTextTest, LongMessagesBreakAtSpacesWithinTheWidth) {
  EXPECT_EQ(wrap_words("[ab] short enough", 17, 5), std::vector<std::string>{"[ab] short enough"});
  EXPECT_EQ(wrap_words("[ab] short enough", 0, 5), std::vector<std::string>{"[ab] short enough"});
  EXPECT_EQ(wrap_words("[ab] one two three four", 12, 5),
            (std::vector<std::string>{"[ab] one two", "     three", "     four"}));
  EXPECT_EQ(wrap_words("[ab] sum 0123456789ab end", 12, 5),
            (std::vector<std::string>{"[ab] sum", "0123456789ab", "     end"}));
  EXPECT_EQ(wrap_words("\xc3\xbc" "0123456789abcdef", 6),
            (std::vector<std::string>{"\xc3\xbc" "01234", "56789a", "bcdef"}));
  // Chinese characters take two columns each, a combining accent none.
  const std::string printer = "\xe6\x89\x93\xe5\x8d\xb0\xe6\x9c\xba";  // three wide characters
  EXPECT_EQ(text_columns(printer + " 01"), 9u);
  EXPECT_EQ(text_columns("e\xcc\x81"), 1u);
  EXPECT_EQ(fit_columns(printer, 5), printer.substr(0, 6) + " ");
  EXPECT_EQ(wrap_words(printer + printer, 5),
            (std::vector<std::string>{printer.substr(0, 6), printer.substr(6, 3) + printer.substr(0, 3),
                                      printer.substr(3, 6)}));
}

}  // namespace
}  // namespace quillon::tools
