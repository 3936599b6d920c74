// What only the BlueZ backend has to handle: bluetoothd leaving the bus,
// D-Bus errors of Connect, identifiers derived from adapter and address.
#include <gtest/gtest.h>

#include <chrono>

#include "conformance/backend_worlds.h"
#include "quillon/sim/sim_data_module.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;

// The stand-in adapter's own address.
constexpr char kAdapterAddress[] = "00:11:22:33:44:55";

class Events final : public CBCentralManagerDelegate {
 public:
  void centralManagerDidUpdateState(CBCentralManager& central) override { state = central.state(); }
  void centralManager_didDiscoverPeripheral_advertisementData_RSSI(CBCentralManager&,
                                                                   const std::shared_ptr<CBPeripheral>& p,
                                                                   const AdvertisementDictionary&, int) override {
    found = p;
  }
  void centralManager_didConnectPeripheral(CBCentralManager&, const std::shared_ptr<CBPeripheral>&) override {
    ++connected;
  }
  void centralManager_didFailToConnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>&,
                                                       const std::optional<NSError>& e) override {
    failure = e;
  }
  void centralManager_didDisconnectPeripheral_error(CBCentralManager&, const std::shared_ptr<CBPeripheral>&,
                                                    const std::optional<NSError>& e) override {
    lost = e;
  }
  CBManagerState state = CBManagerStateUnknown;
  std::shared_ptr<CBPeripheral> found;
  int connected = 0;
  std::optional<NSError> failure, lost;
};

class BluezBackendTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BluezBackendWorld::startBus(); }
  void SetUp() override {
    central = world.factory()(events, world.queue());
    ASSERT_TRUE(runUntil([&] { return events->state == CBManagerStatePoweredOn; }));
    central->scanForPeripheralsWithServices_options(std::nullopt, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return events->found != nullptr; }));
    central->stopScan();
  }
  bool runUntil(const std::function<bool()>& done) { return world.queue()->run_until(done, 10s); }

  BluezBackendWorld world{1};
  std::shared_ptr<Events> events = std::make_shared<Events>();
  std::shared_ptr<CBCentralManager> central;
};

TEST_F(BluezBackendTest, BluetoothdLeavingTheBusIsPowerOffAndItsReturnIsPowerOn) {
  central->connectPeripheral_options(events->found, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 1; }));
  world.peer().stop();
  ASSERT_TRUE(runUntil([&] { return events->state == CBManagerStatePoweredOff; }));
  ASSERT_TRUE(events->lost.has_value()) << "the link ended without its disconnection being reported";
  EXPECT_EQ(events->lost->code, CBErrorPeripheralDisconnected);
  EXPECT_EQ(events->found->state(), CBPeripheralStateDisconnected);

  world.peer().start({});
  EXPECT_TRUE(runUntil([&] { return events->state == CBManagerStatePoweredOn; }));
}

TEST_F(BluezBackendTest, ConnectErrorsCarryTheirDBusNameAfterBoundedRetries) {
  for (const char* name : {"InProgress", "Failed"}) {
    SCOPED_TRACE(name);
    events->failure.reset();
    sdbus::createProxy(*sdbus::createSystemBusConnection(), "org.bluez", "/test")
        ->callMethod("RefuseConnect").onInterface("org.quillon.TestPeer1")
        .withArguments(1, std::string(name), std::string("refused by the test"));
    central->connectPeripheral_options(events->found, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return events->failure.has_value(); }));
    EXPECT_EQ(events->failure->code, CBErrorConnectionFailed);
    EXPECT_EQ(events->failure->localizedDescription,
              std::string("org.bluez.Error.") + name + ": refused by the test");
    EXPECT_EQ(events->found->state(), CBPeripheralStateDisconnected);
  }
}

// An attempt the controller aborts a moment after the connection event
// leaves its link up for a while, and Connect on a link still up answers
// success at once: a retry made too early takes a dying link for a new one.
// (Where bluetoothd does not signal that link's end, the retry goes ahead
// after a while all the same: ConnectScenario.AQuietlyAbortedAttemptIsMadeAgainAndConnects.)
TEST_F(BluezBackendTest, AnAbortedAttemptIsMadeAgainOnceItsLinkIsDown) {
  sdbus::createProxy(*sdbus::createSystemBusConnection(), "org.bluez", "/test")
      ->callMethod("AbortNextConnect").onInterface("org.quillon.TestPeer1").withArguments(1, 800u);
  central->connectPeripheral_options(events->found, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 1 || events->failure.has_value(); }));
  EXPECT_FALSE(events->failure.has_value()) << events->failure->localizedDescription;
  EXPECT_EQ(events->found->state(), CBPeripheralStateConnected);
}

