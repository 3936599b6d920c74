// The behaviour a host relies on from any BLE backend, written once and run
// against each: the simulated world, BlueZ over its stand-in on a private
// bus, and, inside the test VM only, BlueZ over the real bluetoothd and
// emulated controllers. Every event must arrive on the central's queue.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "conformance/backend_worlds.h"
#include "conformance/bluez_vm_world.h"
#include "conformance/host_subscriber.h"
#include "quillon/dis/device_information_reader.h"
#include "quillon/sim/sim_data_module.h"
#include "support/central_event_recorder.h"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;

using Recorder = test_support::CentralEventRecorder;

struct SimBackend {
  using World = SimBackendWorld;
  static void SetUpTestSuite() {}
};
struct BluezBackend {
  using World = BluezBackendWorld;
  static void SetUpTestSuite() { BluezBackendWorld::startBus(); }
};
struct BluezVmBackend {
  using World = BluezVmWorld;
  static void SetUpTestSuite() {}
};

template <typename Backend>
class BLEWorldContract : public ::testing::Test {
 protected:
  static constexpr bool kVm = std::is_same_v<Backend, BluezVmBackend>;
  static void SetUpTestSuite() { Backend::SetUpTestSuite(); }
  void SetUp() override {
    if constexpr (kVm) {
      if (!BluezVmWorld::available()) GTEST_SKIP() << BluezVmWorld::kNotInVm;
    }
  }

  void start(int modules = 1) { startWith(std::make_unique<typename Backend::World>(modules)); }
  void startWith(std::unique_ptr<typename Backend::World> made) {
    world = std::move(made);
    recorder = std::make_shared<Recorder>();
    central = world->factory()(recorder, world->queue());
    ASSERT_TRUE(runUntil([&] { return !recorder->states.empty(); }));
    ASSERT_EQ(central->state(), CBManagerStatePoweredOn);
  }
  void TearDown() override {
    if constexpr (!std::is_same_v<Backend, SimBackend>) {
      if (HasFailure() && world) {
        for (const auto& line : world->log().lines()) std::printf("backend log: %s\n", line.c_str());
      }
    }
    central.reset();
    if (world) world->queue()->run_until_idle();
  }

  // A limit for hangs only: the VM's guest runs several times slower than
  // the machine, and may share its cores with another guest.
  bool runUntil(const std::function<bool()>& done) { return world->queue()->run_until(done, kVm ? 60s : 10s); }
  // Nothing is due to happen: gives a wrong event time to arrive.
  void settle() { world->queue()->run_for(300ms); }

  // Scans for the OTA service until `count` modules were found.
  std::vector<std::shared_ptr<CBPeripheral>> find(std::size_t count) {
    central->scanForPeripheralsWithServices_options(std::vector{sim::kOtaServiceUUID}, std::nullopt);
    EXPECT_TRUE(runUntil([&] { return recorder->discoveries.size() >= count; }));
    central->stopScan();
    std::vector<std::shared_ptr<CBPeripheral>> found;
    for (const auto& d : recorder->discoveries) found.push_back(d.peripheral);
    return found;
  }

  // Connects and discovers every service and characteristic.
  void connectAndDiscover(const std::shared_ptr<CBPeripheral>& peripheral) {
    const auto connectedBefore = recorder->connected.size();
    peripheral->setDelegate(recorder);
    central->connectPeripheral_options(peripheral, std::nullopt);
    ASSERT_TRUE(runUntil([&] { return recorder->connected.size() > connectedBefore; }));
    EXPECT_EQ(peripheral->state(), CBPeripheralStateConnected);
    peripheral->discoverServices(std::nullopt);
    ASSERT_TRUE(runUntil([&] { return peripheral->services().has_value(); }));
    for (const auto& service : *peripheral->services()) {
      peripheral->discoverCharacteristics_forService(std::nullopt, service);
      ASSERT_TRUE(runUntil([&] { return service->characteristics().has_value(); }));
    }
  }

