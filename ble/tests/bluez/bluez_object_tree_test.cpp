// The object tree is a cache that bluetoothd's signals keep: what it holds
// after each kind of signal, what it makes of D-Bus values, and how it is
// searched.
#include "bluez_object_tree.h"

#include <gtest/gtest.h>

namespace quillon::bluez {
namespace {

constexpr char kAdapter[] = "/org/bluez/hci0";
constexpr char kDevice[] = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
constexpr char kOtherDevice[] = "/org/bluez/hci1/dev_AA_BB_CC_DD_EE_02";
constexpr char kService[] = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01/service0010";

TEST(BluezObjectTree, FollowsAddedChangedInvalidatedAndRemovedInterfaces) {
  ObjectTree tree;
  tree.reset({{kAdapter, {{kAdapterInterface, {{"Powered", true}}}}}});
  tree.add(kDevice, {{kDeviceInterface, {{"Adapter", std::string(kAdapter)}, {"RSSI", std::int64_t{-40}},
                                         {"Name", std::string("KSV-Module")}}}});
  tree.add(kService, {{kServiceInterface, {{"Device", std::string(kDevice)}, {"UUID", std::string("ff10")}}}});

  tree.change(kDevice, kDeviceInterface, {{"Connected", true}, {"RSSI", std::int64_t{-60}}}, {"Name"});
  const Properties* device = tree.find(kDevice, kDeviceInterface);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(property<bool>(device, "Connected"), true);
  EXPECT_EQ(property<std::int64_t>(device, "RSSI"), -60);
  EXPECT_FALSE(property<std::string>(device, "Name")) << "an invalidated property is no longer known";
  EXPECT_FALSE(property<bool>(device, "RSSI")) << "a property of another type is none";

  // A change for an object or interface the cache never heard of is not
  // made up into one.
  tree.change(kOtherDevice, kDeviceInterface, {{"Connected", true}}, {});
  tree.change(kDevice, kCharacteristicInterface, {{"Value", Bytes{1}}}, {});
  EXPECT_EQ(tree.find(kOtherDevice, kDeviceInterface), nullptr);
  EXPECT_EQ(tree.find(kDevice, kCharacteristicInterface), nullptr);

  // InterfacesAdded of an interface already there carries all its properties.
  tree.add(kDevice, {{kDeviceInterface, {{"Adapter", std::string(kAdapter)}}}});
  EXPECT_FALSE(property<bool>(tree.find(kDevice, kDeviceInterface), "Connected"));

  EXPECT_EQ(tree.children(kServiceInterface, "Device", kDevice), std::vector<std::string>{kService});
  EXPECT_EQ(tree.children(kDeviceInterface, "Adapter", kAdapter), std::vector<std::string>{kDevice});
  EXPECT_TRUE(tree.children(kServiceInterface, "Device", kOtherDevice).empty());
  EXPECT_EQ(tree.withInterface(kDeviceInterface), std::vector<std::string>{kDevice});

  // Removing one of two interfaces keeps the object; removing the last drops it.
  tree.add(kDevice, {{"org.bluez.MediaControl1", {}}});
  tree.remove(kDevice, {kDeviceInterface});
  EXPECT_EQ(tree.find(kDevice, kDeviceInterface), nullptr);
  EXPECT_NE(tree.find(kDevice, "org.bluez.MediaControl1"), nullptr);
  tree.remove(kDevice, {"org.bluez.MediaControl1"});
  EXPECT_TRUE(tree.withInterface("org.bluez.MediaControl1").empty());
  tree.remove(kOtherDevice, {kDeviceInterface});  // never there: nothing happens

  // A reset (bluetoothd came back) is the whole truth again.
  tree.reset({});
  EXPECT_EQ(tree.find(kAdapter, kAdapterInterface), nullptr);
  EXPECT_EQ(tree.find(kService, kServiceInterface), nullptr);
}

TEST(BluezObjectTree, KeepsTheValuesTheBackendReadsAndLeavesOthersOut) {
  const std::map<std::string, sdbus::Variant> variants{
      {"Connected", sdbus::Variant(true)},
      {"RSSI", sdbus::Variant(std::int16_t{-72})},
      {"Appearance", sdbus::Variant(std::uint16_t{0xFFFF})},
      {"TxPower", sdbus::Variant(std::int32_t{-4})},
      {"Class", sdbus::Variant(std::uint32_t{0xFFFFFFFF})},
      {"Name", sdbus::Variant(std::string("KSV"))},
      {"Adapter", sdbus::Variant(sdbus::ObjectPath(kAdapter))},
      {"UUIDs", sdbus::Variant(std::vector<std::string>{"ff10"})},
      {"AdvertisingFlags", sdbus::Variant(Bytes{0x06})},
      {"ManufacturerData",
       sdbus::Variant(std::map<std::uint16_t, sdbus::Variant>{{0x0059, sdbus::Variant(Bytes{1, 2})},
                                                              {0x0001, sdbus::Variant(std::string("not bytes"))}})},
      {"ServiceData", sdbus::Variant(std::map<std::string, sdbus::Variant>{{"ff10", sdbus::Variant(Bytes{})}})},
      {"Timeout", sdbus::Variant(std::uint64_t{5})},  // a type the backend does not read
  };
  const Properties properties = toProperties(variants);
  EXPECT_EQ(property<bool>(&properties, "Connected"), true);
  EXPECT_EQ(property<std::int64_t>(&properties, "RSSI"), -72);
  EXPECT_EQ(property<std::int64_t>(&properties, "Appearance"), 0xFFFF) << "unsigned 16-bit stays positive";
  EXPECT_EQ(property<std::int64_t>(&properties, "TxPower"), -4);
  EXPECT_EQ(property<std::int64_t>(&properties, "Class"), std::int64_t{0xFFFFFFFF});
  EXPECT_EQ(property<std::string>(&properties, "Name"), "KSV");
  EXPECT_EQ(property<std::string>(&properties, "Adapter"), kAdapter);
  EXPECT_EQ(property<std::vector<std::string>>(&properties, "UUIDs"), std::vector<std::string>{"ff10"});
  EXPECT_EQ(property<Bytes>(&properties, "AdvertisingFlags"), Bytes{0x06});
  const auto makers = property<std::map<std::uint16_t, Bytes>>(&properties, "ManufacturerData");
  ASSERT_TRUE(makers);
  EXPECT_EQ(*makers, (std::map<std::uint16_t, Bytes>{{0x0059, Bytes{1, 2}}})) << "entries that are not bytes are left out";
  const auto services = property<std::map<std::string, Bytes>>(&properties, "ServiceData");
  EXPECT_EQ(services, (std::map<std::string, Bytes>{{"ff10", Bytes{}}}));
  EXPECT_EQ(properties.count("Timeout"), 0u);
}

}  // namespace
}  // namespace quillon::bluez