// bluetoothd removes a temporary device whose connection attempt failed
// (seen in the VM after le-connection-abort-by-local): the retry finds it
// again instead of giving up on a device that "went away".
TEST_F(BluezBackendTest, AModuleDroppedAfterAFailedAttemptIsFoundAgainAndConnected) {
  sdbus::createProxy(*sdbus::createSystemBusConnection(), "org.bluez", "/test")
      ->callMethod("FailNextConnectAndForget").onInterface("org.quillon.TestPeer1").withArguments(1);
  central->connectPeripheral_options(events->found, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 1 || events->failure.has_value(); }));
  EXPECT_FALSE(events->failure.has_value()) << events->failure->localizedDescription;
  EXPECT_EQ(events->found->state(), CBPeripheralStateConnected);
}

// bluetoothd removes a device that was heard but never connected
// TemporaryTimeout after it was last heard; a fleet run that connects its
// modules one after another meets that for every module but the first.
TEST_F(BluezBackendTest, ModuleThatBluetoothdForgotIsFoundAgainAndConnected) {
  sdbus::createProxy(*sdbus::createSystemBusConnection(), "org.bluez", "/org/bluez/hci0")
      ->callMethod("RemoveDevice").onInterface("org.bluez.Adapter1")
      .withArguments(sdbus::ObjectPath("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"));
  world.queue()->run_for(200ms);
  central->connectPeripheral_options(events->found, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 1 || events->failure.has_value(); }));
  EXPECT_FALSE(events->failure.has_value()) << events->failure->localizedDescription;
  EXPECT_EQ(events->found->state(), CBPeripheralStateConnected);
}

// Retrieval by identifier outlives bluetoothd's memory of the device.
TEST_F(BluezBackendTest, ModuleMetBeforeIsRetrievedAfterBluetoothdForgotIt) {
  const NSUUID identifier = events->found->identifier();
  sdbus::createProxy(*sdbus::createSystemBusConnection(), "org.bluez", "/org/bluez/hci0")
      ->callMethod("RemoveDevice").onInterface("org.bluez.Adapter1")
      .withArguments(sdbus::ObjectPath("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"));
  world.queue()->run_for(200ms);
  const auto retrieved = central->retrievePeripheralsWithIdentifiers({identifier});
  ASSERT_EQ(retrieved.size(), 1u);
  EXPECT_EQ(retrieved[0]->identifier(), identifier);
  central->connectPeripheral_options(retrieved[0], std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 1 || events->failure.has_value(); }));
  EXPECT_EQ(retrieved[0]->state(), CBPeripheralStateConnected);
  EXPECT_TRUE(central->retrievePeripheralsWithIdentifiers({bluez::deviceIdentifier(kAdapterAddress, "AA:BB:CC:DD:EE:77")}).empty())
      << "a device never met is not made up";
}

// bluetoothd holds a link up for 2 s after Disconnect and answers a
// Connect meanwhile with that dying link: a connection asked for right
// after a cancel must end up on a link that stays.
TEST_F(BluezBackendTest, AConnectionRightAfterACancelIsALinkThatStays) {
  central->connectPeripheral_options(events->found, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 1; }));
  central->cancelPeripheralConnection(events->found);
  central->connectPeripheral_options(events->found, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 2 || events->failure.has_value(); }));
  EXPECT_FALSE(events->failure.has_value()) << events->failure->localizedDescription;
  world.queue()->run_for(3s);  // past the old link's end
  EXPECT_FALSE(events->lost.has_value()) << "the new connection was the old, dying link";
  EXPECT_EQ(events->found->state(), CBPeripheralStateConnected);
}

// RemoveDevice of a connected device is answered once the link is down:
// the main queue, which carries every other module's traffic, goes on
// meanwhile.
TEST_F(BluezBackendTest, ForgettingAConnectedModuleLeavesTheQueueRunning) {
  central->connectPeripheral_options(events->found, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->connected == 1; }));
  std::optional<std::optional<NSError>> answer;
  bluez::forgetPeripheral(events->found, [&](const std::optional<NSError>& error) { answer = error; });
  bool ranMeanwhile = false;
  world.queue()->post([&] { ranMeanwhile = !answer.has_value(); });
  ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
  EXPECT_TRUE(ranMeanwhile) << "the main queue waited for RemoveDevice";
  EXPECT_FALSE(answer->has_value()) << (*answer)->localizedDescription;
  EXPECT_EQ(events->found->state(), CBPeripheralStateDisconnected);
  auto connection = sdbus::createSystemBusConnection();
  std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> objects;
  sdbus::createProxy(*connection, "org.bluez", "/")
      ->callMethod("GetManagedObjects").onInterface("org.freedesktop.DBus.ObjectManager").storeResultsTo(objects);
  EXPECT_FALSE(objects.count(sdbus::ObjectPath("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01"))) << "not removed";
}