  // Subscribes to the module's data notifications (FF01) and waits for the answer.
  std::shared_ptr<CBCharacteristic> subscribe(const std::shared_ptr<CBPeripheral>& module) {
    auto notify = characteristic(module, sim::kDataNotifyUUID);
    EXPECT_TRUE(notify);
    if (!notify) return nullptr;
    const auto answers = recorder->notifyStates.size();
    module->setNotifyValue_forCharacteristic(true, notify);
    EXPECT_TRUE(runUntil([&] { return recorder->notifyStates.size() > answers; }));
    return notify;
  }

  static std::shared_ptr<CBCharacteristic> characteristic(const std::shared_ptr<CBPeripheral>& peripheral,
                                                          const CBUUID& uuid) {
    if (!peripheral->services()) return nullptr;
    for (const auto& service : *peripheral->services()) {
      for (const auto& c : service->characteristics().value_or(CBCharacteristicList{})) {
        if (c->UUID() == uuid) return c;
      }
    }
    return nullptr;
  }

  std::unique_ptr<typename Backend::World> world;
  std::shared_ptr<Recorder> recorder;
  std::shared_ptr<CBCentralManager> central;
};

using Backends = ::testing::Types<SimBackend, BluezBackend, BluezVmBackend>;
class BackendNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    if (std::is_same_v<T, SimBackend>) return "sim";
    return std::is_same_v<T, BluezBackend> ? "bluez" : "bluez_vm";
  }
};
TYPED_TEST_SUITE(BLEWorldContract, Backends, BackendNames);

TYPED_TEST(BLEWorldContract, ScanFiltersByServiceAndReportsEachModuleOnceUnlessDuplicatesAreAsked) {
  this->start();
  this->central->scanForPeripheralsWithServices_options(std::vector{*CBUUID::UUIDWithString("FEED")}, std::nullopt);
  this->settle();
  EXPECT_TRUE(this->recorder->discoveries.empty()) << "a module that does not advertise FEED was reported";

  const auto found = this->find(1);
  ASSERT_EQ(found.size(), 1u);
  const auto& first = this->recorder->discoveries[0];
  EXPECT_EQ(first.advertisement.localName, "KSV-Module-1");
  EXPECT_NE(std::find(first.advertisement.serviceUUIDs.begin(), first.advertisement.serviceUUIDs.end(),
                      sim::kOtaServiceUUID),
            first.advertisement.serviceUUIDs.end());
  EXPECT_EQ(first.advertisement.serviceUUIDs.back().UUIDString().size(), 4u) << "short forms, as the platform shows";
  if constexpr (TestFixture::kVm) {
    EXPECT_EQ(first.rssi, 127) << "btvirt measures no RSSI and reports 127 (not available), passed on as is";
  } else {
    EXPECT_LT(first.rssi, 0);
  }
  ASSERT_EQ(first.advertisement.serviceData.size(), 1u);
  EXPECT_EQ(first.advertisement.serviceData[0].first.UUIDString(), "FF10") << "keyed by the short form";
  EXPECT_EQ(first.advertisement.serviceData[0].second, (NSData{0x01, 0x01}));

  // A new scan reports the module once more: when it is heard again, since
  // the scan before ended (bluetoothd drops what it heard when discovery
  // stops), and then no more.
  this->central->scanForPeripheralsWithServices_options(std::vector{sim::kOtaServiceUUID}, std::nullopt);
  EXPECT_TRUE(this->runUntil([&] { return this->recorder->discoveries.size() >= 2; }));
  this->settle();
  EXPECT_EQ(this->recorder->discoveries.size(), 2u) << "without duplicates, once per scan";
  this->central->scanForPeripheralsWithServices_options(
      std::nullopt, CBOptions{{CBCentralManagerScanOptionAllowDuplicatesKey, true}});
  EXPECT_TRUE(this->runUntil([&] { return this->recorder->discoveries.size() >= 5; }));
  EXPECT_EQ(this->recorder->discoveries.back().peripheral, found[0]) << "one peripheral object per module";
  this->central->stopScan();
}

