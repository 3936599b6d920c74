// Where the library keeps files it may throw away and fetch again, such as
// downloaded firmware images: a folder of its own in the user's cache
// directory ($XDG_CACHE_HOME, else ~/.cache).
#pragma once

#include <filesystem>
#include <system_error>

namespace quillon {

// Name of the library's folder inside the user's cache directory.
inline constexpr const char* kCacheFolderName = "quillon";

// The library's cache folder, created with its parents when missing. Reads
// the environment on every call, so a changed XDG_CACHE_HOME takes effect at
// once. A relative XDG_CACHE_HOME is ignored, as the XDG rules ask. On
// failure returns an empty path and sets `error`. Any thread.
std::filesystem::path cache_directory(std::error_code& error);

}  // namespace quillon
