// Classification of the running Windows version from GetVersionExA.

#include <gtest/gtest.h>

#include "logic/os_kind.h"
#include "recording/recording_system_layer.h"

namespace spoolrig {
namespace {

// Tests start from a kind that no rule yields for the versions where
// "unchanged" is expected, so that a reset to 0 would show.
constexpr OsKind kBefore = OsKind::OsWinXP;

struct VersionCase {
  std::uint32_t platform, major, minor;
  OsKind expected;
};

TEST(DetectOsKindTest, ClassifiesEveryRowOfTheTable) {
  const VersionCase cases[] = {
      {1, 4, 0, OsKind::OsWin95},      {1, 4, 10, OsKind::OsWin98Me},
      {1, 4, 90, OsKind::OsWin98Me},   {1, 4, 1, kBefore},
      {1, 5, 0, kBefore},              {1, 3, 10, kBefore},
      {2, 3, 51, OsKind::OsWinNT4},    {2, 4, 0, OsKind::OsWinNT4},
      {2, 5, 0, OsKind::OsWin2000},    {2, 5, 1, OsKind::OsWinXP},
      {2, 5, 2, OsKind::OsWin2003},    {2, 6, 0, OsKind::OsWinVista},
      {2, 6, 1, OsKind::OsWin7},       {2, 6, 2, kBefore},
      {2, 6, 3, kBefore},              {2, 10, 0, kBefore},
      {2, 5, 3, kBefore},              {0, 4, 0, OsKind::OsWin2000},
      {3, 6, 1, OsKind::OsWin2000},    {7, 0, 0, OsKind::OsWin2000},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "platform " << c.platform << ", " << c.major << "."
                                    << c.minor);
    RecordingSystemLayer system;
    system.version.dwPlatformId = c.platform;
    system.version.dwMajorVersion = c.major;
    system.version.dwMinorVersion = c.minor;
    g_osKind = kBefore;
    detectOsKind(system);
    EXPECT_EQ(c.expected, g_osKind);
    // One query with the long record is enough when it is accepted.
    EXPECT_EQ(std::vector<std::string>{"GetVersionExA"}, system.functions());
    EXPECT_EQ("GetVersionExA(size 156)", system.lines()[0].substr(0, 23));
  }
}

TEST(DetectOsKindTest, RetriesWithTheShortRecordWhenTheLongOneIsRejected) {
  RecordingSystemLayer system;
  system.acceptedVersionSizes = {kOsVersionInfoSize};
  system.version.dwPlatformId = 2;
  system.version.dwMajorVersion = 4;
  system.version.dwMinorVersion = 0;
  g_osKind = OsKind::OsUnclassified;
  detectOsKind(system);
  EXPECT_EQ(OsKind::OsWinNT4, g_osKind);
  EXPECT_EQ((std::vector<std::string>{"GetVersionExA(size 156) -> 0",
                                      "GetVersionExA(size 148) -> 1 {platform 2, 4.0}"}),
            system.lines());
}

TEST(DetectOsKindTest, FailingQueryKeepsThePreviousKind) {
  for (OsKind before : {OsKind::OsUnclassified, OsKind::OsWin7}) {
    SCOPED_TRACE(static_cast<int>(before));
    RecordingSystemLayer system;
    system.acceptedVersionSizes.clear();
    system.version.dwPlatformId = 2;
    system.version.dwMajorVersion = 5;
    g_osKind = before;
    detectOsKind(system);
    EXPECT_EQ(before, g_osKind);
    EXPECT_EQ((std::vector<std::string>{"GetVersionExA(size 156) -> 0",
                                        "GetVersionExA(size 148) -> 0"}),
              system.lines());
  }
  g_osKind = OsKind::OsUnclassified;
}

}  // namespace
}  // namespace spoolrig