TYPED_TEST(BLEWorldContract, ConnectedModuleTakesWritesAndNotifies) {
  this->start();
  auto module = this->find(1).at(0);
  this->connectAndDiscover(module);
  auto write = this->characteristic(module, sim::kDataWriteUUID);
  auto notify = this->characteristic(module, sim::kDataNotifyUUID);
  auto flow = this->characteristic(module, sim::kFlowControlUUID);
  ASSERT_TRUE(write && notify && flow);
  EXPECT_EQ(write->properties(), CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse);
  EXPECT_EQ(flow->properties(), CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify);

  module->writeValue_forCharacteristic_type({1, 2, 3}, write, CBCharacteristicWriteWithResponse);
  module->writeValue_forCharacteristic_type({4, 5}, write, CBCharacteristicWriteWithoutResponse);
  module->writeValue_forCharacteristic_type({6}, write, CBCharacteristicWriteWithResponse);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->writes.size() == 2; }))
      << "only writes with response are confirmed";
  EXPECT_FALSE(this->recorder->writes[0] || this->recorder->writes[1])
      << "both writes with response succeed: " << describe(this->recorder->writes[0]) << ", "
      << describe(this->recorder->writes[1]);
  EXPECT_EQ(this->world->receivedData(1), (NSData{1, 2, 3, 4, 5, 6})) << "in the order written";

  // A burst of writes without response, more than a bus lets wait for replies.
  NSData burst;
  for (int i = 0; i < 300; ++i) {
    const NSData one{static_cast<std::uint8_t>(i)};
    burst.push_back(one[0]);
    module->writeValue_forCharacteristic_type(one, write, CBCharacteristicWriteWithoutResponse);
  }
  NSData held;
  for (int round = 0; round < 250 && held.size() < 6 + burst.size(); ++round) {
    this->world->queue()->run_for(20ms);
    held = this->world->receivedData(1);
  }
  ASSERT_EQ(held.size(), 6 + burst.size()) << "writes without response were lost";
  EXPECT_TRUE(std::equal(burst.begin(), burst.end(), held.begin() + 6)) << "in the order written";

  module->readValueForCharacteristic(flow);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->values.size() == 1; }));
  EXPECT_EQ(this->recorder->values[0], (std::pair<std::string, NSData>{"FF03", {0x01}}));

  module->setNotifyValue_forCharacteristic(true, notify);
  ASSERT_TRUE(this->runUntil([&] { return !this->recorder->notifyStates.empty(); }))
      << "the subscription is answered";
  EXPECT_FALSE(this->recorder->notifyStates[0]) << describe(this->recorder->notifyStates[0]);
  EXPECT_TRUE(notify->isNotifying());
  this->world->notifyData(1, {9, 8, 7});
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->values.size() == 2; }));
  EXPECT_EQ(this->recorder->values[1], (std::pair<std::string, NSData>{"FF01", {9, 8, 7}}));
}

// A discovery for one service adds what it finds to the services found
// before: an app that looks for Device Information (or any one service)
// after discovering them all keeps every service, with the same objects,
// and goes on using them.
TYPED_TEST(BLEWorldContract, AFilteredDiscoveryKeepsTheServicesFoundBefore) {
  this->start();
  auto module = this->find(1).at(0);
  this->connectAndDiscover(module);
  const CBServiceList before = *module->services();
  const auto lacked = *CBUUID::UUIDWithString("FEED");
  for (const auto& filter : {std::vector{lacked}, std::vector{sim::kOtaServiceUUID}}) {
    SCOPED_TRACE("discovering " + filter[0].UUIDString());
    const auto answers = this->recorder->servicesFound.size();
    module->discoverServices(filter);
    ASSERT_TRUE(this->runUntil([&] { return this->recorder->servicesFound.size() > answers; }));
    EXPECT_FALSE(this->recorder->servicesFound.back()) << describe(this->recorder->servicesFound.back());
    ASSERT_TRUE(module->services().has_value());
    EXPECT_EQ(*module->services(), before);
  }

  std::shared_ptr<CBService> otaService;
  for (const auto& service : *module->services()) {
    if (service->UUID() == sim::kOtaServiceUUID) otaService = service;
  }
  ASSERT_TRUE(otaService);
  const auto answers = this->recorder->characteristicsFound.size();
  module->discoverCharacteristics_forService(std::vector{sim::kOtaUUID}, otaService);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->characteristicsFound.size() > answers; }));
  EXPECT_FALSE(this->recorder->characteristicsFound.back()) << describe(this->recorder->characteristicsFound.back());
  auto ota = this->characteristic(module, sim::kOtaUUID);
  ASSERT_TRUE(ota);
  module->setNotifyValue_forCharacteristic(true, ota);
  ASSERT_TRUE(this->runUntil([&] { return !this->recorder->notifyStates.empty(); }));
  EXPECT_FALSE(this->recorder->notifyStates[0]) << describe(this->recorder->notifyStates[0]);
  auto write = this->characteristic(module, sim::kDataWriteUUID);
  ASSERT_TRUE(write);
  module->writeValue_forCharacteristic_type({1, 2, 3}, write, CBCharacteristicWriteWithResponse);
  ASSERT_TRUE(this->runUntil([&] { return !this->recorder->writes.empty(); }));
  EXPECT_FALSE(this->recorder->writes[0]) << describe(this->recorder->writes[0]);
  EXPECT_EQ(this->world->receivedData(1), (NSData{1, 2, 3}));
}

