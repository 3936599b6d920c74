// quillon-module end to end, with no radio: the BlueZ stand-in owns
// org.bluez on a private bus, the built quillon-module registers its GATT
// application and advertisements with it, and the test plays the remote
// central the way bluetoothd would relay one: the library's real OTA
// controller writes its packets to FF11's WriteValue and is fed FF11's
// notifications (PropertiesChanged of Value).
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "bluez/bluez_peer_process.h"
#include "module_exit_status.h"
#include "module_process.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "scratch_directory.h"

namespace quillon::module_tool {
namespace {

using quillon::test_support::ScratchDirectory;
using quillon::testing::BluezPeerProcess;
using quillon::testing::PrivateSystemBus;
using test_support::ModuleProcess;

using Bytes = std::vector<std::uint8_t>;
using Properties = std::map<std::string, sdbus::Variant>;
using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, Properties>>;
constexpr char kCharacteristic[] = "org.bluez.GattCharacteristic1";
constexpr char kControl[] = "org.quillon.TestPeer1";
constexpr char kFF10[] = "0000ff10-0000-1000-8000-00805f9b34fb";
constexpr char kFF11[] = "0000ff11-0000-1000-8000-00805f9b34fb";

// A remote central's app, reaching the module's FF11 over the bus as
// bluetoothd would carry its writes and notifications.
class BusCentral : public BLEOTADelegate {
 public:
  // Every `damage_data`-th DATA packet (counting from 1; 0: none) goes out
  // with its last image byte changed, as a noisy link might deliver it.
  explicit BusCentral(unsigned damage_data = 0) : damage_data_(damage_data), bus_(sdbus::createSystemBusConnection()) {
    auto control = sdbus::createProxy(*bus_, "org.bluez", "/test");
    std::vector<sdbus::Struct<std::string, sdbus::ObjectPath>> applications;
    control->callMethod("Application").onInterface(kControl).storeResultsTo(applications);
    if (applications.size() != 1) throw std::runtime_error("the stand-in holds no one application");
    const std::string owner = applications[0].get<0>();
    ManagedObjects objects;
    sdbus::createProxy(*bus_, owner, applications[0].get<1>())
        ->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .storeResultsTo(objects);
    for (const auto& [path, interfaces] : objects) {
      const auto found = interfaces.find(kCharacteristic);
      if (found != interfaces.end() && found->second.at("UUID").get<std::string>() == kFF11) {
        ff11_ = sdbus::createProxy(*bus_, owner, path);
      }
    }
    if (!ff11_) throw std::runtime_error("the application has no FF11");
    ff11_->uponSignal("PropertiesChanged")
        .onInterface("org.freedesktop.DBus.Properties")
        .call([this](const std::string& interface, const Properties& changed, const std::vector<std::string>&) {
          const auto value = changed.find("Value");
          if (interface != kCharacteristic || value == changed.end()) return;
          std::lock_guard lock(mutex_);
          chunks_.push_back(value->second.get<Bytes>());
          wake_.notify_all();
        });
    ff11_->finishRegistration();
    bus_->enterEventLoopAsync();
    ff11_->callMethod("StartNotify").onInterface(kCharacteristic);
  }
  ~BusCentral() override { bus_->leaveEventLoop(); }

  // Sends the image at `path` with a BLEOTAController; the parameter of
  // its OTA_STATE_COMPLETED (the module's verdict, or OTA_ERR_OTHER for a
  // time-out).
  std::uint8_t update(const std::string& path, const std::shared_ptr<BusCentral>& self) {
    OtaPlatform platform;
    platform.log = std::make_shared<NullLogSink>();
    BLEOTAController controller(platform);
    controller.setDelegate(self);
    controller.download_firmware_from_file(PosixFileImageHandle::open_for_reading(path));
    std::unique_lock lock(mutex_);
    for (;;) {
      // Only against a hang: a silent module ends in the controller's own time-out.
      if (!wake_.wait_for(lock, std::chrono::minutes(2), [&] { return completed_ || !chunks_.empty(); })) {
        throw std::runtime_error("the transfer neither progressed nor ended");
      }
      if (completed_) return *completed_;
      const Bytes chunk = std::move(chunks_.front());
      chunks_.pop_front();
      lock.unlock();
      controller.pkt_received(chunk);
      lock.lock();
    }
  }

  void ota_send_data(std::vector<std::uint8_t> packet) override {
    if (damage_data_ && packet.size() > 4 && packet[0] == 0xF2 && ++data_sent_ % damage_data_ == 0) {
      packet[packet.size() - 2] ^= 0x5A;
    }
    // What bluetoothd passes on a write without response from a central.
    const Properties options{{"type", sdbus::Variant(std::string("command"))},
                             {"device", sdbus::Variant(sdbus::ObjectPath("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_99"))}};
    ff11_->callMethod("WriteValue").onInterface(kCharacteristic).withArguments(packet, options);
  }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    if (state != OTA_STATE_COMPLETED) return;
    std::lock_guard lock(mutex_);  // the time-out comes from the watchdog's thread
    if (!completed_) completed_ = static_cast<std::uint8_t>(parameter);
    wake_.notify_all();
  }

