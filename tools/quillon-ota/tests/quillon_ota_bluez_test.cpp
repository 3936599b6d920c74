// quillon-ota over the BlueZ backend, end to end: the built program against
// the BlueZ stand-in on a private bus that this test program starts, with
// the same images, faults and exit statuses as over the simulated module.
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include "bluez/bluez_peer_process.h"
#include "scratch_directory.h"
#include "support/signing_tools.h"
#include "exit_status.h"
#include "tool_options.h"
#include "tool_process.h"

namespace quillon::ota_tool {
namespace {

using quillon::test_support::ScratchDirectory;
using quillon::testing::BluezPeerProcess;
using quillon::testing::PrivateSystemBus;
using test_support::run_tool;
using test_support::ToolRun;

class QuillonOtaBluezTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { static PrivateSystemBus bus; }

  std::string make_image(std::size_t size) {
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 253) & 0xFF);
    const auto path = home_.path() / "fw.bin";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    return path.string();
  }
  ToolRun run(std::vector<std::string> args) { return run_tool(args, home_.path()); }

  static std::vector<std::uint8_t> contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // What the stand-in's device `number` ("KSV-Module-<number>") received.
  static std::vector<std::uint8_t> receivedByModule(int number = 1) {
    auto connection = sdbus::createSystemBusConnection();
    auto test = sdbus::createProxy(*connection, "org.bluez", "/test");
    std::vector<std::uint8_t> bytes;
    test->callMethod("Received").onInterface("org.quillon.TestPeer1").withArguments(number).storeResultsTo(bytes);
    return bytes;
  }

  // The stand-in's device number in a module's name, 0 for another name.
  static int deviceNumber(const std::string& name) {
    static constexpr std::string_view kPrefix = "KSV-Module-";
    return name.starts_with(kPrefix) ? std::atoi(name.c_str() + kPrefix.size()) : 0;
  }

  // Whether the stand-in still exports device `number` (as BlueZ would keep it).
  static bool peerKnowsDevice(int number) {
    auto connection = sdbus::createSystemBusConnection();
    auto root = sdbus::createProxy(*connection, "org.bluez", "/");
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> objects;
    root->callMethod("GetManagedObjects").onInterface("org.freedesktop.DBus.ObjectManager").storeResultsTo(objects);
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "_%02X", number);
    for (const auto& [path, interfaces] : objects) {
      if (interfaces.count("org.bluez.Device1") && std::string(path).ends_with(suffix)) return true;
    }
    return false;
  }

  ScratchDirectory home_;
};

TEST_F(QuillonOtaBluezTest, UpdatesTheModuleBehindBluezAndVerifies) {
  BluezPeerProcess peer;
  const auto image = make_image(100000);
  const auto result = run({"--backend", "bluez", image, "--verify"});
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(result.says("verify: the module accepted all 100000 bytes")) << result.output;
  EXPECT_EQ(receivedByModule(), contentsOf(image));

  // BlueZ was made to forget the updated module (its services may have
  // changed), as it forgets every unpaired device once its link ends. The
  // module is still retrieved by its identifier: it is looked for again.
  EXPECT_FALSE(peerKnowsDevice(1));
  const auto retrieved = run({"--backend", "bluez", "--retrieve", image});
  EXPECT_EQ(retrieved.status, 0) << retrieved.output;
}