// A writer that sends writes without response only while the link takes
// them, and goes on when told it is ready again, is never left waiting and
// gets every packet through in order.
TYPED_TEST(BLEWorldContract, FlowControlledWritesWithoutResponseAllArriveInOrder) {
  this->start();
  auto module = this->find(1).at(0);
  this->connectAndDiscover(module);
  auto write = this->characteristic(module, sim::kDataWriteUUID);
  ASSERT_TRUE(write);
  constexpr int kPackets = 600;
  int next = 0, refusals = 0;
  NSData sent;
  auto sendWhileItTakes = [&] {
    while (next < kPackets && module->canSendWriteWithoutResponse()) {
      const NSData one{static_cast<std::uint8_t>(next++ * 13)};
      sent.push_back(one[0]);
      module->writeValue_forCharacteristic_type(one, write, CBCharacteristicWriteWithoutResponse);
    }
    if (next < kPackets) ++refusals;
  };
  this->recorder->onReadyToSend = sendWhileItTakes;
  sendWhileItTakes();
  ASSERT_TRUE(this->runUntil([&] { return next == kPackets; }))
      << "the link said it was full and never said it was ready again (" << next << " sent)";
  EXPECT_GE(this->recorder->readyToSend, refusals) << "every refusal is followed by a ready";
  NSData held;
  for (int round = 0; round < 250 && held.size() < sent.size(); ++round) {
    this->world->queue()->run_for(20ms);
    held = this->world->receivedData(1);
  }
  EXPECT_EQ(held, sent) << "lost or reordered";
  if constexpr (std::is_same_v<TypeParam, SimBackend>) {
    EXPECT_GT(refusals, 0) << "the simulated link takes a few writes at a time";
  }
}

TYPED_TEST(BLEWorldContract, RefusedLostAndRemovedModulesReportWithErrors) {
  this->start(2);
  auto modules = this->find(2);
  ASSERT_EQ(modules.size(), 2u);
  // The discovery order is the backend's; the levers name modules by number.
  if (modules[0]->name() != "KSV-Module-1") std::swap(modules[0], modules[1]);

  this->connectAndDiscover(modules[0]);
  this->world->dropLink(1);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->disconnected.size() == 1; }));
  EXPECT_EQ(this->recorder->disconnected[0].first, modules[0]);
  ASSERT_TRUE(this->recorder->disconnected[0].second.has_value());
  EXPECT_EQ(this->recorder->disconnected[0].second->code, CBErrorPeripheralDisconnected);
  EXPECT_EQ(modules[0]->state(), CBPeripheralStateDisconnected);
  EXPECT_FALSE(modules[0]->services().has_value()) << "what was discovered is forgotten with the link";

  if constexpr (TestFixture::kVm) {
    GTEST_SKIP() << "the rest cannot be staged with emulated controllers: on a second link from hci0 at once (to "
                    "hci2 while hci1 is linked) hci2 answers hci0's first ATT request (the MTU exchange), but the "
                    "answer never reaches hci0, so the module's services never resolve and the connection times "
                    "out (with the guest kernel 6.1, closing that link also BUGged in hci_chan_del and killed "
                    "bluetoothd)";
  }
  // Connected again, then the module goes out of range in the middle of things.
  this->connectAndDiscover(modules[0]);
  this->connectAndDiscover(modules[1]);
  this->world->removeModule(1);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->disconnected.size() == 2; }));
  EXPECT_EQ(this->recorder->disconnected[1].first, modules[0]);
  EXPECT_EQ(modules[1]->state(), CBPeripheralStateConnected) << "the other module keeps its link";

  this->world->refuseConnections(2);
  this->central->cancelPeripheralConnection(modules[1]);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->disconnected.size() == 3; }));
  EXPECT_FALSE(this->recorder->disconnected[2].second.has_value()) << "a cancelled link ends without an error";
  this->central->connectPeripheral_options(modules[1], std::nullopt);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->failed.size() == 1; }));
  EXPECT_EQ(this->recorder->failed[0].first, modules[1]);
  EXPECT_TRUE(this->recorder->failed[0].second.has_value());
}

