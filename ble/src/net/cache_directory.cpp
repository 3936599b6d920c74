#include "quillon/net/cache_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace quillon {
namespace {

std::filesystem::path home_directory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  // No usable $HOME (a daemon, a stripped environment): ask the user database.
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
    return entry->pw_dir;
  return {};
}

}  // namespace

std::filesystem::path cache_directory(std::error_code& error) {
  error.clear();
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const auto home = home_directory();
    if (home.empty()) {
      error = std::make_error_code(std::errc::no_such_file_or_directory);
      return {};
    }
    base = home / ".cache";
  }
  auto folder = base / kCacheFolderName;
  std::filesystem::create_directories(folder, error);
  if (error) return {};
  return folder;
}

}  // namespace quillon