 private:
  const unsigned damage_data_;
  unsigned data_sent_ = 0;
  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<sdbus::IProxy> ff11_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Bytes> chunks_;
  std::optional<std::uint8_t> completed_;
};

class QuillonModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { static PrivateSystemBus bus; }

  std::string make_image(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 253) & 0xFF);
    const auto path = (scratch_.path() / "fw.bin").string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
    return path;
  }
  std::string path_of(const char* name) const { return (scratch_.path() / name).string(); }
  static Bytes contents_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::unique_ptr<ModuleProcess> start(const std::vector<std::string>& args) {
    return std::make_unique<ModuleProcess>(args, scratch_.path() / "module.log");
  }
  static std::uint8_t update(const std::string& image, unsigned damage_data = 0) {
    auto central = std::make_shared<BusCentral>(damage_data);
    return central->update(image, central);
  }

  ScratchDirectory scratch_;
};

TEST_F(QuillonModuleTest, AWholeUpdateLeavesTheModuleHoldingExactlyTheImage) {
  BluezPeerProcess peer;
  const auto image = make_image(100000);
  const auto received = path_of("received.bin");
  auto module = start({"--once", "--save-received", received});
  ASSERT_TRUE(module->wait_ready()) << module->log();

  // A scanning central finds it by FF10 under its name.
  auto bus = sdbus::createSystemBusConnection();
  std::vector<Properties> advertisements;
  sdbus::createProxy(*bus, "org.bluez", "/test")->callMethod("Advertisements").onInterface(kControl).storeResultsTo(advertisements);
  ASSERT_FALSE(advertisements.empty());
  for (const auto& advertisement : advertisements) {
    EXPECT_EQ(advertisement.at("LocalName").get<std::string>(), "Printer BLE");
    const auto uuids = advertisement.at("ServiceUUIDs").get<std::vector<std::string>>();
    EXPECT_NE(std::find(uuids.begin(), uuids.end(), kFF10), uuids.end());
  }

  EXPECT_EQ(update(image), OTA_SUCCESS) << module->log();
  EXPECT_EQ(module->finish(), kExitSuccess) << module->log();
  EXPECT_EQ(contents_of(received), contents_of(image));
}

// Reads characteristic `uuid` of the registered application as bluetoothd
// does for a central's read: from `offset` when a value is read in parts.
Bytes read_characteristic(const std::string& uuid, std::uint16_t offset = 0) {
  auto bus = sdbus::createSystemBusConnection();
  std::vector<sdbus::Struct<std::string, sdbus::ObjectPath>> applications;
  sdbus::createProxy(*bus, "org.bluez", "/test")->callMethod("Application").onInterface(kControl).storeResultsTo(applications);
  if (applications.size() != 1) throw std::runtime_error("the stand-in holds no one application");
  ManagedObjects objects;
  sdbus::createProxy(*bus, applications[0].get<0>(), applications[0].get<1>())
      ->callMethod("GetManagedObjects")
      .onInterface("org.freedesktop.DBus.ObjectManager")
      .storeResultsTo(objects);
  for (const auto& [path, interfaces] : objects) {
    const auto found = interfaces.find(kCharacteristic);
    if (found == interfaces.end() || found->second.at("UUID").get<std::string>() != uuid) continue;
    Bytes value;
    const Properties options{{"offset", sdbus::Variant(offset)}};
    sdbus::createProxy(*bus, applications[0].get<0>(), path)
        ->callMethod("ReadValue")
        .onInterface(kCharacteristic)
        .withArguments(options)
        .storeResultsTo(value);
    return value;
  }
  throw std::runtime_error("the application has no " + uuid);
}

// The module says what it is, a long value is read in parts, and after an
// update it reports the version tagged in the image it accepted.
TEST_F(QuillonModuleTest, DeviceInformationSaysWhatItIsAndTheRevisionFollowsTheUpdate) {
  BluezPeerProcess peer;
  const std::string serial(512, 'S');
  auto module = start({"--model", "QL-7", "--serial", serial, "--firmware-revision", "1.0.0"});
  ASSERT_TRUE(module->wait_ready()) << module->log();
  const auto text = [](const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };
  constexpr char kModel[] = "00002a24-0000-1000-8000-00805f9b34fb";
  constexpr char kSerial[] = "00002a25-0000-1000-8000-00805f9b34fb";
  constexpr char kFirmware[] = "00002a26-0000-1000-8000-00805f9b34fb";
  EXPECT_EQ(text(read_characteristic(kModel)), "QL-7");
  EXPECT_EQ(text(read_characteristic(kSerial)), serial);
  EXPECT_EQ(text(read_characteristic(kSerial, 500)), serial.substr(500)) << "the rest of a long value";
  EXPECT_EQ(text(read_characteristic(kFirmware)), "1.0.0");
  EXPECT_THROW(read_characteristic("00002a27-0000-1000-8000-00805f9b34fb"), std::runtime_error)
      << "a string not given is not offered";

  const auto image = make_image(20000);
  {
    std::fstream patch(image, std::ios::binary | std::ios::in | std::ios::out);
    patch.seekp(12345);
    patch.write("QVER:2.0.0\0", 11);
  }
  EXPECT_EQ(update(image), OTA_SUCCESS) << module->log();
  EXPECT_EQ(text(read_characteristic(kFirmware)), "2.0.0") << module->log();
  module->signal(SIGINT);
  EXPECT_EQ(module->finish(), kExitSuccess) << module->log();
}