// A link that dropped and came back is a new link: nothing notifies until
// the characteristic is subscribed again (as with CoreBluetooth, although
// bluetoothd keeps its objects and every client's subscription across a
// disconnect), and then each value comes once.
TYPED_TEST(BLEWorldContract, AReconnectedModuleNotifiesOnlyOnceSubscribedAgain) {
  this->start();
  auto module = this->find(1).at(0);
  this->connectAndDiscover(module);
  ASSERT_TRUE(this->subscribe(module));
  this->world->dropLink(1);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->disconnected.size() == 1; }));

  this->connectAndDiscover(module);
  auto notify = this->characteristic(module, sim::kDataNotifyUUID);
  ASSERT_TRUE(notify);
  EXPECT_FALSE(notify->isNotifying());
  this->world->notifyData(1, {1});
  this->settle();
  EXPECT_TRUE(this->recorder->values.empty()) << "a value of the old link's subscription was reported";

  module->setNotifyValue_forCharacteristic(true, notify);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->notifyStates.size() == 2; }));
  EXPECT_FALSE(this->recorder->notifyStates[1]) << describe(this->recorder->notifyStates[1]);
  EXPECT_TRUE(notify->isNotifying());
  this->world->notifyData(1, {2});
  ASSERT_TRUE(this->runUntil([&] { return !this->recorder->values.empty(); }));
  this->settle();
  EXPECT_EQ(this->recorder->values, (std::vector<std::pair<std::string, NSData>>{{"FF01", {2}}}));
}

// bluetoothd passes each notification on once per subscribed client, as a
// PropertiesChanged that every client hears: with another program on the
// host subscribed (a GATT browser, a printer-status app), a central that
// took those signals for notifications would see every value twice. Each
// value reaches the host once; where that cannot be had, the subscription
// is refused and says why.
TYPED_TEST(BLEWorldContract, ASecondSubscriberOnTheHostDoesNotDoubleNotifications) {
  if constexpr (std::is_same_v<TypeParam, SimBackend>) {
    GTEST_SKIP() << "the simulated world has no other program on the host: its modules notify each central once";
  } else if constexpr (std::is_same_v<TypeParam, BluezVmBackend>) {
    // In the guest this case's first link, right after the reconnection
    // case, was refused for good (le-connection-abort-by-local) in a full
    // run; the bluez-vm case second-subscriber proves the same behaviour
    // on the real bluetoothd with quillon-ota and a second program.
    GTEST_SKIP() << "covered on the real bluetoothd by the bluez-vm case second-subscriber";
  } else {
    const std::string ff01 = "0000ff01-0000-1000-8000-00805f9b34fb";
    this->start();
    auto module = this->find(1).at(0);
    this->connectAndDiscover(module);
    auto notify = this->characteristic(module, sim::kDataNotifyUUID);
    ASSERT_TRUE(notify);
    {
      HostSubscriber before;
      ASSERT_EQ(before.subscribe(ff01), "");
      ASSERT_TRUE(this->subscribe(module));
      ASSERT_EQ(this->recorder->notifyStates.size(), 1u);
      ASSERT_TRUE(this->recorder->notifyStates[0]) << "a subscription that would hear every value twice was accepted";
      EXPECT_NE(this->recorder->notifyStates[0]->localizedDescription.find("another program on this computer"),
                std::string::npos)
          << describe(this->recorder->notifyStates[0]);
      EXPECT_FALSE(notify->isNotifying());
      this->world->notifyData(1, {1});
      this->settle();
    }
    // Once the other program has let go, the host subscribes; a program
    // that subscribes after it does not make its values come twice.
    this->subscribe(module);
    ASSERT_EQ(this->recorder->notifyStates.size(), 2u);
    EXPECT_FALSE(this->recorder->notifyStates[1]) << describe(this->recorder->notifyStates[1]);
    HostSubscriber during;
    const std::string theirs = during.subscribe(ff01);
    for (std::uint8_t value : {2, 3}) {
      this->world->notifyData(1, {value});
      ASSERT_TRUE(this->runUntil([&] { return !this->recorder->values.empty() && this->recorder->values.back().second == NSData{value}; }));
    }
    this->settle();
    EXPECT_EQ(this->recorder->values, (std::vector<std::pair<std::string, NSData>>{{"FF01", {2}}, {"FF01", {3}}}))
        << "the other program's subscription: " << (theirs.empty() ? "accepted" : theirs);
  }
}