// A signed image reaches the module behind BlueZ; one signed by another
// key is refused before the backend touches the bus, so nothing is scanned
// for, connected or sent.
TEST_F(QuillonOtaBluezTest, OnlyAnImageSignedByATrustedKeyReachesTheModule) {
  using quillon::test_support::SigningKey;
  const auto vendor = SigningKey::make(home_.path(), "vendor");
  const auto other = SigningKey::make(home_.path(), "other");
  const auto image = make_image(20000);
  other.sign(image, home_.path() / "other.minisig");
  vendor.sign(image, image + ".minisig");
  const std::string key = "--trusted-key=" + vendor.public_key.string();
  {
    SCOPED_TRACE("signed by another key");
    BluezPeerProcess peer;
    const auto result =
        run({"--backend", "bluez", key, "--signature", (home_.path() / "other.minisig").string(), image});
    EXPECT_EQ(result.status, kExitSignature) << result.output;
    EXPECT_TRUE(result.says("unknown key ID")) << result.output;
    EXPECT_TRUE(receivedByModule().empty());
    // The stand-in shows a device only once a discovery finds it.
    EXPECT_FALSE(peerKnowsDevice(1)) << "no discovery was started";
  }
  {
    SCOPED_TRACE("signed by the vendor");
    BluezPeerProcess peer;
    const auto result = run({"--backend", "bluez", key, image});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(receivedByModule(), contentsOf(image));
  }
}

// Forgetting a paired device would delete its keys (a module paired for
// classic printing would lose its bond).
TEST_F(QuillonOtaBluezTest, APairedModuleIsKeptAfterItsUpdate) {
  BluezPeerProcess peer({"--paired"});
  const auto result = run({"--backend", "bluez", make_image(20000)});
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(peerKnowsDevice(1));
}

// bluetoothd may connect a dual-mode module (public address, no "BR/EDR Not
// Supported" in its advertisement) over BR/EDR, where it offers no GATT
// service. Where bluetoothd lets us choose (PreferredBearer), it is
// connected over LE; elsewhere the error says why nothing was found.
TEST_F(QuillonOtaBluezTest, ADualModeModuleIsConnectedOverLEOrTheErrorSaysWhy) {
  const auto image = make_image(20000);
  {
    SCOPED_TRACE("bluetoothd 5.80 or later");
    BluezPeerProcess peer({"--dual-mode", "1", "--preferred-bearer"});
    const auto result = run({"--backend", "bluez", "--scan-timeout", "5", image});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(receivedByModule(), contentsOf(image));
  }
  {
    SCOPED_TRACE("bluetoothd 5.66");
    BluezPeerProcess peer({"--dual-mode", "1"});
    const auto result = run({"--backend", "bluez", "--scan-timeout", "10", image});
    EXPECT_EQ(result.status, 8) << result.output;
    EXPECT_TRUE(result.says("The module is a dual-mode device")) << result.output;
  }
}

TEST_F(QuillonOtaBluezTest, ModuleFaultsGiveTheSameExitStatusesAsOverTheSimulatedModule) {
  const auto image = make_image(20000);
  const std::vector<std::vector<std::string>> faults = {
      {"--fault", "corrupt-ack=1"}, {"--fault", "corrupt-end"}, {"--fault", "silent=5"},
      // Packets longer than the link carries: bluetoothd drops them silently.
      {"--mtu", "200", "--att-mtu", "100"}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault[1]);
    auto simulated_args = fault;
    simulated_args.push_back(image);
    const auto simulated = run(simulated_args);
    BluezPeerProcess peer(fault);
    const auto bluez = run({"--backend", "bluez", image});
    EXPECT_NE(bluez.status, 0) << bluez.output;
    EXPECT_EQ(bluez.status, simulated.status) << bluez.output << "\n--- over the simulated module:\n" << simulated.output;
    if (fault[0] == "--mtu") {
      EXPECT_EQ(bluez.verdict(), simulated.verdict()) << "the same reason, sizes and all";
    }
    // The module may have changed all the same: BlueZ must not keep serving its old table.
    EXPECT_FALSE(peerKnowsDevice(1)) << "a module that was sent anything is forgotten, updated or not";
  }
}