// bluetoothd answers InProgress both to a client whose discovery runs and
// to one whose discovery the kernel refused to start (dropping its
// session): a scan that never started must not pass for one that hears
// nothing, and a scan of our own that runs must not be taken for a refusal.
TEST(BluezDiscovery, ARefusedDiscoveryIsReportedAndOneOfOurOwnIsNot) {
  BluezBackendWorld::startBus();
  BluezBackendWorld world{1};
  std::vector<NSError> failures;
  bluez::BluezOptions options;
  options.log = std::make_shared<MemoryLogSink>();
  options.scanFailed = [&failures](const NSError& error) { failures.push_back(error); };
  auto events = std::make_shared<Events>();
  auto central = bluez::centralFactory(options)(events, world.queue());
  const auto runUntil = [&](const std::function<bool()>& done) { return world.queue()->run_until(done, 10s); };
  ASSERT_TRUE(runUntil([&] { return events->state == CBManagerStatePoweredOn; }));
  auto connection = sdbus::createSystemBusConnection();
  auto control = sdbus::createProxy(*connection, "org.bluez", "/test");
  const auto refuseDiscovery = [&](bool refused) {
    control->callMethod("RefuseDiscovery").onInterface("org.quillon.TestPeer1").withArguments(refused);
  };

  refuseDiscovery(true);
  central->scanForPeripheralsWithServices_options(std::nullopt, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return !failures.empty(); })) << "a discovery that never started passed for a scan";
  EXPECT_EQ(failures[0].localizedDescription,
            "Bluetooth could not scan: hci0 did not start discovery (org.bluez.Error.InProgress: Operation already in "
            "progress)");

  refuseDiscovery(false);
  central->scanForPeripheralsWithServices_options(std::nullopt, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return events->found != nullptr; }));
  // A new filter for the scan that runs: its session is ours, so the
  // controller is not asked again and cannot refuse.
  refuseDiscovery(true);
  events->found.reset();
  central->scanForPeripheralsWithServices_options(std::vector<CBUUID>{sim::kOtaServiceUUID}, std::nullopt);
  EXPECT_TRUE(runUntil([&] { return events->found != nullptr; }));
  EXPECT_EQ(failures.size(), 1u);
  central->stopScan();
}

// Runs the queue until `done()` holds, looking now and then: for what only
// the stand-in can tell (no task of ours may follow it).
bool pollUntil(RunLoop& queue, const std::function<bool()>& done) {
  for (int look = 0; look < 500; ++look) {
    if (done()) return true;
    queue.run_for(20ms);
  }
  return done();
}