TYPED_TEST(BLEWorldContract, PowerOffDropsLinksAndEndsTheScanForGood) {
  this->start();
  auto module = this->find(1).at(0);
  this->connectAndDiscover(module);
  auto notify = this->subscribe(module);
  ASSERT_TRUE(notify && notify->isNotifying());
  this->central->scanForPeripheralsWithServices_options(
      std::nullopt, CBOptions{{CBCentralManagerScanOptionAllowDuplicatesKey, true}});

  this->world->setPowered(false);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->states.back() == CBManagerStatePoweredOff; }));
  ASSERT_EQ(this->recorder->disconnected.size(), 1u);
  EXPECT_EQ(this->recorder->disconnected[0].second.value_or(NSError{}).code, CBErrorPeripheralDisconnected);
  EXPECT_EQ(module->state(), CBPeripheralStateDisconnected);

  this->world->setPowered(true);
  ASSERT_TRUE(this->runUntil([&] { return this->recorder->states.back() == CBManagerStatePoweredOn; }));
  const auto heard = this->recorder->discoveries.size();
  const auto values = this->recorder->values.size();
  this->world->notifyData(1, {1});
  this->settle();
  EXPECT_EQ(this->recorder->discoveries.size(), heard) << "the scan came back by itself";
  EXPECT_EQ(this->recorder->values.size(), values) << "a notification crossed a link that power-off ended";
}

// The identifier of a module found once finds it again in a new central
// (a later run of the app), without scanning.
TYPED_TEST(BLEWorldContract, KnownModuleIsRetrievedByItsIdentifier) {
  this->start();
  auto module = this->find(1).at(0);
  const NSUUID identifier = module->identifier();
  auto recorder = std::make_shared<Recorder>();
  auto later = this->world->factory()(recorder, this->world->queue());
  ASSERT_TRUE(this->runUntil([&] { return !recorder->states.empty(); }));
  auto found = later->retrievePeripheralsWithIdentifiers({identifier, NSUUID::UUID()});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]->identifier(), identifier);
  later->connectPeripheral_options(found[0], std::nullopt);
  EXPECT_TRUE(this->runUntil([&] { return recorder->connected.size() == 1; }));
}

