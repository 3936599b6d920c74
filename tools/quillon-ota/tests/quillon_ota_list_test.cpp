// quillon-ota --list, end to end: the built program lists the modules in
// range over the simulated world and over BlueZ (the BlueZ stand-in on a
// private bus), as rows of text and as JSON events, with the exit status
// saying whether any module was found.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/bluez_peer_process.h"
#include "exit_status.h"
#include "scratch_directory.h"
#include "tool_process.h"

namespace quillon::ota_tool {
namespace {

using quillon::test_support::ScratchDirectory;
using quillon::testing::BluezPeerProcess;
using quillon::testing::PrivateSystemBus;
using test_support::run_tool;
using test_support::ToolRun;

std::vector<nlohmann::json> events_of(const ToolRun& run) {
  std::vector<nlohmann::json> events;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    try {
      events.push_back(nlohmann::json::parse(line));
    } catch (const nlohmann::json::exception&) {
      ADD_FAILURE() << "not a JSON line: " << line;
    }
  }
  return events;
}

// identifier -> {name, rssi}, from the "found" events; the closing "list"
// event must name the same modules, and nothing may follow it.
std::map<std::string, std::pair<std::string, int>> listed(const ToolRun& run, int expected_status) {
  const auto events = events_of(run);
  std::map<std::string, std::pair<std::string, int>> found;
  for (const auto& e : events) {
    if (e.value("event", "") != "found") continue;
    const auto id = e.at("identifier").get<std::string>();
    EXPECT_FALSE(found.count(id)) << "found twice: " << id;
    found[id] = {e.at("name").get<std::string>(), e.at("rssi").is_null() ? 127 : e.at("rssi").get<int>()};
  }
  EXPECT_FALSE(events.empty());
  if (events.empty()) return found;
  const auto& last = events.back();
  EXPECT_EQ(last.value("event", ""), "list") << run.output;
  EXPECT_EQ(last.value("exit_status", -1), expected_status);
  std::map<std::string, std::pair<std::string, int>> in_list;
  for (const auto& m : last.value("modules", nlohmann::json::array())) {
    in_list[m.at("identifier").get<std::string>()] = {m.at("name").get<std::string>(),
                                                      m.at("rssi").is_null() ? 127 : m.at("rssi").get<int>()};
  }
  EXPECT_EQ(in_list, found) << run.output;
  return found;
}

const std::string kModule1 = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001";
const std::string kModule2 = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002";
const std::string kModule3 = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0003";

TEST(QuillonOtaList, SimulatedModulesInRangeOnly) {
  ScratchDirectory home;
  const std::vector<std::string> world{"--list", "--modules", "3", "--out-of-range", "2", "--scan-timeout", "0.5"};

  auto args = world;
  args.push_back("--json");
  const auto json = run_tool(args, home.path());
  EXPECT_EQ(json.status, kExitSuccess) << json.output;
  const std::map<std::string, std::pair<std::string, int>> expected{{kModule1, {"Printer BLE 01", -55}},
                                                                    {kModule3, {"Printer BLE 03", -55}}};
  EXPECT_EQ(listed(json, kExitSuccess), expected);

  // As text: one row per module, each with its name, identifier and RSSI.
  const auto text = run_tool(world, home.path());
  EXPECT_EQ(text.status, kExitSuccess) << text.output;
  std::istringstream lines(text.output);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("-3E8F2B7D000") != std::string::npos) rows.push_back(line);
  }
  ASSERT_EQ(rows.size(), 2u) << text.output;
  EXPECT_EQ(rows[0].rfind("Printer BLE 01", 0), 0u) << rows[0];
  EXPECT_NE(rows[0].find(kModule1), std::string::npos) << rows[0];
  EXPECT_NE(rows[0].find("-55 dBm"), std::string::npos) << rows[0];
  EXPECT_EQ(rows[1].rfind("Printer BLE 03", 0), 0u) << rows[1];
  EXPECT_EQ(text.output.find(kModule2), std::string::npos) << text.output;
}

