#include "quillon/sim/sim_world.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillon/sim/sim_data_module.h"
#include "support/central_event_recorder.h"

namespace quillon::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Recorder = test_support::CentralEventRecorder;

struct WorldRig {
  std::shared_ptr<SimWorld> world = SimWorld::create();
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<SimCentralManager> central = world->makeCentral(recorder);
  std::shared_ptr<SimDataModule> module = std::make_shared<SimDataModule>();

  WorldRig() { world->addDevice(module); }
  void settle() { world->queue()->run_until_idle(); }

  std::shared_ptr<CBPeripheral> connectedModule() {
    auto peripheral = central->retrievePeripheralsWithIdentifiers({module->identifier()}).at(0);
    peripheral->setDelegate(std::weak_ptr<CBPeripheralDelegate>(recorder));
    central->connectPeripheral_options(peripheral, std::nullopt);
    peripheral->discoverServices(std::nullopt);
    settle();
    for (const auto& service : *peripheral->services()) peripheral->discoverCharacteristics_forService(std::nullopt, service);
    settle();
    recorder->lines.clear();
    return peripheral;
  }
  static std::shared_ptr<CBCharacteristic> characteristic(const std::shared_ptr<CBPeripheral>& p, const CBUUID& uuid) {
    for (const auto& service : *p->services()) {
      for (const auto& c : *service->characteristics()) {
        if (c->UUID() == uuid) return c;
      }
    }
    return nullptr;
  }
};

std::shared_ptr<SimDevice> device(const char* name, std::vector<CBUUID> services = {}, int rssi = -60,
                                  bool advertising = true) {
  SimDeviceConfig config;
  config.name = name;
  config.advertisedServices = std::move(services);
  config.rssi = rssi;
  config.advertising = advertising;
  return std::make_shared<SimDevice>(std::move(config));
}

TEST(SimWorldTest, NothingIsDeliveredInsideTheCallThatCausedIt) {
  WorldRig rig;
  EXPECT_THAT(rig.recorder->lines, IsEmpty()) << "even the first state report waits for the queue";
  rig.settle();
  EXPECT_THAT(rig.recorder->lines, ElementsAre("state 5"));
  rig.recorder->lines.clear();
  auto peripheral = rig.central->retrievePeripheralsWithIdentifiers({rig.module->identifier()}).at(0);
  rig.central->connectPeripheral_options(peripheral, std::nullopt);
  EXPECT_THAT(rig.recorder->lines, IsEmpty());
  EXPECT_EQ(peripheral->state(), CBPeripheralStateConnecting);
  rig.settle();
  EXPECT_THAT(rig.recorder->lines, ElementsAre("connected Printer BLE"));
}

TEST(SimWorldTest, ScanReportsAdvertisersMatchingItsFilterAgainAndAgain) {
  WorldRig rig;
  rig.world->addDevice(device("Band", {CBUUID::fromShort(0x180D)}, -70));
  rig.world->addDevice(device("Quiet", {}, -60, false));
  rig.settle();
  rig.recorder->lines.clear();
  const CBOptions duplicates{{CBCentralManagerScanOptionAllowDuplicatesKey, true}};
  {
    SCOPED_TRACE("no filter: every advertiser, once per round");
    rig.central->scanForPeripheralsWithServices_options(std::nullopt, duplicates);
    rig.settle();
    EXPECT_THAT(rig.recorder->lines, ElementsAre("found Printer BLE -55", "found Band -70"));
  }
  {
    SCOPED_TRACE("a filter: only advertisers of that service, repeated at the interval");
    rig.recorder->lines.clear();
    rig.central->scanForPeripheralsWithServices_options(std::vector<CBUUID>{CBUUID::fromShort(0xFF00)}, duplicates);
    ASSERT_TRUE(rig.world->queue()->run_until([&] { return rig.recorder->lines.size() >= 3; },
                                              std::chrono::seconds(10)));
    for (const auto& line : rig.recorder->lines) EXPECT_EQ(line, "found Printer BLE -55");
  }
  {
    SCOPED_TRACE("stopScan ends the repeats; a device joining later is not reported");
    rig.central->stopScan();
    rig.recorder->lines.clear();
    rig.world->addDevice(device("Late"));
    rig.world->queue()->run_for(std::chrono::milliseconds(250));
    EXPECT_THAT(rig.recorder->lines, IsEmpty());
  }
}

TEST(SimWorldTest, WithoutDuplicatesEachDeviceIsReportedOncePerScan) {
  WorldRig rig;
  rig.settle();
  rig.recorder->lines.clear();
  rig.central->scanForPeripheralsWithServices_options(std::nullopt, std::nullopt);
  rig.world->queue()->run_for(std::chrono::milliseconds(350));
  EXPECT_THAT(rig.recorder->lines, ElementsAre("found Printer BLE -55"));
}