// bluetoothd forgets every registration when it stops; a module left
// unregistered after a restart would be silently gone from the air.
TEST_F(QuillonModuleTest, RegistersAgainWhenBluetoothdComesBack) {
  BluezPeerProcess peer;
  const auto image = make_image(20000);
  const auto received = path_of("received.bin");
  auto module = start({"--once", "--save-received", received});
  ASSERT_TRUE(module->wait_ready()) << module->log();
  peer.stop();
  peer.start({});
  ASSERT_TRUE(module->wait_ready()) << module->log();
  EXPECT_EQ(update(image), OTA_SUCCESS) << module->log();
  EXPECT_EQ(module->finish(), kExitSuccess) << module->log();
  EXPECT_EQ(contents_of(received), contents_of(image));
}

// The module's faults reach the central as they do from the simulated
// module, and --once exits with the module's own verdict: a corrupted END
// is the link's fault (the module received everything), a damaged DATA
// packet is the transfer's.
TEST_F(QuillonModuleTest, FaultsAndDamagedPacketsEndAsTheModuleJudgesThem) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    unsigned damage_data;
    std::uint8_t central_sees;
    int module_exit;
    bool holds_image;
  };
  const Case cases[] = {
      {"corrupt-end", {"--fault", "corrupt-end"}, 0, OTA_ERR_CHECK_SUM_FAIL, kExitSuccess, true},
      {"damaged DATA", {}, 7, OTA_ERR_CHECK_SUM_FAIL, kExitTransferFailed, false},
  };
  const auto image = make_image(20000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BluezPeerProcess peer;
    const auto received = path_of("received.bin");
    auto args = c.args;
    args.insert(args.end(), {"--once", "--save-received", received});
    auto module = start(args);
    ASSERT_TRUE(module->wait_ready()) << module->log();
    EXPECT_EQ(update(image, c.damage_data), c.central_sees) << module->log();
    EXPECT_EQ(module->finish(), c.module_exit) << module->log();
    EXPECT_EQ(contents_of(received) == contents_of(image), c.holds_image);
  }
}

TEST_F(QuillonModuleTest, ASilentModuleTimesTheCentralOutAndAStopSignalEndsIt) {
  BluezPeerProcess peer;
  auto module = start({"--once", "--fault", "silent=2"});
  ASSERT_TRUE(module->wait_ready()) << module->log();
  EXPECT_EQ(update(make_image(20000)), OTA_ERR_OTHER) << module->log();
  module->signal(SIGTERM);
  EXPECT_EQ(module->finish(), kExitTerminated) << module->log();

  // Without --once a stop signal is its normal end.
  auto serving = start({});
  ASSERT_TRUE(serving->wait_ready()) << serving->log();
  serving->signal(SIGINT);
  EXPECT_EQ(serving->finish(), kExitSuccess) << serving->log();
}

TEST_F(QuillonModuleTest, WhatKeepsItFromServingHasItsOwnExitStatus) {
  {
    SCOPED_TRACE("no org.bluez on the bus");
    auto module = start({});
    EXPECT_FALSE(module->wait_ready());
    EXPECT_EQ(module->finish(), kExitNoBluez) << module->log();
  }
  BluezPeerProcess peer;
  {
    SCOPED_TRACE("an adapter that is not there");
    auto module = start({"--adapter", "hci7"});
    EXPECT_FALSE(module->wait_ready());
    EXPECT_EQ(module->finish(), kExitNoAdapter) << module->log();
  }
  peer.stop();
  peer.start({"--refuse-registration", "NotPermitted"});
  {
    SCOPED_TRACE("registration refused");
    auto module = start({});
    EXPECT_FALSE(module->wait_ready());
    EXPECT_EQ(module->finish(), kExitRefused) << module->log();
    // BlueZ's own reason is what the user needs to act on.
    EXPECT_NE(module->log().find("org.bluez.Error.NotPermitted"), std::string::npos) << module->log();
  }
}

}  // namespace
}  // namespace quillon::module_tool
