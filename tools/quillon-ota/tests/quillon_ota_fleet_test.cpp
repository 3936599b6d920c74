// quillon-ota updating a fleet of simulated modules at once: each module's
// own result and status, only the modules asked for, one download for all,
// and a stop that still ends with the summary.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopback_http_server.h"
#include "quillon/integrity/sha256_digest.h"
#include "tool_test_fixture.h"

namespace quillon::ota_tool {
namespace {

using quillon::test_support::LoopbackHttpServer;
using test_support::ToolProcess;

std::string sha256_of(const std::string& path) {
  const auto bytes = read_bytes(path);
  return sha256_of_bytes(bytes).hex();
}

using QuillonOtaFleetTest = QuillonOtaTest;

TEST_F(QuillonOtaFleetTest, EachModuleGetsItsOwnTransferAndItsOwnStatus) {
  const auto image = make_image(60000);
  const auto result = run({image, "--all", "--modules", "6", "--parallel", "3", "--latency", "2", "--fault",
                           "4:corrupt-ack=2", "--fault", fleet_id(5) + ":unknown-ack=1", "--verify", "--json",
                           "--scan-timeout", "0.5"});
  EXPECT_EQ(result.status, 10) << result.output;
  const auto events = json_lines(result.output);

  std::map<std::string, nlohmann::json> verdicts;
  std::map<std::string, std::string> held;  // module -> SHA-256 of what it holds
  std::set<std::string> transferring;
  std::size_t most_at_once = 0;
  for (const auto& e : events) {
    if (e["event"] == "transfer") {
      ASSERT_TRUE(e.contains("module")) << e;
      transferring.insert(e["module"].get<std::string>());
      most_at_once = std::max(most_at_once, transferring.size());
    } else if (e["event"] == "verify") {
      held[e["module"]] = e["sha256"];
    } else if (e["event"] == "verdict") {
      verdicts[e["module"]] = e;
      verdicts[e["module"]].erase("event");
      transferring.erase(e["module"].get<std::string>());
    }
  }
  EXPECT_LE(most_at_once, 3u) << "--parallel 3";
  const std::map<int, int> statuses{{1, 0}, {2, 0}, {3, 0}, {4, 5}, {5, 6}, {6, 0}};
  ASSERT_EQ(verdicts.size(), statuses.size()) << result.output;
  for (const auto& [n, status] : statuses) {
    SCOPED_TRACE(n);
    const auto& verdict = verdicts[fleet_id(n)];
    EXPECT_EQ(verdict["exit_status"], status) << verdict;
    EXPECT_EQ(verdict["name"], "Printer BLE 0" + std::to_string(n));
    if (status == 0) {
      EXPECT_EQ(held[fleet_id(n)], sha256_of(image)) << "a healthy module holds exactly the image";
    }
  }

  const auto& summary = events.back();
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["outcome"], "failed");
  EXPECT_EQ(summary["exit_status"], 10);
  ASSERT_EQ(summary["modules"].size(), 6u);
  for (const auto& module : summary["modules"]) {
    EXPECT_EQ(module, verdicts[module["module"]]) << "the summary repeats each module's own verdict";
  }
}

TEST_F(QuillonOtaFleetTest, OnlyTheNamedModulesAreUpdatedAndTheTableSaysHowEachWent) {
  const auto image = make_image(30000);
  const auto result = run({image, "--modules", "3", "--module-id", fleet_id(1), "--module-id", fleet_id(3),
                           "--module-id", fleet_id(9), "--progress", "lines", "--scan-timeout", "0.5"});
  EXPECT_EQ(result.status, 10) << result.output;
  EXPECT_FALSE(result.says(fleet_id(2))) << "module 2 was not asked for";
  EXPECT_TRUE(result.says("[" + fleet_id(1) + "] progress: 100%")) << result.output;
  EXPECT_TRUE(result.says("[" + fleet_id(3) + "] progress: 100%")) << result.output;

  // The table: a header, then a row per module asked for, in the order found.
  std::vector<std::string> lines;
  std::istringstream in(result.output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const auto header = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.starts_with("module "); });
  ASSERT_NE(header, lines.end()) << result.output;
  for (const char* column : {"name", "result", "bytes", "time", "speed"}) EXPECT_NE(header->find(column), std::string::npos);
  ASSERT_GE(lines.end() - header, 4);
  EXPECT_TRUE(header[1].starts_with(fleet_id(1) + "  Printer BLE 01  success")) << header[1];
  EXPECT_NE(header[1].find(" 30000 "), std::string::npos) << header[1];
  EXPECT_TRUE(header[2].starts_with(fleet_id(3) + "  Printer BLE 03  success")) << header[2];
  EXPECT_TRUE(header[3].starts_with(fleet_id(9))) << header[3];
  EXPECT_NE(header[3].find("module_not_found (exit 3)"), std::string::npos) << header[3];
  EXPECT_EQ(result.verdict(), "quillon-ota: failed (exit 10): 1 of 3 modules not updated");
}

TEST_F(QuillonOtaFleetTest, OneDownloadServesEveryModule) {
  LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, home_.path() / "requests.log");
  const auto result =
      run({server.url("/fw/fleet.bin?size=50000"), "--all", "--modules", "4", "--verify", "--scan-timeout", "0.5"});
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.verdict(), "quillon-ota: success: all 4 modules updated");
  EXPECT_EQ(server.requests().size(), 1u) << "one download for the whole fleet";
  for (int n = 1; n <= 4; ++n) {
    EXPECT_TRUE(result.says("[" + fleet_id(n) + "] verify: the module holds exactly the image (50000 bytes"))
        << result.output;
  }
}

TEST_F(QuillonOtaFleetTest, CtrlCEndsEveryTransferAndStillPrintsTheSummary) {
  ToolProcess tool({make_image(200000), "--all", "--modules", "4", "--parallel", "2", "--latency", "20",
                    "--progress", "bar", "--scan-timeout", "0.5"},
                   home_.path());
  ASSERT_TRUE(tool.wait_for("% "));
  tool.signal(SIGINT);
  const auto result = tool.finish();
  EXPECT_EQ(result.status, 130) << result.output;
  for (int n = 1; n <= 4; ++n) {
    EXPECT_NE(result.output.find(fleet_id(n) + "  Printer BLE 0" + std::to_string(n) + "  interrupted (exit 130)"),
              std::string::npos)
        << result.output;
  }
  EXPECT_EQ(result.verdict(), "quillon-ota: aborted (exit 130): interrupted (SIGINT): 0 of 4 modules updated");
}

}  // namespace
}  // namespace quillon::ota_tool
