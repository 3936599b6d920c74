#include "quillon/manager/ble_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform_fakes.h"

namespace quillon::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const NSError kTimeout{CBErrorDomain, CBErrorConnectionTimeout, "The connection has timed out."};

TEST(BLEManagerTest, ConstructionHandsTheCentralTheManagerAndMainQueueAndStartsNothing) {
  ManagerRig rig;
  EXPECT_EQ(rig.central->queue, rig.queue);
  EXPECT_EQ(rig.central->delegate.lock().get(), static_cast<CBCentralManagerDelegate*>(rig.manager.get()));
  EXPECT_THAT(rig.manager->bleServices(), IsEmpty());
  EXPECT_EQ(rig.manager->uuidDictionary().size(), 46u);
  EXPECT_THAT(rig.central->scans, IsEmpty());

  rig.manager.reset();
  EXPECT_TRUE(rig.central->delegate.expired()) << "events queued for a destroyed manager must be dropped";
}

TEST(BLEManagerTest, ScanAllowsDuplicatesAndFiltersOnlyByTheGivenUuid) {
  ManagerRig rig;
  rig.manager->scanForPeripherals(std::nullopt);
  rig.manager->scanForPeripherals("FF00");
  rig.manager->scanForPeripherals("49535343-fe7d-4ae5-8fa9-9fafd205e455");
  ASSERT_EQ(rig.central->scans.size(), 3u);
  const CBOptions duplicates{{CBCentralManagerScanOptionAllowDuplicatesKey, true}};
  for (const auto& scan : rig.central->scans) EXPECT_EQ(scan.options, duplicates);
  EXPECT_FALSE(rig.central->scans[0].services.has_value());
  EXPECT_THAT(*rig.central->scans[1].services, ElementsAre(CBUUID::fromShort(0xFF00)));
  ASSERT_EQ(rig.central->scans[2].services->size(), 1u);
  EXPECT_EQ((*rig.central->scans[2].services)[0].UUIDString(), "49535343-FE7D-4AE5-8FA9-9FAFD205E455");

  rig.manager->stopScan();
  EXPECT_EQ(rig.central->stopScans, 1);
}

TEST(BLEManagerTest, ScanWithTextThatIsNotAUuidLogsAndDoesNotScan) {
  for (const char* bad : {"", "FF0", "printer", "GG00", "49535343-FE7D-4AE5-8FA9-9FAFD205E45"}) {
    SCOPED_TRACE(bad);
    ManagerRig rig;
    rig.manager->scanForPeripherals(std::string(bad));
    EXPECT_THAT(rig.central->scans, IsEmpty());
    EXPECT_THAT(*rig.trace, ElementsAre("log [BLEManager]Scan not started, not a service UUID: " + std::string(bad)));
  }
}

TEST(BLEManagerTest, RetrieveFallsBackToTheStoredIdentifierOnlyForAnAbsentList) {
  ManagerRig rig;
  auto known = makePeripheral();
  rig.central->knownPeripherals = {known};

  // Fresh installation: nothing stored, an empty list goes to the platform.
  EXPECT_THAT(rig.manager->retrievePeripheralsWithIdentifiers(std::nullopt), IsEmpty());
  EXPECT_THAT(rig.central->retrieveCalls.back(), IsEmpty());

  rig.defaults->setObject_forKey(known->identifier().UUIDString(), kLastConnectedPeripheralIdentifierKey);
  EXPECT_THAT(rig.manager->retrievePeripheralsWithIdentifiers(std::nullopt), ElementsAre(known));
  EXPECT_THAT(rig.central->retrieveCalls.back(), ElementsAre(known->identifier()));

  // An empty list is a list: passed as it is, no fallback.
  EXPECT_THAT(rig.manager->retrievePeripheralsWithIdentifiers(std::vector<NSUUID>{}), IsEmpty());
  EXPECT_THAT(rig.central->retrieveCalls.back(), IsEmpty());

  const NSUUID other = NSUUID::UUID();
  rig.manager->retrievePeripheralsWithIdentifiers(std::vector<NSUUID>{other});
  EXPECT_THAT(rig.central->retrieveCalls.back(), ElementsAre(other));

  rig.defaults->setObject_forKey("not-a-uuid", kLastConnectedPeripheralIdentifierKey);
  EXPECT_THAT(rig.manager->retrievePeripheralsWithIdentifiers(std::nullopt), IsEmpty());
  EXPECT_THAT(rig.central->retrieveCalls.back(), IsEmpty());
}

