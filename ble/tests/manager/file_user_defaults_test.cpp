#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "quillon/platform/user_defaults.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

// A throwaway configuration folder; XDG_CONFIG_HOME and HOME point into it
// for the test's duration, so nothing touches the user's own settings.
class FileUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-defaults-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    saveEnv("XDG_CONFIG_HOME", savedXdg_);
    saveEnv("HOME", savedHome_);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("HOME", (root_ / "home").c_str(), 1);
  }
  void TearDown() override {
    restoreEnv("XDG_CONFIG_HOME", savedXdg_);
    restoreEnv("HOME", savedHome_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static void saveEnv(const char* name, std::optional<std::string>& slot) {
    if (const char* value = std::getenv(name)) slot = value;
  }
  static void restoreEnv(const char* name, const std::optional<std::string>& slot) {
    if (slot) {
      ::setenv(name, slot->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  static std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
  std::optional<std::string> savedXdg_, savedHome_;
};

TEST_F(FileUserDefaultsTest, TheStandardPlaceFollowsXdgConfigHomeElseHomeConfig) {
  EXPECT_EQ(FileUserDefaults::standardLocation(), root_ / "config" / "quillon" / "user-defaults");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(FileUserDefaults::standardLocation(), root_ / "home" / ".config" / "quillon" / "user-defaults");
  ::setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // not absolute: ignored
  EXPECT_EQ(FileUserDefaults::standardLocation(), root_ / "home" / ".config" / "quillon" / "user-defaults");
}

TEST_F(FileUserDefaultsTest, ValuesSurviveARestartWhateverTheyContain) {
  const std::string awkward = "tab\there\nnew line \\ back\\slash";
  {
    FileUserDefaults first(FileUserDefaults::standardLocation());
    EXPECT_FALSE(first.objectForKey("last_connected_peripheral_identifier").has_value()) << "fresh installation";
    first.setObject_forKey("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "last_connected_peripheral_identifier");
    first.setObject_forKey("old", awkward);
    first.setObject_forKey(awkward, awkward);
  }
  FileUserDefaults second(FileUserDefaults::standardLocation());
  EXPECT_EQ(second.objectForKey("last_connected_peripheral_identifier"), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(second.objectForKey(awkward), awkward);
  // A removal survives a restart too, and leaves the other values.
  second.removeObjectForKey("last_connected_peripheral_identifier");
  FileUserDefaults third(FileUserDefaults::standardLocation());
  EXPECT_FALSE(third.objectForKey("last_connected_peripheral_identifier").has_value());
  EXPECT_EQ(third.objectForKey(awkward), awkward);
}

TEST_F(FileUserDefaultsTest, EveryWriteReplacesTheFileByRenameLeavingNoTemporaryBehind) {
  const fs::path file = FileUserDefaults::standardLocation();
  FileUserDefaults defaults(file);
  defaults.setObject_forKey("A", "key");
  // A second name for the current file: an in-place rewrite would change
  // what it shows, a rename leaves it with the old contents.
  const fs::path oldCopy = root_ / "old-link";
  fs::create_hard_link(file, oldCopy);
  defaults.setObject_forKey("B", "key");
  EXPECT_EQ(contents(oldCopy), "key\tA\n");
  EXPECT_EQ(contents(file), "key\tB\n");
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(file.parent_path())) {
    ++files;
    EXPECT_EQ(entry.path().filename(), "user-defaults");
  }
  EXPECT_EQ(files, 1u);
}

TEST_F(FileUserDefaultsTest, AnUnwritablePlaceKeepsTheValueForThisRun) {
  const fs::path blocker = root_ / "blocker";
  std::ofstream(blocker) << "a file where a folder should be";
  FileUserDefaults defaults(blocker / "quillon" / "user-defaults");
  defaults.setObject_forKey("kept", "key");
  EXPECT_EQ(defaults.objectForKey("key"), "kept");
}

}  // namespace
}  // namespace quillon