// Every module behind BlueZ at once, the second falling silent part way
// through its transfer while the others go on: each healthy module holds
// exactly the image, the silent one ends timed out as it would alone, and
// the run as a whole fails. Modules may end in any order.
TEST_F(QuillonOtaBluezTest, AllModulesAtOnceEachEndWithTheirOwnVerdict) {
  BluezPeerProcess peer({"--devices", "3", "--fault", "2:silent=5"});
  const auto image = make_image(20000);
  const auto result = run({"--backend", "bluez", "--all", "--json", "--scan-timeout", "2", image});
  EXPECT_EQ(result.status, kExitFleet) << result.output;

  std::vector<nlohmann::json> events;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_NO_THROW(events.push_back(nlohmann::json::parse(line))) << line;
  }
  ASSERT_FALSE(events.empty());
  const auto text = [](const nlohmann::json& event, const char* key) { return event.at(key).get<std::string>(); };
  std::map<std::string, int> device_of;  // identifier -> device number
  std::map<int, int> verdicts;           // device number -> exit status
  for (const auto& e : events) {
    if (e.value("event", "") == "found") device_of[text(e, "identifier")] = deviceNumber(text(e, "name"));
    if (e.value("event", "") == "verdict") {
      const int device = deviceNumber(text(e, "name"));
      EXPECT_EQ(device_of[text(e, "module")], device) << e.dump() << " is not the module found under that name";
      EXPECT_FALSE(verdicts.count(device)) << "a second verdict: " << e.dump();
      verdicts[device] = e.at("exit_status").get<int>();
    }
  }
  const std::map<int, int> expected{{1, kExitSuccess}, {2, kExitTimeout}, {3, kExitSuccess}};
  EXPECT_EQ(verdicts, expected) << result.output;

  const auto& summary = events.back();
  EXPECT_EQ(summary.value("event", ""), "summary") << result.output;
  EXPECT_EQ(summary.value("outcome", ""), "failed");
  EXPECT_EQ(summary.value("exit_status", -1), kExitFleet);
  std::map<int, int> summarised;
  for (const auto& module : summary.value("modules", nlohmann::json::array())) {
    summarised[device_of[text(module, "module")]] = module.at("exit_status").get<int>();
  }
  EXPECT_EQ(summarised, expected) << summary.dump();

  for (int healthy : {1, 3}) {
    SCOPED_TRACE(healthy);
    EXPECT_EQ(receivedByModule(healthy), contentsOf(image));
  }
}

// Healthy modules, two at a time: all are updated and the run succeeds,
// with one row per module in the closing table. Two at a time means two
// links at most: a module's slot takes the next one only once its link is
// down (bluetoothd keeps it up 2 s after the disconnection).
TEST_F(QuillonOtaBluezTest, AllModulesTwoAtATimeAllUpdated) {
  BluezPeerProcess peer({"--devices", "3"});
  const auto image = make_image(20000);
  const auto result = run({"--backend", "bluez", "--all", "--parallel", "2", "--scan-timeout", "2", image});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.verdict().rfind("quillon-ota: success", 0), 0u) << result.output;
  const auto table = result.output.rfind("\nmodule");
  ASSERT_NE(table, std::string::npos) << result.output;
  for (int number : {1, 2, 3}) {
    SCOPED_TRACE(number);
    EXPECT_NE(result.output.find("KSV-Module-" + std::to_string(number), table), std::string::npos) << result.output;
    EXPECT_EQ(receivedByModule(number), contentsOf(image));
  }
  auto connection = sdbus::createSystemBusConnection();
  std::uint32_t most = 0;
  sdbus::createProxy(*connection, "org.bluez", "/test")
      ->callMethod("MostLinksAtOnce").onInterface("org.quillon.TestPeer1").storeResultsTo(most);
  EXPECT_EQ(most, 2u);
}

// Each module's entry of a fleet run's closing "summary" event, by the
// stand-in's device number.
std::map<int, nlohmann::json> summaryByDevice(const std::string& output) {
  std::vector<nlohmann::json> events;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
  std::map<int, nlohmann::json> modules;
  if (events.empty() || events.back().value("event", "") != "summary") return modules;
  for (const auto& module : events.back().at("modules")) {
    const std::string name = module.value("name", "");
    modules[name.starts_with("KSV-Module-") ? std::atoi(name.c_str() + 11) : 0] = module;
  }
  return modules;
}

