#include "quillon/net/cache_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "scratch_directory.h"

namespace quillon {
namespace {

TEST(CacheDirectory, XdgCacheHomeFirstElseHomeDotCacheCreatedWithParents) {
  test_support::ScratchDirectory scratch;
  const auto xdg = scratch.path() / "deep" / "xdg";
  const auto home = scratch.path() / "home";
  std::filesystem::create_directories(home);
  test_support::ScopedEnv home_env("HOME", home.c_str());
  std::error_code error;

  {
    test_support::ScopedEnv env("XDG_CACHE_HOME", xdg.c_str());
    EXPECT_EQ(cache_directory(error), xdg / "quillon");
    EXPECT_FALSE(error);
    EXPECT_TRUE(std::filesystem::is_directory(xdg / "quillon"));
    // A second call finds it in place.
    EXPECT_EQ(cache_directory(error), xdg / "quillon");
    EXPECT_FALSE(error);
  }
  for (const char* unusable : {"", "relative/cache"}) {
    SCOPED_TRACE(unusable);
    test_support::ScopedEnv env("XDG_CACHE_HOME", unusable);
    EXPECT_EQ(cache_directory(error), home / ".cache" / "quillon");
    EXPECT_TRUE(std::filesystem::is_directory(home / ".cache" / "quillon"));
  }
}

TEST(CacheDirectory, ReportsAFolderThatCannotBeMade) {
  test_support::ScratchDirectory scratch;
  const auto blocker = scratch.path() / "file";
  std::ofstream(blocker) << "x";
  test_support::ScopedEnv env("XDG_CACHE_HOME", blocker.c_str());
  std::error_code error;
  EXPECT_TRUE(cache_directory(error).empty());
  EXPECT_TRUE(error);
}

}  // namespace
}  // namespace quillon
