#include "fleet_summary.h"

#include <gtest/gtest.h>

namespace quillon::ota_tool {
namespace {

const ModuleResult kUpdated{"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001", "Printer BLE 01", Outcome::Success,
                            "65536 bytes sent", 65536, 2.0, {}};
const ModuleResult kTimedOut{"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002", "", Outcome::TimedOut, "no answer for over 3 s",
                             1458, 6.0, {}};
const ModuleResult kMissing{"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", "", Outcome::ModuleNotFound, "not found", 0, 0, {}};

TEST(FleetSummaryTest, TheTableLinesUpAndSaysWhyEachFailedModuleFailed) {
  const auto lines = format_summary_table({kUpdated, kTimedOut, kMissing});
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "module                                name            result                     bytes  time   speed");
  EXPECT_EQ(lines[1], "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001  Printer BLE 01  success                    65536  2.0 s  32.0 KiB/s");
  EXPECT_EQ(lines[2], "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002  -               timed_out (exit 6)          1458  6.0 s     243 B/s");
  EXPECT_EQ(lines[3], "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE  -               module_not_found (exit 3)      0      -           -");
  EXPECT_EQ(lines[4], "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002: timed out: the module stopped answering: no answer for over 3 s");
  EXPECT_EQ(lines[5], "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE: module not found: not found");
}

// On a narrower terminal the table gives up the names, then the outcomes'
// exit statuses, then the outcomes' words for their statuses; never a
// column of the full identifiers, and never its alignment.
TEST(FleetSummaryTest, TheTableFitsTheTerminalWithTheFullIdentifiers) {
  const std::vector<ModuleResult> results{kUpdated, kTimedOut, kMissing};
  for (const std::size_t columns : {105u, 89u, 80u, 79u}) {
    SCOPED_TRACE(columns);
    const auto lines = format_summary_table(results, columns);
    ASSERT_EQ(lines.size(), 6u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_LE(lines[i].size(), columns) << lines[i];
    EXPECT_EQ(lines[0].find("name") != std::string::npos, columns >= 105);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i + 1].rfind(results[i].identifier, 0), 0u) << lines[i + 1];
    EXPECT_EQ(lines[4], format_summary_table(results)[4]) << "the reasons stay whole";
  }
  EXPECT_EQ(format_summary_table(results, 80)[2],
            "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002  timed_out          1458  6.0 s     243 B/s");
  const auto narrowest = format_summary_table(results, 79);
  EXPECT_EQ(narrowest[0], "module                                result   bytes  time   speed");
  EXPECT_EQ(narrowest[2], "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002  exit 6    1458  6.0 s     243 B/s");
  EXPECT_EQ(narrowest[3], "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE  exit 3       0      -           -");
}

TEST(FleetSummaryTest, OnlyAFleetWhereEveryModuleSucceededExitsZero) {
  EXPECT_EQ(fleet_exit_status({kUpdated, kUpdated}, std::nullopt), 0);
  EXPECT_EQ(fleet_exit_status({kUpdated, kTimedOut}, std::nullopt), kExitFleet);
  EXPECT_EQ(fleet_exit_status({}, std::nullopt), kExitFleet) << "no module updated is not a success";
  EXPECT_EQ(fleet_exit_status({kUpdated}, Outcome::Interrupted), 130) << "a stop keeps the shell's status";
  EXPECT_EQ(fleet_verdict_line({kUpdated, kUpdated}, std::nullopt), "quillon-ota: success: all 2 modules updated");
  EXPECT_EQ(fleet_verdict_line({kUpdated}, std::nullopt), "quillon-ota: success: 1 module updated");
  EXPECT_EQ(fleet_verdict_line({kUpdated, kTimedOut, kMissing}, std::nullopt),
            "quillon-ota: failed (exit 10): 2 of 3 modules not updated");
  EXPECT_EQ(fleet_verdict_line({kUpdated, kTimedOut}, Outcome::Terminated),
            "quillon-ota: aborted (exit 143): terminated (SIGTERM): 1 of 2 modules updated");

  const auto summary = fleet_summary({kUpdated, kTimedOut}, std::nullopt);
  EXPECT_EQ(summary["outcome"], "failed");
  EXPECT_EQ(summary["exit_status"], 10);
  EXPECT_EQ(summary["modules"][1]["outcome"], "timed_out");
  EXPECT_EQ(summary["modules"][1]["exit_status"], 6);
}

}  // namespace
}  // namespace quillon::ota_tool