// CoreBluetooth would leave this connection pending until the module came
// back; neither backend does. The simulated world forgets a module that
// left (retrieval finds nothing) and fails a connection to the peripheral
// object still held at once. BlueZ keeps the device object, so retrieval
// finds it, and Connect is not answered while BlueZ keeps trying: the
// central gives up after its time-out.
TYPED_TEST(BLEWorldContract, KnownModuleOutOfRangeFailsToConnectInsteadOfWaiting) {
  constexpr bool kBluez = !std::is_same_v<TypeParam, SimBackend>;
  this->start();
  auto held = this->find(1).at(0);
  this->world->goOutOfRange(1);
  this->world->setConnectTimeout(300ms);
  auto recorder = std::make_shared<Recorder>();
  auto later = this->world->factory()(recorder, this->world->queue());
  ASSERT_TRUE(this->runUntil([&] { return !recorder->states.empty(); }));

  auto retrieved = later->retrievePeripheralsWithIdentifiers({held->identifier()});
  EXPECT_EQ(retrieved.size(), kBluez ? 1u : 0u) << "which backend remembers a module it no longer hears";
  auto central = kBluez ? later : this->central;
  auto& events = kBluez ? *recorder : *this->recorder;
  auto module = retrieved.empty() ? held : retrieved[0];
  central->connectPeripheral_options(module, std::nullopt);
  if (!kBluez) {
    this->world->queue()->run_until_idle();
    EXPECT_EQ(events.failed.size(), 1u) << "the simulated world fails at once";
  }
  ASSERT_TRUE(this->runUntil([&] { return !events.failed.empty(); }));
  EXPECT_TRUE(events.connected.empty());
  ASSERT_TRUE(events.failed[0].second.has_value());
  EXPECT_EQ(events.failed[0].second->code, kBluez ? CBErrorConnectionTimeout : CBErrorConnectionFailed);
  EXPECT_EQ(module->state(), CBPeripheralStateDisconnected);
}

// Apps show what a module says it is; the module's strings are its own, so
// the reader keeps the exact bytes and offers a form safe to print.
TYPED_TEST(BLEWorldContract, DeviceInformationReadsEachOfferedStringAndKeepsStrangeBytesExactly) {
  if constexpr (TestFixture::kVm) {
    GTEST_SKIP() << "the VM's module peer offers no Device Information service";
  } else {
    using Field = DeviceInformationField;
    const NSData serial{'S', 'N', 0x1B, '[', '2', 'J', 0xFF, '\\', 0xC3, 0xA9};  // an escape sequence, a stray byte
    const NSData model(512, 'M');                                             // the longest an attribute may be
    const NSData firmware{'2', '.', '1', '.', '0'};
    this->startWith(std::make_unique<typename TypeParam::World>(
        2, ModuleInformation{{Field::ModelNumber, model}, {Field::SerialNumber, serial}, {Field::FirmwareRevision, firmware}}));
    const auto found = this->find(2);
    auto reader = DeviceInformationReader::create(this->world->queue());
    std::map<std::string, DeviceInformationReadResult> results;
    for (const auto& module : found) {
      const auto name = module->name().value_or("");
      if (results.count(name)) continue;
      module->setDelegate(reader);
      this->central->connectPeripheral_options(module, std::nullopt);
      ASSERT_TRUE(this->runUntil([&] { return module->state() == CBPeripheralStateConnected; }));
      std::optional<DeviceInformationReadResult> result;
      reader->read(module, 5s, [&](const DeviceInformationReadResult& r) { result = r; });
      EXPECT_FALSE(result) << "never inside read()";
      ASSERT_TRUE(this->runUntil([&] { return result.has_value(); }));
      results[name] = *result;
    }
    ASSERT_EQ(results.size(), 2u);

    const auto& one = results["KSV-Module-1"];
    EXPECT_EQ(one.ending, DeviceInformationReadResult::Ending::Complete) << describe(one.error);
    EXPECT_TRUE(one.refused.empty());
    ASSERT_TRUE(one.find(Field::ModelNumber) && one.find(Field::SerialNumber) && one.find(Field::FirmwareRevision));
    EXPECT_EQ(one.find(Field::ModelNumber)->bytes(), model) << "a long value arrives whole";
    EXPECT_EQ(one.find(Field::FirmwareRevision)->text(), "2.1.0");
    EXPECT_TRUE(one.find(Field::FirmwareRevision)->plain());
    EXPECT_EQ(one.find(Field::SerialNumber)->bytes(), serial) << "kept exactly";
    EXPECT_FALSE(one.find(Field::SerialNumber)->plain());
    EXPECT_EQ(one.find(Field::SerialNumber)->text(), "SN\\x1B[2J\\xFF\\\\\xC3\xA9") << "shown escaped, UTF-8 kept";
    EXPECT_EQ(one.values.size(), 3u) << "the strings the module does not offer are absent";

    const auto& two = results["KSV-Module-2"];
    EXPECT_EQ(two.ending, DeviceInformationReadResult::Ending::NoService);
    EXPECT_TRUE(two.values.empty());
  }
}

}  // namespace
}  // namespace quillon::testing