// An image the stand-in's modules take as version `version`.
std::string taggedImage(const std::filesystem::path& folder, const std::string& version) {
  const auto path = folder / ("fw-" + version + ".bin");
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < 20000; ++i) out.put(static_cast<char>((i * 131 + i / 253) & 0xFF));
  out << "QVER:" << version << '\0';
  return path.string();
}

// The plan comes from what the modules report now: a dry run writes
// nothing; once a fleet run has updated every module, the same command
// sends nothing and says why for each module.
TEST_F(QuillonOtaBluezTest, TheSameCommandAfterACompleteFleetRunSendsNothing) {
  BluezPeerProcess peer({"--devices", "3", "--info", "1:firmware=1.0", "--info", "2:firmware=2.0.0"});
  {
    SCOPED_TRACE("a dry run for an image of 1.5: older, newer and unknown, and nothing written");
    const auto dry = run({"--backend", "bluez", "--all", "--json", "--scan-timeout", "2", "--image-version", "1.5",
                          "--dry-run", taggedImage(home_.path(), "1.5")});
    EXPECT_EQ(dry.status, kExitFleet) << dry.output;
    auto planned = summaryByDevice(dry.output);
    ASSERT_EQ(planned.size(), 3u) << dry.output;
    EXPECT_EQ(planned[1].value("outcome", ""), "planned");
    EXPECT_EQ(planned[2].value("reason", ""), "it would downgrade from 2.0.0 to 1.5");
    EXPECT_EQ(planned[3].value("action", ""), "update");
    for (int device : {1, 2, 3}) EXPECT_TRUE(receivedByModule(device).empty()) << device;
  }
  const std::vector<std::string> command{"--backend", "bluez", "--all", "--json", "--scan-timeout", "2",
                                         "--image-version", "2.0.0", taggedImage(home_.path(), "2.0.0")};
  const auto first = run(command);
  EXPECT_EQ(first.status, 0) << first.output;
  auto modules = summaryByDevice(first.output);
  ASSERT_EQ(modules.size(), 3u) << first.output;
  EXPECT_EQ(modules[1].value("outcome", ""), "success");
  EXPECT_EQ(modules[1].value("version", ""), "1.0");
  EXPECT_EQ(modules[1].value("new_version", ""), "2.0.0") << "read again after the update";
  EXPECT_EQ(modules[2].value("outcome", ""), "already_current");
  EXPECT_EQ(modules[3].value("outcome", ""), "success") << "no version: updated";

  const auto again = run(command);
  EXPECT_EQ(again.status, kExitNothingToDo) << again.output;
  modules = summaryByDevice(again.output);
  ASSERT_EQ(modules.size(), 3u) << again.output;
  for (const auto& [device, module] : modules) {
    SCOPED_TRACE(device);
    EXPECT_EQ(module.value("outcome", ""), "already_current");
    EXPECT_EQ(module.value("reason", ""), "already 2.0.0");
    EXPECT_EQ(module.value("bytes", -1), 0);
  }
}

