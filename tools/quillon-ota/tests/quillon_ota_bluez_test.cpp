// quillon-ota over the BlueZ backend, end to end: the built program against
// the BlueZ stand-in on a private bus that this test program starts, with
// the same images, faults and exit statuses as over the simulated module.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/bluez_peer_process.h"
#include "scratch_directory.h"
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

  static std::vector<std::uint8_t> receivedByModule() {
    auto connection = sdbus::createSystemBusConnection();
    auto test = sdbus::createProxy(*connection, "org.bluez", "/test");
    std::vector<std::uint8_t> bytes;
    test->callMethod("Received").onInterface("org.quillon.TestPeer1").withArguments(1).storeResultsTo(bytes);
    return bytes;
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
  std::ifstream in(image, std::ios::binary);
  const std::vector<std::uint8_t> sent{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(receivedByModule(), sent);

  // BlueZ was made to forget the updated module (its services may have
  // changed), so it cannot be retrieved until it is heard again; a scan
  // finds it, connects afresh, and it is remembered from then on.
  EXPECT_FALSE(peerKnowsDevice(1));
  const auto forgotten = run({"--backend", "bluez", "--retrieve", image});
  EXPECT_EQ(forgotten.status, kExitNotFound) << forgotten.output;
  const auto rescanned = run({"--backend", "bluez", image});
  EXPECT_EQ(rescanned.status, 0) << rescanned.output;
}

TEST_F(QuillonOtaBluezTest, ModuleFaultsGiveTheSameExitStatusesAsOverTheSimulatedModule) {
  const auto image = make_image(20000);
  for (const char* fault : {"corrupt-ack=1", "corrupt-end", "silent=5"}) {
    SCOPED_TRACE(fault);
    const auto simulated = run({"--fault", fault, image});
    BluezPeerProcess peer({"--fault", fault});
    const auto bluez = run({"--backend", "bluez", image});
    EXPECT_NE(bluez.status, 0) << bluez.output;
    EXPECT_EQ(bluez.status, simulated.status) << bluez.output << "\n--- over the simulated module:\n" << simulated.output;
  }
}

TEST_F(QuillonOtaBluezTest, NoBluezOrNoAdapterIsALinkFailureNotAHang) {
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