// bluetoothd answers StartDiscovery once the controller scans and
// StopDiscovery once it stopped, and answers InProgress to the client's
// StopDiscovery or StartDiscovery meanwhile. So a second scan asked for
// while the session is being opened shares it, a stop asked for meanwhile
// follows the answer, and a scan asked for while the session is being
// closed follows that answer: StartDiscovery goes once per session, the
// stopped scan ends with discovery stopped, and the next one runs.
TEST(BluezDiscovery, ScansAndStopsWhileTheSessionsCallsAreOnTheirWayGoInOrder) {
  BluezBackendWorld::startBus();
  BluezBackendWorld world{1};
  auto events = std::make_shared<Events>();
  auto central = world.factory()(events, world.queue());
  ASSERT_TRUE(world.queue()->run_until([&] { return events->state == CBManagerStatePoweredOn; }, 10s));
  auto connection = sdbus::createSystemBusConnection();
  auto control = sdbus::createProxy(*connection, "org.bluez", "/test");
  auto adapter = sdbus::createProxy(*connection, "org.bluez", "/org/bluez/hci0");
  const auto discovering = [&] {
    return adapter->getProperty("Discovering").onInterface("org.bluez.Adapter1").get<bool>();
  };
  const auto calls = [&] {
    std::vector<std::string> made;
    control->callMethod("DiscoveryCalls").onInterface("org.quillon.TestPeer1").storeResultsTo(made);
    return made;
  };
  const auto hold = [&](const std::string& method) {
    control->callMethod("Hold").onInterface("org.quillon.TestPeer1").withArguments(method);
  };
  const auto release = [&](const std::string& method) {
    control->callMethod("Release").onInterface("org.quillon.TestPeer1")
        .withArguments(method, std::string(), std::string());
  };
  const auto wait = [&](const std::function<bool()>& done) { return pollUntil(*world.queue(), done); };

  hold("StartDiscovery");
  hold("StopDiscovery");
  central->scanForPeripheralsWithServices_options(std::nullopt, std::nullopt);
  central->scanForPeripheralsWithServices_options(std::vector<CBUUID>{sim::kOtaServiceUUID}, std::nullopt);
  central->stopScan();
  ASSERT_TRUE(wait([&] { return calls().size() == 3; })) << ::testing::PrintToString(calls());
  release("StartDiscovery");
  ASSERT_TRUE(wait([&] { return calls().size() == 4; })) << ::testing::PrintToString(calls());
  EXPECT_EQ(events->found, nullptr) << "a stopped scan reported a discovery";
  central->scanForPeripheralsWithServices_options(std::nullopt, std::nullopt);
  world.queue()->run_until_idle();
  release("StopDiscovery");
  ASSERT_TRUE(world.queue()->run_until([&] { return events->found != nullptr; }, 10s))
      << "the scan asked for while discovery stopped never ran: " << ::testing::PrintToString(calls());
  EXPECT_EQ(calls(), (std::vector<std::string>{"SetDiscoveryFilter", "StartDiscovery", "SetDiscoveryFilter",
                                               "StopDiscovery", "SetDiscoveryFilter", "StartDiscovery"}));
  central->stopScan();
  EXPECT_TRUE(wait([&] { return !discovering(); })) << "discovery went on after the scan was stopped";
  EXPECT_EQ(world.log().lines(), std::vector<std::string>{}) << "a call was refused";
}

// The GATT events of the link the write tests use.
class LinkEvents final : public CBPeripheralDelegate {
 public:
  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& p, const std::optional<NSError>&) override {
    for (const auto& service : p->services().value_or(CBServiceList{})) {
      if (service->UUID() == sim::kOtaServiceUUID) p->discoverCharacteristics_forService(std::nullopt, service);
    }
  }
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>&,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>&) override {
    for (const auto& c : service->characteristics().value_or(CBCharacteristicList{})) {
      if (c->UUID() == sim::kOtaUUID) ota = c;
    }
  }
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                        const std::shared_ptr<CBCharacteristic>&,
                                                        const std::optional<NSError>&) override {}
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {}
  void peripheralIsReadyToSendWriteWithoutResponse(const std::shared_ptr<CBPeripheral>&) override { ++readyToSend; }
  void peripheral_didUpdateNotificationStateForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                                    const std::shared_ptr<CBCharacteristic>&,
                                                                    const std::optional<NSError>& error) override {
    notifyAnswered = true;
    notifyError = error;
  }
  std::shared_ptr<CBCharacteristic> ota;
  bool notifyAnswered = false;
  int readyToSend = 0;
  std::optional<NSError> notifyError;
};

class BluezWriteTest : public BluezBackendTest {
 protected:
  void SetUp() override {
    BluezBackendTest::SetUp();
    events->found->setDelegate(link);
    central->connectPeripheral_options(events->found, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return events->connected == 1; }));
    events->found->discoverServices(std::vector<CBUUID>{sim::kOtaServiceUUID});
    ASSERT_TRUE(runUntil([&] { return link->ota != nullptr; }));
  }
  sdbus::IProxy& test() { return *test_; }
  NSData otaWritten() {
    NSData bytes;
    test_->callMethod("OtaWritten").onInterface("org.quillon.TestPeer1").withArguments(1).storeResultsTo(bytes);
    return bytes;
  }
  // Runs the queue until the module holds `size` bytes of FF11 writes (or
  // nothing more arrives for a while).
  NSData waitForWritten(std::size_t size) {
    NSData bytes;
    for (int quiet = 0; quiet < 50 && bytes.size() < size;) {
      world.queue()->run_for(100ms);
      const std::size_t before = bytes.size();
      bytes = otaWritten();
      quiet = bytes.size() == before ? quiet + 1 : 0;
    }
    return bytes;
  }

  std::shared_ptr<LinkEvents> link = std::make_shared<LinkEvents>();
  std::unique_ptr<sdbus::IConnection> control_ = sdbus::createSystemBusConnection();
  std::unique_ptr<sdbus::IProxy> test_ = sdbus::createProxy(*control_, "org.bluez", "/test");
};