// Ctrl-C in the middle of a fleet run: the same command then updates only
// the modules that are not yet current. Modules 2 and 3 stop answering
// during their transfers, so module 1 is the only one done when the
// signal comes.
TEST_F(QuillonOtaBluezTest, AfterCtrlCTheSameCommandUpdatesOnlyTheModulesNotYetCurrent) {
  BluezPeerProcess peer({"--devices", "3", "--info", "firmware=1.0", "--fault", "2:silent=2", "--fault", "3:silent=2"});
  const std::vector<std::string> command{"--backend", "bluez", "--all", "--parallel", "1", "--scan-timeout", "2",
                                         "--image-version", "2.0.0", taggedImage(home_.path(), "2.0.0")};
  {
    auto args = command;
    args.insert(args.end(), {"--progress", "lines"});
    test_support::ToolProcess tool(args, home_.path());
    ASSERT_TRUE(tool.wait_for("success: firmware updated"));
    tool.signal(SIGINT);
    const auto stopped = tool.finish();
    EXPECT_EQ(stopped.status, kExitInterrupted) << stopped.output;
  }
  auto args = command;
  args.push_back("--json");
  const auto again = run(args);
  EXPECT_EQ(again.status, kExitFleet) << again.output;
  auto modules = summaryByDevice(again.output);
  ASSERT_EQ(modules.size(), 3u) << again.output;
  EXPECT_EQ(modules[1].value("outcome", ""), "already_current");
  EXPECT_EQ(modules[1].value("bytes", -1), 0);
  for (int device : {2, 3}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(modules[device].value("action", ""), "update");
    EXPECT_GT(modules[device].value("bytes", 0), 0) << "sent to again";
  }
}

// Modules that refuse the reads, answer them slowly or drop the link during
// them: each gets its own line, and the fleet goes on.
TEST_F(QuillonOtaBluezTest, ModulesThatMisbehaveDuringTheReadsAreUpdatedOrNamedAndTheFleetGoesOn) {
  BluezPeerProcess peer({"--devices", "3", "--info", "firmware=1.0", "--info-fault", "1:refuse", "--info-fault",
                         "2:slow=8000", "--info-fault", "3:drop"});
  const auto result = run({"--backend", "bluez", "--all", "--json", "--scan-timeout", "2", "--image-version",
                           "2.0.0", taggedImage(home_.path(), "2.0.0")});
  EXPECT_EQ(result.status, kExitFleet) << result.output;
  auto modules = summaryByDevice(result.output);
  ASSERT_EQ(modules.size(), 3u) << result.output;
  EXPECT_EQ(modules[1].value("outcome", ""), "success");
  EXPECT_EQ(modules[1].value("reason", "").rfind("version unknown: it refused to give its firmware revision", 0), 0u)
      << modules[1].dump();
  EXPECT_EQ(modules[2].value("outcome", ""), "success");
  EXPECT_EQ(modules[2].value("reason", ""),
            "version unknown: its device information did not come within 5 s; updating to 2.0.0");
  EXPECT_EQ(modules[3].value("outcome", ""), "link_failed");
  EXPECT_EQ(modules[3].value("bytes", -1), 0);
}

// bluetoothd's object manager announces a resolved device's services from
// an idle callback, so ServicesResolved can come before the last of them
// (the stand-in announces FF10 five seconds late; GetManagedObjects lists
// it at once, as bluetoothd's does): the module offers its OTA service all
// the same, and is updated.
TEST_F(QuillonOtaBluezTest, AnOtaServiceAnnouncedAfterServicesResolvedIsFound) {
  BluezPeerProcess peer({"--late-services", "5000"});
  const auto image = make_image(20000);
  const auto result = run({"--backend", "bluez", image});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(receivedByModule(), contentsOf(image));
}

