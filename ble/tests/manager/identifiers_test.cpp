#include <gtest/gtest.h>

#include "quillon/ble/cb_uuid.h"
#include "quillon/ble/ns_uuid.h"
#include "quillon/manager/system_version_gate.h"

namespace quillon {
namespace {

TEST(CBUUIDTest, TextFormsRoundTripInUpperCase) {
  const struct {
    const char* in;
    const char* out;  // null: refused
  } cases[] = {
      {"FF00", "FF00"},
      {"ff0a", "FF0A"},
      {"0000FF00", "0000FF00"},
      {"49535343-fe7d-4ae5-8fa9-9fafd205e455", "49535343-FE7D-4AE5-8FA9-9FAFD205E455"},
      // On the Bluetooth base a full UUID reads back in its short form.
      {"0000ff11-0000-1000-8000-00805f9b34fb", "FF11"},
      {"1234ABCD-0000-1000-8000-00805F9B34FB", "1234ABCD"},
      {"0000FF11-0000-1000-8000-00805F9B34FC", "0000FF11-0000-1000-8000-00805F9B34FC"},
      {"", nullptr},
      {"FF0", nullptr},
      {"FF000", nullptr},
      {"XY00", nullptr},
      {"49535343FE7D4AE58FA99FAFD205E455", nullptr},
      {"49535343-FE7D-4AE5-8FA9_9FAFD205E455", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto uuid = CBUUID::UUIDWithString(c.in);
    if (!c.out) {
      EXPECT_FALSE(uuid.has_value());
      continue;
    }
    ASSERT_TRUE(uuid.has_value());
    EXPECT_EQ(uuid->UUIDString(), c.out);
  }
}

TEST(CBUUIDTest, AShortFormEqualsItsExpansionOverTheBluetoothBase) {
  EXPECT_EQ(*CBUUID::UUIDWithString("180F"), *CBUUID::UUIDWithString("0000180F-0000-1000-8000-00805F9B34FB"));
  EXPECT_EQ(*CBUUID::UUIDWithString("180F"), *CBUUID::UUIDWithString("0000180F"));
  EXPECT_FALSE(*CBUUID::UUIDWithString("180F") == *CBUUID::UUIDWithString("0000180F-0000-1000-8000-00805F9B34FC"));
  EXPECT_EQ(CBUUID::fromShort(0xFF11).UUIDString(), "FF11");
  // And back: every form names its full UUID, as BlueZ spells UUIDs.
  EXPECT_EQ(CBUUID::fromShort(0xFF11).fullUUIDString(), "0000FF11-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(CBUUID::UUIDWithString("1234abcd")->fullUUIDString(), "1234ABCD-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(CBUUID::UUIDWithString("49535343-FE7D-4AE5-8FA9-9FAFD205E455")->fullUUIDString(),
            "49535343-FE7D-4AE5-8FA9-9FAFD205E455");
}

TEST(NSUUIDTest, ParsesOnlyTheGroupedFormAndPrintsUpperCase) {
  auto id = NSUUID::initWithUUIDString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  for (const char* bad : {"", "FF00", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                          "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(NSUUID::initWithUUIDString(bad).has_value());
  }
  const NSUUID a = NSUUID::UUID();
  EXPECT_NE(a, NSUUID::UUID());
  EXPECT_EQ(NSUUID::initWithUUIDString(a.UUIDString()), a);
  EXPECT_EQ(a.UUIDString()[14], '4') << "a random identifier is version 4";
}

TEST(SystemVersionGateTest, ComparesTheLeadingDecimalExactly) {
  const struct {
    const char* version;
    bool at70;
    bool at71;
  } cases[] = {
      {"7.1", true, true},     {"7.1.2", true, true},   {"7.10", true, true},   {"7.2", true, true},
      {"8.0", true, true},     {"10", true, true},      {"17.0.1", true, true}, {"07.1", true, true},
      {" 7.1", true, true},    {"7.1beta", true, true}, {"7.0", true, false},   {"7", true, false},
      {"7.", true, false},     {"7.0.9", true, false},  {"7.09", true, false},  {"7.099999", true, false},
      {"6.1", false, false},   {"6.99", false, false},  {"", false, false},     {"abc", false, false},
      {"-8.0", false, false},  {".71", false, false},   {"v7.1", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    EXPECT_EQ(systemVersionAtLeast(c.version, "7.0"), c.at70);
    EXPECT_EQ(systemVersionAtLeast(c.version, "7.1"), c.at71);
  }
}

}  // namespace
}  // namespace quillon
