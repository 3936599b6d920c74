// BLEManager running on the simulated world, as a host app would use it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "quillon/manager/ble_manager.h"
#include "quillon/sim/default_platform.h"
#include "quillon/sim/sim_data_module.h"

namespace quillon::sim {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// An app delegate that connects to the first peripheral it finds and starts
// service discovery from inside its connection callback.
class ConnectingApp final : public BLEManagerDelegate {
 public:
  explicit ConnectingApp(BLEManager& manager) : manager_(manager) {}
  void didUpdateState(CBManagerState state) override { events.push_back("state " + std::to_string(state)); }
  void didPeripheralFound_advertisementData_RSSI(const std::shared_ptr<CBPeripheral>& peripheral,
                                                 const std::shared_ptr<BLEAdvertisementData>& ad, int) override {
    events.push_back("found " + ad->localName().value_or("-"));
    manager_.stopScan();
    manager_.connect(peripheral);
  }
  void didConnectPeripheral(const std::shared_ptr<CBPeripheral>& peripheral) override {
    events.push_back("connected");
    manager_.discoverServices(peripheral);
  }
  void didFailToConnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {
    events.push_back("failed");
  }
  void didDisconnectPeripheral_error(const std::shared_ptr<CBPeripheral>&, const std::optional<NSError>&) override {
    events.push_back("disconnected");
  }
  void didServicesFound_services(const std::shared_ptr<CBPeripheral>&,
                                 const std::optional<CBServiceList>& services) override {
    events.push_back("services " + std::to_string(services ? services->size() : 0));
  }

  std::vector<std::string> events;

 private:
  BLEManager& manager_;
};

BLEPlatform platformOver(const std::shared_ptr<SimWorld>& world, std::shared_ptr<NSUserDefaults> defaults,
                         std::shared_ptr<LogSink> log) {
  return BLEPlatform{world->centralFactory(), world->queue(), std::move(defaults),
                     std::make_shared<FixedSystemVersion>("8.0"), std::move(log)};
}

TEST(ManagerOverSimTest, ScanConnectAndDiscoverFromInsideTheConnectionCallback) {
  auto world = SimWorld::create();
  auto module = std::make_shared<SimDataModule>();
  world->addDevice(module);
  SimDeviceConfig other;
  other.name = "Band";
  other.advertisedServices = {CBUUID::fromShort(0x180D)};
  world->addDevice(std::make_shared<SimDevice>(other));
  auto log = std::make_shared<MemoryLogSink>();
  BLEManager manager(platformOver(world, std::make_shared<MemoryUserDefaults>(), log));
  auto app = std::make_shared<ConnectingApp>(manager);
  manager.setDelegate(app);

  manager.scanForPeripherals("FF00");
  world->queue()->run_until_idle();

  EXPECT_THAT(app->events, ElementsAre("state 5", "found Printer BLE", "connected", "services 2"));
  EXPECT_THAT(log->lines(), ElementsAre("[BLEManager]BLEManager state changed to 5", "[BLEManager]Device found:Printer BLE",
                                        "[BLEManager]Connected", "[BLEManager]2 Serivces found:", "[BLEManager]0:FF00",
                                        "[BLEManager]1:FF10"));
  EXPECT_EQ(module->connectionCount(), 1u);
}

TEST(ManagerOverSimTest, TheLastConnectedPeripheralIsFoundAgainAfterARestart) {
  char pattern[] = "/tmp/quillon-restart-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::filesystem::path file = std::filesystem::path(pattern) / "quillon" / "user-defaults";
  auto world = SimWorld::create();
  auto module = std::make_shared<SimDataModule>();
  world->addDevice(module);
  {
    BLEManager first(platformOver(world, std::make_shared<FileUserDefaults>(file), std::make_shared<NullLogSink>()));
    EXPECT_THAT(first.retrievePeripheralsWithIdentifiers(std::nullopt), IsEmpty()) << "fresh installation";
    auto app = std::make_shared<ConnectingApp>(first);
    first.setDelegate(app);
    first.scanForPeripherals(std::nullopt);
    world->queue()->run_until_idle();
    ASSERT_THAT(app->events, Contains("connected"));
  }
  world->queue()->run_until_idle();  // whatever was queued for the first manager is dropped
  BLEManager second(platformOver(world, std::make_shared<FileUserDefaults>(file), std::make_shared<NullLogSink>()));
  auto found = second.retrievePeripheralsWithIdentifiers(std::nullopt);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]->identifier(), module->identifier());
  std::filesystem::remove_all(pattern);
}

TEST(ManagerOverSimTest, TheSharedInstanceIsMadeOnceOnTheConfiguredPlatform) {
  auto world = SimWorld::create();
  auto log = std::make_shared<MemoryLogSink>();
  ASSERT_TRUE(configureDefaultPlatform({world, std::make_shared<MemoryUserDefaults>(), nullptr, log}));
  BLEManager& shared = BLEManager::sharedInstance();
  EXPECT_EQ(&shared, &BLEManager::sharedInstance());
  EXPECT_FALSE(configureDefaultPlatform({})) << "too late once the platform is in use";
  EXPECT_EQ(defaultWorld(), world);

  // A delegate set right after creation still hears the first state report.
  auto app = std::make_shared<ConnectingApp>(shared);
  shared.setDelegate(app);
  world->queue()->run_until_idle();
  EXPECT_THAT(app->events, ElementsAre("state 5"));
  EXPECT_THAT(log->lines(), ElementsAre("[BLEManager]BLEManager state changed to 5"));
}

// QUILLON_BLE_BACKEND picks the backend of a default-made manager; one that
// this program does not link, or no backend at all, gives an Unsupported
// central rather than the simulated world in its place.
TEST(ManagerOverSimTest, TheEnvironmentPicksTheBackendOfADefaultManager) {
  const struct {
    const char* value;
    const char* state;
  } cases[] = {{"sim", "state 5"}, {"bluez", "state 2"}, {"corebluetooth", "state 2"}, {"", "state 5"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    setenv("QUILLON_BLE_BACKEND", c.value, 1);
    BLEManager manager;
    auto app = std::make_shared<ConnectingApp>(manager);
    manager.setDelegate(app);
    defaultWorld()->queue()->run_until_idle();
    EXPECT_THAT(app->events, ElementsAre(c.state));
  }
  unsetenv("QUILLON_BLE_BACKEND");
}

}  // namespace
}  // namespace quillon::sim
