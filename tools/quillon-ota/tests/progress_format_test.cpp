#include "progress_format.h"
#include "terminal_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillon::ota_tool {
namespace {

TEST(ProgressFormatTest, BytesMoveUpAUnitRatherThanShow1024) {
  EXPECT_EQ(format_bytes(0), "0 B");
  EXPECT_EQ(format_bytes(1023), "1023 B");
  EXPECT_EQ(format_bytes(1024), "1.0 KiB");
  EXPECT_EQ(format_bytes(1536), "1.5 KiB");
  EXPECT_EQ(format_bytes(1024 * 1024 - 1), "1.0 MiB");
  EXPECT_EQ(format_bytes(std::int64_t{3} << 30), "3.0 GiB");
}

TEST(ProgressFormatTest, DurationsRoundToSecondsAndRefuseNonsense) {
  EXPECT_EQ(format_duration(0), "0:00");
  EXPECT_EQ(format_duration(59.6), "1:00");
  EXPECT_EQ(format_duration(754), "12:34");
  EXPECT_EQ(format_duration(3723), "1:02:03");
  for (double bad : {-1.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e12}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(format_duration(bad), "--:--");
  }
}

TEST(ProgressFormatTest, PercentIsClampedAndSurvivesHugeSizes) {
  EXPECT_EQ(percent_sent({0, 300, 1}), 0);
  EXPECT_EQ(percent_sent({299, 300, 1}), 99) << "rounded down: 100 only when all is sent";
  EXPECT_EQ(percent_sent({300, 300, 1}), 100);
  EXPECT_EQ(percent_sent({500, 300, 1}), 100) << "a server that announced too little";
  EXPECT_EQ(percent_sent({-5, 300, 1}), 0);
  EXPECT_EQ(percent_sent({std::int64_t{1} << 61, std::int64_t{1} << 62, 1}), 50);
  EXPECT_EQ(percent_sent({10, 0, 1}), std::nullopt);
  EXPECT_EQ(percent_sent({10, -1, 1}), std::nullopt);
}

TEST(ProgressFormatTest, SpeedAndTimeLeftNeedTimeAndAKnownSize) {
  EXPECT_EQ(bytes_per_second({100, 300, 0}), std::nullopt);
  EXPECT_DOUBLE_EQ(*bytes_per_second({100, 300, 2}), 50);
  EXPECT_DOUBLE_EQ(*seconds_left({100, 300, 2}), 4);
  EXPECT_EQ(seconds_left({0, 300, 2}), std::nullopt) << "nothing sent yet: no speed to go by";
  EXPECT_EQ(seconds_left({100, -1, 2}), std::nullopt);
  EXPECT_DOUBLE_EQ(*seconds_left({400, 300, 2}), 0);
}

TEST(ProgressFormatTest, TheBarKeepsItsWidthWhateverTheCounts) {
  for (std::int64_t sent : {std::int64_t{0}, std::int64_t{1}, std::int64_t{150}, std::int64_t{299},
                            std::int64_t{300}, std::int64_t{900}, std::int64_t{-3}}) {
    SCOPED_TRACE(sent);
    const auto text = format_progress_bar({sent, 300, 1}, 20);
    ASSERT_EQ(text.front(), '[');
    ASSERT_EQ(text.at(21), ']');
    const auto cells = text.substr(1, 20);
    EXPECT_EQ(cells.find_first_not_of("#."), std::string::npos);
    EXPECT_TRUE(std::is_sorted(cells.begin(), cells.end())) << "filled cells ('#') come before empty ones ('.')";
  }
  EXPECT_EQ(format_progress_bar({150, 300, 1}, 10), "[#####.....]  50%  150 B / 300 B  150 B/s  ETA 0:01");
  EXPECT_EQ(format_progress_bar({300, 300, 0}, 4), "[####] 100%  300 B / 300 B  -- B/s  ETA --:--");
  EXPECT_EQ(format_progress_bar({2048, -1, 2}, 10), "2.0 KiB sent  1.0 KiB/s");
}

TEST(ProgressFormatTest, PlainLinesCarryExactByteCounts) {
  EXPECT_EQ(format_progress_line({122880, 307200, 2}), "progress:  40% (122880 of 307200 bytes, 60.0 KiB/s, 0:03 left)");
  EXPECT_EQ(format_progress_line({5000, -1, 0}), "progress: 5000 bytes (-- B/s)");
}

}  // namespace
}  // namespace quillon::ota_tool

namespace quillon::ota_tool {
namespace {

TEST(TerminalTextTest, ControlsFromAModuleNeverReachTheTerminal) {
  // An escape sequence, a carriage return, DEL, a C1 control (U+009B, CSI)
  // and a byte that is not UTF-8 each become "?"; line breaks, tabs and
  // real UTF-8 stay.
  EXPECT_EQ(tools::printable("Printer\x1b]0;owned\x07 \r\x7f\xc2\x9b\xff\n\tdr\xc3\xbc" "cker"),
            "Printer?]0;owned? ????\n\tdr\xc3\xbc" "cker");
  EXPECT_EQ(tools::fit_columns("dr\xc3\xbc" "cker\n", 5), "dr\xc3\xbc" "ck");
  EXPECT_EQ(tools::fit_columns("ab", 4), "ab  ");
}

// A message broken to a terminal's width: at spaces, continuations indented,
// a word too long for an indented line whole on a line of its own, a word
// too long for any line cut between characters, never within one.
TEST(TerminalTextTest, LongMessagesBreakAtSpacesWithinTheWidth) {
  using tools::wrap_words;
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
  EXPECT_EQ(tools::text_columns(printer + " 01"), 9u);
  EXPECT_EQ(tools::text_columns("e\xcc\x81"), 1u);
  EXPECT_EQ(tools::fit_columns(printer, 5), printer.substr(0, 6) + " ");
  EXPECT_EQ(wrap_words(printer + printer, 5),
            (std::vector<std::string>{printer.substr(0, 6), printer.substr(6, 3) + printer.substr(0, 3),
                                      printer.substr(3, 6)}));
}

}  // namespace
}  // namespace quillon::ota_tool
