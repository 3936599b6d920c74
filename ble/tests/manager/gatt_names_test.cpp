#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "quillon/manager/characteristic_property_string.h"
#include "platform_fakes.h"

namespace quillon::testing {
namespace {

TEST(GattNamesTest, TheTableHolds46DistinctKeysInItsOrder) {
  ManagerRig rig;
  const auto& entries = rig.manager->uuidDictionary().entries();
  ASSERT_EQ(entries.size(), 46u);
  std::set<std::string> keys;
  std::map<std::string, int> values;
  for (const auto& [key, value] : entries) {
    keys.insert(key);
    ++values[value];
  }
  EXPECT_EQ(keys.size(), 46u);
  for (const char* twice : {"Data Notify", "Data Write", "Flow Control"}) EXPECT_EQ(values[twice], 2) << twice;
  EXPECT_EQ(entries.front(), (UuidDictionary::Entry{"1811", "Alert Notification"}));
  EXPECT_EQ(entries[4], (UuidDictionary::Entry{"2A35", "Blood Pressure Measurment"}));
  EXPECT_EQ(entries[35], (UuidDictionary::Entry{"181D", "Weight Scale"}));
  EXPECT_EQ(entries[36], (UuidDictionary::Entry{"FF00", "KSV Data Transmission"}));
  EXPECT_EQ(entries[41], (UuidDictionary::Entry{"FF11", "OTA"}));
  EXPECT_EQ(entries.back(), (UuidDictionary::Entry{"49535343-ACA3-481C-91EC-D85E28A60318", "Flow Control"}));
  // Every key is already in the form CBUUID prints, so platform UUIDs find it.
  for (const auto& [key, value] : entries) {
    auto parsed = CBUUID::UUIDWithString(key);
    ASSERT_TRUE(parsed) << key;
    EXPECT_EQ(parsed->UUIDString(), key);
  }

  rig.manager->initUuidDictionary();
  EXPECT_EQ(rig.manager->uuidDictionary().size(), 46u) << "rebuilding starts from an empty map";
}

TEST(GattNamesTest, LookupIsExactAndCaseSensitive) {
  ManagerRig rig;
  const struct {
    std::optional<std::string> in;
    std::optional<std::string> out;
  } cases[] = {
      {"180F", "Battery Service"},
      {"180f", std::nullopt},
      {std::nullopt, std::nullopt},
      {" 180F", std::nullopt},
      {"FF01", "Data Notify"},
      {"49535343-1E4D-4BD9-BA61-23C647249616", "Data Notify"},
      {"49535343-1e4d-4bd9-ba61-23c647249616", std::nullopt},
      {"FF00", "KSV Data Transmission"},
      {"49535343-FE7D-4AE5-8FA9-9FAFD205E455", "Data Transmission"},
      {"2A35", "Blood Pressure Measurment"},
      {"0000180F-0000-1000-8000-00805F9B34FB", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.value_or("(absent)"));
    EXPECT_EQ(rig.manager->getUuidDescription(c.in), c.out);
  }
}

TEST(GattNamesTest, PropertyWordsFollowTheDisplayOrder) {
  const struct {
    CBCharacteristicProperties bits;
    const char* text;
  } cases[] = {
      {0, ""},
      {0x0A, "Read,Write"},
      {0x12, "Read,Notify"},
      {0x14, "Write Without Response,Notify"},
      {0x1C0, "Notify Encryption Required,Authenticated Signed Writes,Extended Properties"},
      {0x3FF,
       "Broadcast,Read,Write Without Response,Write,Notify,Indicate,Notify Encryption Required,"
       "Indicate Encryption Required,Authenticated Signed Writes,Extended Properties"},
      {0x400, ""},
      {0xFFFFFFFFFFFFFC00ull | 0x02, "Read"},
  };
  ManagerRig rig;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    EXPECT_EQ(rig.manager->getCharacteristicPropertyString(c.bits), c.text);
  }
}

}  // namespace
}  // namespace quillon::testing