NSData numberedPacket(unsigned number) {
  NSData packet(20, static_cast<std::uint8_t>(number * 7));
  packet[0] = static_cast<std::uint8_t>(number);
  packet[1] = static_cast<std::uint8_t>(number >> 8);
  return packet;
}

// A slow link fills AcquireWrite's socket: the packets it did not take
// wait (bluetoothd refuses WriteValue while the socket is held) and go out
// in order once it drains; none is lost, none overtakes another.
TEST_F(BluezWriteTest, WritesBehindAFullSocketArriveAllAndInOrderOnceItDrains) {
  test().callMethod("PauseSocket").onInterface("org.quillon.TestPeer1").withArguments(1, true);
  constexpr unsigned kPackets = 3000;  // several times what the socket's buffer holds
  NSData expected;
  for (unsigned n = 0; n < kPackets; ++n) {
    const NSData packet = numberedPacket(n);
    events->found->writeValue_forCharacteristic_type(packet, link->ota, CBCharacteristicWriteWithoutResponse);
    expected.insert(expected.end(), packet.begin(), packet.end());
  }
  world.queue()->run_for(200ms);
  EXPECT_FALSE(events->found->canSendWriteWithoutResponse()) << "packets wait behind the full socket";
  EXPECT_EQ(link->readyToSend, 0);
  test().callMethod("PauseSocket").onInterface("org.quillon.TestPeer1").withArguments(1, false);
  const NSData written = waitForWritten(expected.size());
  ASSERT_EQ(written.size(), expected.size()) << "packets were lost";
  EXPECT_TRUE(written == expected) << "packets arrived out of order";
  EXPECT_TRUE(events->found->canSendWriteWithoutResponse());
  EXPECT_EQ(link->readyToSend, 1) << "the writer hears once that the link takes writes again";
}

// AcquireWrite is answered while the writer goes on: what it writes
// meanwhile waits (canSendWriteWithoutResponse false until the answer) and
// then goes out once, in order, through the socket or, when AcquireWrite
// is refused, through WriteValue.
TEST_F(BluezWriteTest, WritesMadeWhileAcquireWriteIsOnItsWayGoOutOnceInOrder) {
  for (const char* refusal : {"", "Failed"}) {
    SCOPED_TRACE(*refusal ? "AcquireWrite refused" : "AcquireWrite answered");
    if (*refusal) {
      // A new link asks for a new socket.
      central->cancelPeripheralConnection(events->found);
      ASSERT_TRUE(runUntil([&] { return events->found->state() == CBPeripheralStateDisconnected; }));
      events->connected = 0;
      link->ota.reset();
      central->connectPeripheral_options(events->found, std::nullopt);
      ASSERT_TRUE(runUntil([&] { return events->connected == 1; }));
      events->found->discoverServices(std::vector<CBUUID>{sim::kOtaServiceUUID});
      ASSERT_TRUE(runUntil([&] { return link->ota != nullptr; }));
    }
    const NSData already = otaWritten();
    test().callMethod("Hold").onInterface("org.quillon.TestPeer1").withArguments(std::string("AcquireWrite"));
    link->readyToSend = 0;
    NSData expected = already;
    for (unsigned n = 0; n < 40; ++n) {
      const NSData packet = numberedPacket(n);
      events->found->writeValue_forCharacteristic_type(packet, link->ota, CBCharacteristicWriteWithoutResponse);
      expected.insert(expected.end(), packet.begin(), packet.end());
      if (n % 10 == 9) world.queue()->run_until_idle();
    }
    EXPECT_FALSE(events->found->canSendWriteWithoutResponse()) << "writes are taken before there is a way out";
    test().callMethod("Release").onInterface("org.quillon.TestPeer1")
        .withArguments(std::string("AcquireWrite"), std::string(refusal), std::string("refused by the test"));
    const NSData written = waitForWritten(expected.size());
    EXPECT_TRUE(written == expected) << "writes were lost, repeated or reordered (" << written.size() << " bytes of "
                                     << expected.size() << ")";
    EXPECT_TRUE(events->found->canSendWriteWithoutResponse());
    EXPECT_EQ(link->readyToSend, 1) << "the writer hears once that writes are taken again";
  }
}