TEST(BLEManagerTest, ConnectDisconnectAndDiscoverPassStraightToThePlatform) {
  ManagerRig rig;
  auto peripheral = makePeripheral();
  rig.manager->connect(peripheral);
  rig.manager->disconnect(peripheral);
  rig.manager->discoverServices(peripheral);
  EXPECT_THAT(rig.central->connects, ElementsAre(peripheral));
  EXPECT_FALSE(rig.central->connectOptions[0].has_value());
  EXPECT_THAT(rig.central->cancels, ElementsAre(peripheral));
  ASSERT_EQ(peripheral->discoverCalls.size(), 1u);
  EXPECT_FALSE(peripheral->discoverCalls[0].has_value()) << "all services";
}

TEST(BLEManagerTest, ConnectionStoresTheIdentifierFromSystemVersion7On) {
  const struct {
    const char* version;
    bool stores;
  } cases[] = {{"6.1", false}, {"6.9.9", false}, {"", false}, {"abc", false},
               {"7.0", true},  {"7.0.1", true},  {"7.1", true}, {"8.0", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    ManagerRig rig;
    rig.version->set(c.version);
    auto peripheral = makePeripheral();
    rig.manager->centralManager_didConnectPeripheral(*rig.central, peripheral);
    EXPECT_THAT(*rig.trace, ElementsAre("log [BLEManager]Connected", "delegate didConnectPeripheral Printer"));
    const auto stored = rig.defaults->objectForKey(kLastConnectedPeripheralIdentifierKey);
    if (c.stores) {
      EXPECT_EQ(stored, peripheral->identifier().UUIDString());
    } else {
      EXPECT_FALSE(stored.has_value());
    }
  }
}

TEST(BLEManagerTest, TheLastConnectionWinsAndDisconnectingKeepsIt) {
  ManagerRig rig;
  auto a = makePeripheral("A");
  auto b = makePeripheral("B");
  rig.manager->centralManager_didConnectPeripheral(*rig.central, a);
  rig.manager->centralManager_didConnectPeripheral(*rig.central, b);
  rig.manager->centralManager_didDisconnectPeripheral_error(*rig.central, b, std::nullopt);
  EXPECT_EQ(rig.defaults->objectForKey(kLastConnectedPeripheralIdentifierKey), b->identifier().UUIDString());
}

TEST(BLEManagerTest, ConnectionMakesTheManagerThePeripheralsDelegateBeforeTheAppHears) {
  ManagerRig rig;
  auto peripheral = makePeripheral();
  CBPeripheralDelegate* seen = nullptr;
  rig.delegate->onConnect = [&](const std::shared_ptr<CBPeripheral>& p) { seen = p->delegate().get(); };
  rig.manager->centralManager_didConnectPeripheral(*rig.central, peripheral);
  EXPECT_EQ(seen, static_cast<CBPeripheralDelegate*>(rig.manager.get()));
}

TEST(BLEManagerTest, CentralEventsLogThenTellTheDelegate) {
  ManagerRig rig;
  auto named = makePeripheral("Printer");
  auto unnamed = makePeripheral(std::nullopt);
  AdvertisementDictionary ad;
  ad.localName = "Printer";
  ad.serviceUUIDs = {CBUUID::fromShort(0xFF00)};

  rig.central->stateValue = CBManagerStatePoweredOff;
  rig.manager->centralManagerDidUpdateState(*rig.central);
  rig.manager->centralManager_didDiscoverPeripheral_advertisementData_RSSI(*rig.central, named, ad, -42);
  rig.manager->centralManager_didDiscoverPeripheral_advertisementData_RSSI(*rig.central, unnamed, {}, -90);
  rig.manager->centralManager_didFailToConnectPeripheral_error(*rig.central, named, kTimeout);
  rig.manager->centralManager_didFailToConnectPeripheral_error(*rig.central, named, std::nullopt);
  rig.manager->centralManager_didDisconnectPeripheral_error(*rig.central, named, kTimeout);

  const std::string timeout = "Error Domain=CBErrorDomain Code=6 \"The connection has timed out.\"";
  EXPECT_THAT(*rig.trace, ElementsAre("log [BLEManager]BLEManager state changed to 4", "delegate didUpdateState 4",
                                      "log [BLEManager]Device found:Printer", "delegate didPeripheralFound Printer -42",
                                      "log [BLEManager]Device found:(null)", "delegate didPeripheralFound - -90",
                                      "log [BLEManager]Fail to connect, error = " + timeout,
                                      "delegate didFailToConnectPeripheral " + timeout,
                                      "log [BLEManager]Fail to connect, error = (null)",
                                      "delegate didFailToConnectPeripheral (null)", "log [BLEManager]Disconnected",
                                      "delegate didDisconnectPeripheral " + timeout));
  ASSERT_TRUE(rig.delegate->lastAdvertisement);
  EXPECT_TRUE(rig.delegate->lastAdvertisement->serviceUUIDs().empty()) << "each advertisement gets its own wrapper";
}

TEST(BLEManagerTest, WithoutADelegateOnlyTheLogLinesAppear) {
  ManagerRig rig;
  rig.manager->setDelegate({});
  rig.manager->centralManagerDidUpdateState(*rig.central);
  auto peripheral = makePeripheral();
  rig.manager->centralManager_didConnectPeripheral(*rig.central, peripheral);
  rig.manager->peripheral_didDiscoverServices(peripheral, std::nullopt);
  EXPECT_THAT(*rig.trace, ElementsAre("log [BLEManager]BLEManager state changed to 5", "log [BLEManager]Connected",
                                      "log [BLEManager]0 Serivces found:"));

  // A delegate that has gone away counts as none.
  rig.trace->clear();
  auto shortLived = std::make_shared<RecordingDelegate>(rig.trace);
  rig.manager->setDelegate(shortLived);
  shortLived.reset();
  rig.manager->centralManagerDidUpdateState(*rig.central);
  EXPECT_THAT(*rig.trace, ElementsAre("log [BLEManager]BLEManager state changed to 5"));
}

TEST(BLEManagerTest, ServiceDiscoveryTellsTheDelegateFirstThenLogsThenForwards) {
  ManagerRig rig;
  rig.manager->bleServices().push_back(std::make_shared<RecordingHandler>("h0", rig.trace));
  auto peripheral = makePeripheral();
  peripheral->servicesList = CBServiceList{makeService("FF00"), makeService("49535343-FE7D-4AE5-8FA9-9FAFD205E455")};
  rig.manager->peripheral_didDiscoverServices(peripheral, kTimeout);
  EXPECT_THAT(*rig.trace,
              ElementsAre("delegate didServicesFound 2", "log [BLEManager]2 Serivces found:", "log [BLEManager]0:FF00",
                          "log [BLEManager]1:49535343-FE7D-4AE5-8FA9-9FAFD205E455",
                          "h0 services Error Domain=CBErrorDomain Code=6 \"The connection has timed out.\""));

  rig.trace->clear();
  peripheral->servicesList.reset();
  rig.manager->peripheral_didDiscoverServices(peripheral, std::nullopt);
  EXPECT_THAT(*rig.trace, ElementsAre("delegate didServicesFound absent", "log [BLEManager]0 Serivces found:",
                                      "h0 services (null)"));
}

TEST(BLEManagerTest, CharacteristicDiscoveryLogsAndForwardsWithoutTheDelegate) {
  ManagerRig rig;
  rig.manager->bleServices().push_back(std::make_shared<RecordingHandler>("h0", rig.trace));
  auto peripheral = makePeripheral();
  auto service = makeService("FF10");
  service->setCharacteristics(CBCharacteristicList{makeCharacteristic("FF11")});
  rig.manager->peripheral_didDiscoverCharacteristicsForService_error(peripheral, service, std::nullopt);
  rig.manager->peripheral_didDiscoverCharacteristicsForService_error(peripheral, makeService("FF00"), std::nullopt);
  EXPECT_THAT(*rig.trace, ElementsAre("log [BLEManager]1 Characteristics found:", "log [BLEManager]0:FF11", "h0 characteristics (null)",
                                      "log [BLEManager]0 Characteristics found:", "h0 characteristics (null)"));
}

TEST(BLEManagerTest, WriteErrorsAreLoggedBeforeForwardingAndSuccessIsSilent) {
  ManagerRig rig;
  rig.manager->bleServices().push_back(std::make_shared<RecordingHandler>("h0", rig.trace));
  auto peripheral = makePeripheral();
  auto characteristic = makeCharacteristic("FF02");
  const NSError denied{CBATTErrorDomain, CBATTErrorWriteNotPermitted, "Writing is not permitted."};
  rig.manager->peripheral_didWriteValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
  rig.manager->peripheral_didWriteValueForCharacteristic_error(peripheral, characteristic, denied);
  rig.manager->peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
  const std::string text = "Error Domain=CBATTErrorDomain Code=3 \"Writing is not permitted.\"";
  EXPECT_THAT(*rig.trace, ElementsAre("h0 write (null)", "log [BLEManager]Write FF02, error = " + text, "h0 write " + text,
                                      "h0 value (null)"));
}

// The gated lines by system version, including texts a float reading would
// get wrong ("7.1" read as 7.0999..., "7.10" as 7.1).
TEST(BLEManagerTest, PerItemAndWriteErrorLinesNeedSystemVersion71) {
  const struct {
    const char* version;
    bool gated;
  } cases[] = {{"6.1", false},  {"7.0", false}, {"7.0.9", false}, {"", false}, {"abc", false},
               {"7.1", true},   {"7.1.2", true}, {"7.10", true},  {"7.2", true}, {"8.0", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    ManagerRig rig;
    rig.version->set(c.version);
    auto peripheral = makePeripheral();
    peripheral->servicesList = CBServiceList{makeService("FF00")};
    auto service = makeService("FF10");
    service->setCharacteristics(CBCharacteristicList{makeCharacteristic("FF11")});
    rig.manager->peripheral_didDiscoverServices(peripheral, std::nullopt);
    rig.manager->peripheral_didDiscoverCharacteristicsForService_error(peripheral, service, std::nullopt);
    rig.manager->peripheral_didWriteValueForCharacteristic_error(peripheral, makeCharacteristic("FF11"), kTimeout);
    std::vector<std::string> expected = {"delegate didServicesFound 1", "log [BLEManager]1 Serivces found:"};
    if (c.gated) expected.push_back("log [BLEManager]0:FF00");
    expected.push_back("log [BLEManager]1 Characteristics found:");
    if (c.gated) expected.push_back("log [BLEManager]0:FF11");
    if (c.gated) expected.push_back("log [BLEManager]Write FF11, error = " + kTimeout.description());
    EXPECT_EQ(*rig.trace, expected);
  }
}

TEST(BLEManagerTest, TheVersionIsReadAfreshForEveryLoopElement) {
  ManagerRig rig;
  *rig.version = ScriptedVersion({"7.1", "7.0", "7.1"});
  auto peripheral = makePeripheral();
  peripheral->servicesList = CBServiceList{makeService("1800"), makeService("1801"), makeService("180F")};
  rig.manager->setDelegate({});
  rig.manager->peripheral_didDiscoverServices(peripheral, std::nullopt);
  EXPECT_THAT(*rig.trace, ElementsAre("log [BLEManager]3 Serivces found:", "log [BLEManager]0:1800",
                                      "log [BLEManager]2:180F"));
}

TEST(BLEManagerTest, EveryPeripheralEventReachesEveryHandlerInListOrder) {
  ManagerRig rig;
  rig.manager->setDelegate({});
  rig.manager->setBleServices(BLEServiceList{std::make_shared<RecordingHandler>("h0", rig.trace),
                                             std::make_shared<RecordingHandler>("h1", rig.trace)});
  auto peripheral = makePeripheral();
  auto service = makeService("FF00");
  auto characteristic = makeCharacteristic("FF01");
  rig.manager->peripheral_didDiscoverServices(peripheral, std::nullopt);
  rig.manager->peripheral_didDiscoverCharacteristicsForService_error(peripheral, service, std::nullopt);
  rig.manager->peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
  rig.manager->peripheral_didWriteValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
  std::vector<std::string> handlerLines;
  for (const auto& line : *rig.trace) {
    if (line.rfind("log ", 0) != 0) handlerLines.push_back(line);
  }
  EXPECT_THAT(handlerLines, ElementsAre("h0 services (null)", "h1 services (null)", "h0 characteristics (null)", "h1 characteristics (null)", "h0 value (null)",
                                        "h1 value (null)", "h0 write (null)", "h1 write (null)"));

  rig.trace->clear();
  rig.manager->setBleServices(std::nullopt);
  rig.manager->peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
  EXPECT_THAT(*rig.trace, IsEmpty());
}

TEST(BLEManagerTest, HandlersChangedDuringForwardingFollowTheLiveList) {
  auto peripheral = makePeripheral();
  auto characteristic = makeCharacteristic("FF01");
  {
    SCOPED_TRACE("a handler appended during the walk is reached in the same walk");
    ManagerRig rig;
    auto h0 = std::make_shared<RecordingHandler>("h0", rig.trace);
    auto late = std::make_shared<RecordingHandler>("late", rig.trace);
    h0->onEvent = [&] {
      if (rig.manager->bleServices().size() == 1) rig.manager->bleServices().push_back(late);
    };
    rig.manager->bleServices().push_back(h0);
    rig.manager->peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
    EXPECT_THAT(*rig.trace, ElementsAre("h0 value (null)", "late value (null)"));
  }
  {
    SCOPED_TRACE("a handler removing itself shifts the rest down, so the next one is passed over");
    ManagerRig rig;
    auto h0 = std::make_shared<RecordingHandler>("h0", rig.trace);
    std::weak_ptr<RecordingHandler> watch = h0;
    h0->onEvent = [&] { rig.manager->bleServices().erase(rig.manager->bleServices().begin()); };
    rig.manager->setBleServices(BLEServiceList{std::move(h0), std::make_shared<RecordingHandler>("h1", rig.trace),
                                               std::make_shared<RecordingHandler>("h2", rig.trace)});
    rig.manager->peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
    EXPECT_THAT(*rig.trace, ElementsAre("h0 value (null)", "h2 value (null)"));
    EXPECT_TRUE(watch.expired()) << "the removed handler is released once its call returns";
  }
  {
    SCOPED_TRACE("a handler replacing the whole list");
    ManagerRig rig;
    auto h0 = std::make_shared<RecordingHandler>("h0", rig.trace);
    auto fresh = std::make_shared<RecordingHandler>("fresh", rig.trace);
    h0->onEvent = [&] { rig.manager->setBleServices(BLEServiceList{fresh, fresh}); };
    rig.manager->setBleServices(BLEServiceList{h0, std::make_shared<RecordingHandler>("h1", rig.trace)});
    rig.manager->peripheral_didUpdateValueForCharacteristic_error(peripheral, characteristic, std::nullopt);
    EXPECT_THAT(*rig.trace, ElementsAre("h0 value (null)", "fresh value (null)"));
  }
}

}  // namespace
}  // namespace quillon::testing