// A device that leaves and comes back, or is replaced by a new object under
// the same identifier, is one advertiser with one link history: one
// advertising loop (each loop keeps one delayed task waiting), and the old
// link's disconnection is still reported when nothing but the central held it.
TEST(SimWorldTest, ADeviceThatLeavesAndReturnsOrIsReplacedStaysOneDevice) {
  WorldRig rig;
  rig.settle();
  rig.central->scanForPeripheralsWithServices_options(std::nullopt,
                                                      CBOptions{{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
  rig.settle();
  rig.world->removeDevice(rig.module->identifier());
  rig.world->addDevice(rig.module);
  rig.settle();
  EXPECT_EQ(rig.world->queue()->pending(), 1u) << "a second advertising loop started";
  rig.central->stopScan();

  const NSUUID identifier = rig.module->identifier();
  rig.connectedModule();  // held by the central only
  rig.world->removeDevice(identifier);
  SimDataModuleConfig config;
  config.identifier = identifier;
  rig.world->addDevice(std::make_shared<SimDataModule>(config));
  ASSERT_EQ(rig.central->retrievePeripheralsWithIdentifiers({identifier}).size(), 1u);  // the new device's link
  rig.settle();
  EXPECT_THAT(rig.recorder->lines, ElementsAre("disconnected CBErrorDomain:7"));
}

TEST(SimWorldTest, ConnectionsAreRefusedCancelledAndDroppedWithTheRightErrors) {
  WorldRig rig;
  rig.settle();
  rig.recorder->lines.clear();
  auto peripheral = rig.central->retrievePeripheralsWithIdentifiers({rig.module->identifier()}).at(0);

  rig.module->setAcceptsConnections(false);
  rig.central->connectPeripheral_options(peripheral, std::nullopt);
  rig.settle();
  rig.module->setAcceptsConnections(true);
  rig.central->connectPeripheral_options(peripheral, std::nullopt);
  rig.settle();
  EXPECT_EQ(rig.module->connectionCount(), 1u);
  rig.central->cancelPeripheralConnection(peripheral);
  rig.settle();
  EXPECT_EQ(rig.module->connectionCount(), 0u);
  rig.central->connectPeripheral_options(peripheral, std::nullopt);
  rig.settle();
  rig.module->disconnectAll();
  rig.settle();
  rig.central->connectPeripheral_options(peripheral, std::nullopt);
  rig.world->removeDevice(rig.module->identifier());
  rig.settle();
  EXPECT_THAT(rig.recorder->lines, ElementsAre("failed CBErrorDomain:10", "connected Printer BLE", "disconnected ok",
                                               "connected Printer BLE", "disconnected CBErrorDomain:7",
                                               "failed CBErrorDomain:10"));
  EXPECT_EQ(peripheral->state(), CBPeripheralStateDisconnected);
}

TEST(SimWorldTest, TheDataModuleOffersItsServicesAndCharacteristics) {
  WorldRig rig;
  auto peripheral = rig.central->retrievePeripheralsWithIdentifiers({rig.module->identifier()}).at(0);
  peripheral->setDelegate(std::weak_ptr<CBPeripheralDelegate>(rig.recorder));
  peripheral->discoverServices(std::nullopt);  // before connecting
  rig.central->connectPeripheral_options(peripheral, std::nullopt);
  peripheral->discoverServices(std::nullopt);
  rig.settle();
  ASSERT_TRUE(peripheral->services());
  for (const auto& service : *peripheral->services()) peripheral->discoverCharacteristics_forService(std::nullopt, service);
  rig.settle();
  EXPECT_THAT(rig.recorder->lines,
              ElementsAre("state 5", "services CBErrorDomain:3", "connected Printer BLE", "services ok FF00 FF10",
                          "characteristics ok FF01 FF02 FF03", "characteristics ok FF11"));
  auto ota = WorldRig::characteristic(peripheral, kOtaUUID);
  EXPECT_EQ(ota->properties(), CBCharacteristicPropertyWriteWithoutResponse | CBCharacteristicPropertyNotify);
  EXPECT_EQ(ota->service()->UUID(), kOtaServiceUUID);
}

TEST(SimWorldTest, WritesReadsAndNotificationsReachTheirPeer) {
  WorldRig rig;
  auto peripheral = rig.connectedModule();
  auto write = WorldRig::characteristic(peripheral, kDataWriteUUID);
  auto notifyChar = WorldRig::characteristic(peripheral, kDataNotifyUUID);
  auto flow = WorldRig::characteristic(peripheral, kFlowControlUUID);
  auto ota = WorldRig::characteristic(peripheral, kOtaUUID);

  peripheral->writeValue_forCharacteristic_type({1, 2}, write, CBCharacteristicWriteWithResponse);
  peripheral->writeValue_forCharacteristic_type({3}, write, CBCharacteristicWriteWithoutResponse);
  peripheral->writeValue_forCharacteristic_type({9}, flow, CBCharacteristicWriteWithResponse);  // not writable
  rig.settle();
  rig.module->setWriteError(kDataWriteUUID, NSError{CBATTErrorDomain, 14, "Unlikely error."});
  peripheral->writeValue_forCharacteristic_type({4}, write, CBCharacteristicWriteWithResponse);
  peripheral->readValueForCharacteristic(flow);
  peripheral->readValueForCharacteristic(notifyChar);  // not readable
  rig.module->sendData({7});                           // not subscribed yet: not delivered
  peripheral->setNotifyValue_forCharacteristic(true, notifyChar);
  rig.settle();
  rig.module->sendData({8, 9});
  rig.settle();
  peripheral->setNotifyValue_forCharacteristic(false, notifyChar);
  rig.settle();
  rig.module->sendData({10});
  rig.settle();

  EXPECT_THAT(rig.recorder->lines, ElementsAre("wrote FF02 ok", "wrote FF03 CBATTErrorDomain:3", "wrote FF02 CBATTErrorDomain:14",
                                               "value FF03 ok 1.", "value FF01 CBATTErrorDomain:2 ",
                                               "value FF01 ok 8.9."));
  EXPECT_EQ(rig.module->receivedData(), (NSData{1, 2, 3}));
  EXPECT_FALSE(ota->isNotifying());
}

}  // namespace
}  // namespace quillon::sim