TEST(QuillonOtaList, NoModuleInRangeIsNotFound) {
  ScratchDirectory home;
  const auto none = run_tool({"--list", "--no-module", "--scan-timeout", "0.3", "--json"}, home.path());
  EXPECT_EQ(none.status, kExitNotFound) << none.output;
  EXPECT_TRUE(listed(none, kExitNotFound).empty());
  const auto all_away = run_tool({"--list", "--modules", "2", "--out-of-range", "1", "--out-of-range", kModule2,
                                  "--scan-timeout", "0.3"},
                                 home.path());
  EXPECT_EQ(all_away.status, kExitNotFound) << all_away.output;
}

TEST(QuillonOtaList, ModulesBehindBluez) {
  static PrivateSystemBus bus;
  ScratchDirectory home;
  {
    SCOPED_TRACE("no org.bluez on the bus");
    const auto result = run_tool({"--backend", "bluez", "--list", "--scan-timeout", "1"}, home.path());
    EXPECT_EQ(result.status, kExitLink) << result.output;
  }
  BluezPeerProcess peer({"--devices", "3"});
  const auto json = run_tool({"--backend", "bluez", "--list", "--json", "--scan-timeout", "2"}, home.path());
  EXPECT_EQ(json.status, kExitSuccess) << json.output;
  std::map<std::string, int> rssi_by_name;
  for (const auto& [id, module] : listed(json, kExitSuccess)) rssi_by_name[module.first] = module.second;
  // The stand-in's device N reports an RSSI of -50 - N.
  const std::map<std::string, int> expected{{"KSV-Module-1", -51}, {"KSV-Module-2", -52}, {"KSV-Module-3", -53}};
  EXPECT_EQ(rssi_by_name, expected) << json.output;

  const auto text = run_tool({"--backend", "bluez", "--list", "--scan-timeout", "2"}, home.path());
  EXPECT_EQ(text.status, kExitSuccess) << text.output;
  for (const auto& [name, rssi] : expected) {
    EXPECT_NE(text.output.find(name), std::string::npos) << text.output;
  }
}

// The "found" event of each module, by name.
std::map<std::string, nlohmann::json> found_by_name(const ToolRun& run) {
  std::map<std::string, nlohmann::json> found;
  for (const auto& e : events_of(run)) {
    if (e.value("event", "") == "found") found[e.at("name").get<std::string>()] = e;
  }
  return found;
}

TEST(QuillonOtaList, ShowsWhatEachSimulatedModuleSaysItIs) {
  ScratchDirectory home;
  const std::vector<std::string> world{"--list", "--modules", "3", "--model", "QL-7", "--firmware-revision", "1.0.0",
                                       "--firmware-revision", "2:2.0.0", "--model", kModule3 + ":QL-9",
                                       "--scan-timeout", "0.5"};
  auto args = world;
  args.push_back("--json");
  const auto json = run_tool(args, home.path());
  EXPECT_EQ(json.status, kExitSuccess) << json.output;
  listed(json, kExitSuccess);
  auto found = found_by_name(json);
  ASSERT_EQ(found.size(), 3u) << json.output;
  EXPECT_EQ(found["Printer BLE 01"].value("model", ""), "QL-7");
  EXPECT_EQ(found["Printer BLE 01"].value("firmware_revision", ""), "1.0.0");
  EXPECT_EQ(found["Printer BLE 02"].value("firmware_revision", ""), "2.0.0") << "one module's own revision";
  EXPECT_EQ(found["Printer BLE 03"].value("model", ""), "QL-9");
  EXPECT_FALSE(found["Printer BLE 01"].contains("serial_number")) << "what a module does not offer is absent";

  const auto text = run_tool(world, home.path());
  EXPECT_EQ(text.status, kExitSuccess) << text.output;
  EXPECT_TRUE(text.says("model")) << text.output;
  std::istringstream lines(text.output);
  std::string row2;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Printer BLE 02", 0) == 0) row2 = line;
  }
  EXPECT_NE(row2.find("QL-7"), std::string::npos) << row2;
  EXPECT_NE(row2.find("2.0.0"), std::string::npos) << row2;

  // Reading is no use of a module: --retrieve does not take it for the last one used.
  std::ifstream defaults(home.path() / "config" / "quillon" / "user-defaults");
  const std::string remembered{std::istreambuf_iterator<char>(defaults), std::istreambuf_iterator<char>()};
  EXPECT_EQ(remembered.find("last_connected_peripheral_identifier"), std::string::npos) << remembered;

  // The scan alone connects to nothing, so it cannot know.
  args.push_back("--scan-only");
  const auto scan_only = run_tool(args, home.path());
  EXPECT_EQ(scan_only.status, kExitSuccess) << scan_only.output;
  for (const auto& [name, event] : found_by_name(scan_only)) EXPECT_FALSE(event.contains("model")) << name;
}