// Another program on the host subscribed to FF11 (StartNotify) would make
// bluetoothd repeat every acknowledgement, and the host would run a window
// for each copy, twice the module's credit in flight. The update ends
// before anything is written, saying why and what to do.
TEST_F(QuillonOtaBluezTest, ASecondSubscriberToTheOtaCharacteristicEndsTheUpdateBeforeAnyData) {
  BluezPeerProcess peer;
  // The other program found, connected and subscribed to the module first.
  auto other = sdbus::createSystemBusConnection();
  auto adapter = sdbus::createProxy(*other, "org.bluez", "/org/bluez/hci0");
  adapter->callMethod("StartDiscovery").onInterface("org.bluez.Adapter1");
  const std::string device = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
  sdbus::createProxy(*other, "org.bluez", device)->callMethod("Connect").onInterface("org.bluez.Device1");
  sdbus::createProxy(*other, "org.bluez", device + "/serviceff10/charff11")
      ->callMethod("StartNotify").onInterface("org.bluez.GattCharacteristic1");
  adapter->callMethod("StopDiscovery").onInterface("org.bluez.Adapter1");

  const auto result = run({"--backend", "bluez", "--scan-timeout", "5", make_image(20000)});
  EXPECT_EQ(result.status, 8) << result.output;
  EXPECT_TRUE(result.says("another program on this computer is subscribed to FF11")) << result.output;
  EXPECT_TRUE(result.says("Close other Bluetooth programs")) << result.output;
  auto test = sdbus::createProxy(*other, "org.bluez", "/test");
  std::vector<std::uint8_t> written;
  test->callMethod("OtaWritten").onInterface("org.quillon.TestPeer1").withArguments(1).storeResultsTo(written);
  EXPECT_TRUE(written.empty()) << written.size() << " bytes were written to FF11";
}

TEST_F(QuillonOtaBluezTest, NoBluezNoAdapterOrNoScanIsALinkFailureNotAHang) {
  {
    SCOPED_TRACE("no org.bluez on the bus");
    const auto result = run({"--backend", "bluez", make_image(100)});
    EXPECT_EQ(result.status, 8) << result.output;
  }
  {
    SCOPED_TRACE("an adapter that is not there");
    BluezPeerProcess peer;
    const auto result = run({"--backend", "bluez", "--adapter", "hci7", "-v", make_image(100)});
    EXPECT_EQ(result.status, 8) << result.output;
    EXPECT_TRUE(result.says("[BlueZ]No adapter hci7")) << result.output;
  }
  {
    // Not "module not found" after the scan time: the scan never ran.
    SCOPED_TRACE("a controller that refuses to discover");
    BluezPeerProcess peer({"--refuse-discovery"});
    const std::string image = make_image(100);
    for (const auto& mode : std::vector<std::vector<std::string>>{{}, {"--all"}, {"--list"}}) {
      SCOPED_TRACE(mode.empty() ? "one module" : mode[0]);
      std::vector<std::string> args{"--backend", "bluez", "--scan-timeout", "5"};
      args.insert(args.end(), mode.begin(), mode.end());
      if (mode.empty() || mode[0] != "--list") args.push_back(image);
      const auto result = run(args);
      EXPECT_EQ(result.status, 8) << result.output;
      EXPECT_TRUE(result.says("Bluetooth could not scan: hci0 did not start discovery")) << result.output;
    }
  }
}

TEST(QuillonOtaBluezOptions, BackendAndAdapterAreCheckedAndTheSimulatedModulesOptionsStayWithSim) {
  const auto parse = [](std::vector<std::string_view> args) { return parse_arguments(args); };
  const auto options = std::get<ToolOptions>(parse({"--backend", "bluez", "--adapter", "hci1", "fw.bin"}));
  EXPECT_EQ(options.backend, BLEBackend::BlueZ);
  EXPECT_EQ(options.adapter, "hci1");
  EXPECT_EQ(std::get<ToolOptions>(parse({"fw.bin"})).adapter, "hci0");
  EXPECT_FALSE(std::get<ToolOptions>(parse({"fw.bin"})).backend.has_value());
  for (const auto& bad : std::vector<std::vector<std::string_view>>{{"--backend", "corebluetooth", "fw.bin"},
                                                                   {"--adapter", "../hci0", "fw.bin"},
                                                                   {"--backend", "bluez", "--fault", "merge", "fw.bin"},
                                                                   {"--no-module", "--backend=bluez", "fw.bin"}}) {
    EXPECT_TRUE(std::holds_alternative<UsageError>(parse(bad))) << bad[0] << " " << bad[1];
  }
}

}  // namespace
}  // namespace quillon::ota_tool
