// The devices met before: what a later run (or the same one, after
// bluetoothd forgot a device) finds again from an identifier.
#include "bluez_known_devices.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "quillon/bluez/bluez_backend.h"

namespace quillon::bluez {
namespace {

std::string addressOf(std::size_t n) {
  char text[18];
  std::snprintf(text, sizeof text, "AA:BB:CC:DD:%02zX:%02zX", (n >> 8) & 0xFF, n & 0xFF);
  return text;
}

NSUUID identifierOf(const std::string& address) { return deviceIdentifier("00:11:22:33:44:55", address); }

class BluezKnownDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillon-known-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    file = dir / "config" / "bluez-devices";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::filesystem::path dir, file;
};

TEST_F(BluezKnownDevices, AnIdentifierFindsItsLatestAddressInThisRunAndTheNext) {
  const NSUUID first = identifierOf(addressOf(1));
  const NSUUID second = identifierOf(addressOf(2));
  {
    KnownDevices devices(file);
    EXPECT_FALSE(devices.address(first)) << "never met";
    devices.remember(first, addressOf(1));
    devices.remember(second, addressOf(2));
    devices.remember(first, addressOf(3));  // the same identifier, another address: the latest counts
    EXPECT_EQ(devices.address(first), addressOf(3));
  }
  KnownDevices again(file);
  EXPECT_EQ(again.address(first), addressOf(3));
  EXPECT_EQ(again.address(second), addressOf(2));
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".new")) << "the file is replaced whole";

  // Without a file the memory is all there is.
  KnownDevices memoryOnly(std::nullopt);
  memoryOnly.remember(first, addressOf(1));
  EXPECT_EQ(memoryOnly.address(first), addressOf(1));
}

TEST_F(BluezKnownDevices, KeepsTheMostRecentlyMetAndSkipsLinesItCannotRead) {
  {
    KnownDevices devices(file);
    for (std::size_t n = 0; n < KnownDevices::kLimit; ++n) devices.remember(identifierOf(addressOf(n)), addressOf(n));
    // Met again: now the most recent, so it outlives the oldest.
    devices.remember(identifierOf(addressOf(0)), "AA:BB:CC:DD:FF:00");
    devices.remember(identifierOf(addressOf(KnownDevices::kLimit)), addressOf(KnownDevices::kLimit));
    EXPECT_EQ(devices.address(identifierOf(addressOf(0))), "AA:BB:CC:DD:FF:00");
    EXPECT_FALSE(devices.address(identifierOf(addressOf(1)))) << "the oldest makes room";
    EXPECT_EQ(devices.address(identifierOf(addressOf(2))), addressOf(2));
  }
  {
    std::ofstream out(file, std::ios::app);
    out << "not-a-uuid AA:BB:CC:DD:EE:FF\n" << identifierOf("x").UUIDString() << " short\n";
  }
  KnownDevices again(file);
  EXPECT_EQ(again.address(identifierOf(addressOf(KnownDevices::kLimit))), addressOf(KnownDevices::kLimit));
  EXPECT_FALSE(again.address(identifierOf("x")));
  std::ifstream in(file);
  const auto lines = std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
  EXPECT_EQ(lines, static_cast<long>(KnownDevices::kLimit) + 2) << "the file is read, not rewritten, on loading";
}

}  // namespace
}  // namespace quillon::bluez