// Modules that misbehave while they are asked what they are each get a line
// saying so, strange strings are shown escaped (the JSON stays valid), and
// the list goes on, never with more links up at once than asked.
TEST(QuillonOtaList, ModulesThatMisbehaveDuringTheReadsAreNamedAndTheListGoesOn) {
  static PrivateSystemBus bus;
  ScratchDirectory home;
  const std::string long_serial(512, 'S');
  BluezPeerProcess peer({"--devices", "6", "--info=1:model=QL-7", "--info=1:firmware=1.2.0",
                         "--info=2:serial=" + long_serial, "--info=2:model=QL\x1b]0;owned\x07\xff",
                         "--info=3:model=QL-3", "--info-fault=3:refuse", "--info=4:model=QL-4", "--info-fault=4:drop",
                         "--info=5:model=QL-5", "--info-fault=5:slow=600000", "--rssi-unavailable", "6", "--disconnect-delay", "200"});
  const auto json = run_tool({"--backend", "bluez", "--list", "--json", "--scan-timeout", "2", "--parallel", "2"},
                             home.path());
  EXPECT_EQ(json.status, kExitSuccess) << json.output;
  listed(json, kExitSuccess);
  auto found = found_by_name(json);
  ASSERT_EQ(found.size(), 6u) << json.output;
  const auto notes = [&](const std::string& name) {
    std::string all;
    for (const auto& note : found[name].value("notes", nlohmann::json::array())) all += note.get<std::string>() + "\n";
    return all;
  };
  EXPECT_EQ(found["KSV-Module-1"].value("model", ""), "QL-7");
  EXPECT_EQ(found["KSV-Module-1"].value("firmware_revision", ""), "1.2.0");
  EXPECT_EQ(notes("KSV-Module-1"), "");
  EXPECT_EQ(found["KSV-Module-2"].value("serial_number", ""), long_serial) << "512 bytes arrive whole";
  EXPECT_EQ(found["KSV-Module-2"].value("model", ""), "QL\\x1B]0;owned\\x07\\xFF");
  EXPECT_NE(notes("KSV-Module-2").find("model number is not plain text"), std::string::npos) << notes("KSV-Module-2");
  EXPECT_NE(notes("KSV-Module-2").find("serial number is 512 bytes long"), std::string::npos);
  EXPECT_NE(notes("KSV-Module-3").find("refused to give its model number"), std::string::npos) << notes("KSV-Module-3");
  EXPECT_NE(notes("KSV-Module-4").find("the link dropped"), std::string::npos) << notes("KSV-Module-4");
  EXPECT_NE(notes("KSV-Module-5").find("did not come within 5 s"), std::string::npos) << notes("KSV-Module-5");
  EXPECT_TRUE(found["KSV-Module-6"].at("rssi").is_null()) << "127 is \"not available\", not a strength";

  auto control = sdbus::createSystemBusConnection();
  auto test = sdbus::createProxy(*control, "org.bluez", "/test");
  std::uint32_t most = 0;
  test->callMethod("MostLinksAtOnce").onInterface("org.quillon.TestPeer1").storeResultsTo(most);
  EXPECT_GE(most, 1u);
  EXPECT_LE(most, 2u) << "--parallel bounds the links up at once";

  // As text, the same lines; the module's bytes never reach the terminal raw.
  const auto text = run_tool({"--backend", "bluez", "--list", "--scan-timeout", "2"}, home.path());
  EXPECT_EQ(text.status, kExitSuccess) << text.output;
  EXPECT_EQ(text.output.find('\x1b'), std::string::npos) << text.output;
  EXPECT_TRUE(text.says("KSV-Module-3 (")) << text.output;
  std::istringstream lines(text.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("KSV-Module-6", 0) == 0) {
      EXPECT_NE(line.find("n/a"), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace quillon::ota_tool
