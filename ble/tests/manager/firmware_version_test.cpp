// The order of firmware revisions: each row is a pair and where the first
// stands against the second; every row is also checked the other way round.
#include <gtest/gtest.h>

#include <string>

#include "quillon/dis/firmware_version.h"

namespace quillon {
namespace {

VersionOrder reversed(VersionOrder order) {
  switch (order) {
    case VersionOrder::Older: return VersionOrder::Newer;
    case VersionOrder::Newer: return VersionOrder::Older;
    default: return order;
  }
}

TEST(FirmwareVersion, NumbersAsNumbersPreReleasesBelowReleasesBuildIgnoredOtherTextUnordered) {
  using enum VersionOrder;
  const struct {
    const char* a;
    const char* b;
    VersionOrder order;
  } rows[] = {
      {"1.2.3", "1.2.3", Same},
      {"1.9", "1.10", Older},            // numbers, not text
      {"1.2", "1.2.0", Same},            // a missing component is 0
      {"01.002", "1.2", Same},           // leading zeros
      {"v2.0", "2.0", Same},
      {"2.0.0", "1.99.99", Newer},
      {"99999999999999999999.1", "99999999999999999999.0", Newer},  // longer than any integer type
      {"1.0.0-rc.1", "1.0.0", Older},    // a pre-release is below its release
      {"1.0.0-alpha", "1.0.0-alpha.1", Older},
      {"1.0.0-alpha.1", "1.0.0-alpha.beta", Older},  // numeric below alphanumeric
      {"1.0.0-beta.2", "1.0.0-beta.11", Older},
      {"1.0.0-rc.1", "0.9.9", Newer},
      {"1.0.0+build.7", "1.0.0+build.9", Same},  // build metadata ignored
      {"1.0.0-rc.1+x-y", "1.0.0-rc.1", Same},
      {"build 42", "build 42", Same},    // not versions: only the same...
      {"build 42", "build 43", Different},  // ...or different
      {"1.0", "1.0 beta", Different},
      {"", "1.0", Different},
      {"", "", Same},
      {"1..0", "1.0", Different},
      {"1.0-", "1.0", Different},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " against " + row.b);
    EXPECT_EQ(compareFirmwareVersions(row.a, row.b), row.order);
    EXPECT_EQ(compareFirmwareVersions(row.b, row.a), reversed(row.order));
  }
}

}  // namespace
}  // namespace quillon