// StartNotify is answered only once the module confirmed the subscription:
// the main queue goes on meanwhile, and what is written after asking is
// held until the subscription is in place (else the module's answer to it
// could come before anyone listens).
TEST_F(BluezWriteTest, StartNotifyLeavesTheQueueRunningAndWritesFollowTheSubscription) {
  test().callMethod("SetStartNotify").onInterface("org.quillon.TestPeer1")
      .withArguments(1, std::string(), std::string(), 500u);
  events->found->setNotifyValue_forCharacteristic(true, link->ota);
  events->found->writeValue_forCharacteristic_type(numberedPacket(1), link->ota, CBCharacteristicWriteWithoutResponse);
  bool ranMeanwhile = false;
  world.queue()->post([&] { ranMeanwhile = !link->notifyAnswered; });
  ASSERT_TRUE(runUntil([&] { return link->notifyAnswered; }));
  EXPECT_TRUE(ranMeanwhile) << "the main queue waited for StartNotify's answer";
  EXPECT_FALSE(link->notifyError.has_value());
  EXPECT_TRUE(link->ota->isNotifying());
  EXPECT_EQ(waitForWritten(20), numberedPacket(1));
  std::uint32_t early = 1;
  test().callMethod("WrittenBeforeNotify").onInterface("org.quillon.TestPeer1").withArguments(1).storeResultsTo(early);
  EXPECT_EQ(early, 0u) << "a write overtook the subscription";
}

TEST_F(BluezWriteTest, RefusedStartNotifyIsReportedWithBluezsError) {
  test().callMethod("SetStartNotify").onInterface("org.quillon.TestPeer1")
      .withArguments(1, std::string("NotPermitted"), std::string("Notify refused by the test"), 0u);
  events->found->setNotifyValue_forCharacteristic(true, link->ota);
  ASSERT_TRUE(runUntil([&] { return link->notifyAnswered; }));
  ASSERT_TRUE(link->notifyError.has_value()) << "a refused subscription looked like a silent module";
  EXPECT_EQ(link->notifyError->localizedDescription, "org.bluez.Error.NotPermitted: Notify refused by the test");
  EXPECT_FALSE(link->ota->isNotifying());
}

// A re-plugged dongle can come back under another name (hci1 for hci0):
// the modules met through it keep their identifiers, and one stored by an
// earlier version (made from the adapter's name) is still retrieved.
TEST_F(BluezBackendTest, IdentifiersOutliveTheAdaptersName) {
  const NSUUID before = events->found->identifier();
  EXPECT_EQ(before, bluez::deviceIdentifier(kAdapterAddress, "AA:BB:CC:DD:EE:01"));
  central.reset();
  world.peer().stop();
  world.peer().start({"--adapter", "hci1"});
  bluez::BluezOptions options;
  options.adapter = "hci1";
  options.log = std::make_shared<MemoryLogSink>();
  auto replugged = std::make_shared<Events>();
  central = bluez::centralFactory(options)(replugged, world.queue());
  ASSERT_TRUE(runUntil([&] { return replugged->state == CBManagerStatePoweredOn; }));
  central->scanForPeripheralsWithServices_options(std::nullopt, std::nullopt);
  ASSERT_TRUE(runUntil([&] { return replugged->found != nullptr; }));
  central->stopScan();
  EXPECT_EQ(replugged->found->identifier(), before);
  EXPECT_EQ(central->retrievePeripheralsWithIdentifiers({before}).size(), 1u);
  EXPECT_EQ(central->retrievePeripheralsWithIdentifiers({bluez::deviceIdentifier("hci1", "AA:BB:CC:DD:EE:01")}).size(),
            1u)
      << "an identifier of an earlier version";
}

TEST(BluezDeviceIdentifier, IsANameBasedUUIDOfAdapterAndAddress) {
  const NSUUID id = bluez::deviceIdentifier(kAdapterAddress, "AA:BB:CC:DD:EE:01");
  EXPECT_EQ(id, bluez::deviceIdentifier(kAdapterAddress, "aa:bb:cc:dd:ee:01")) << "the same device, whatever the case";
  EXPECT_NE(id, bluez::deviceIdentifier("00:11:22:33:44:56", "AA:BB:CC:DD:EE:01"));
  EXPECT_NE(id, bluez::deviceIdentifier(kAdapterAddress, "AA:BB:CC:DD:EE:02"));
  EXPECT_EQ(id.UUIDString()[14], '5') << "version 5";
  EXPECT_TRUE(std::string("89AB").find(id.UUIDString()[19]) != std::string::npos) << "RFC 4122 variant";
}

}  // namespace
}  // namespace quillon::testing
