#include "progress_format.h"

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
