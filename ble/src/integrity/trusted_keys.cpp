#include "quillon/integrity/trusted_keys.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

namespace quillon {
namespace {

// A key file is two short lines; anything much larger is not one.
constexpr std::uintmax_t kMaxKeyFileBytes = 4096;

LoadedKey from_text(std::string source, std::string_view text) {
  LoadedKey loaded;
  loaded.source = std::move(source);
  const auto parsed = parse_minisign_public_key(text);
  if (const auto* key = std::get_if<MinisignPublicKey>(&parsed)) {
    loaded.key = *key;
  } else {
    loaded.problem = std::string(key_problem_text(std::get<KeyProblem>(parsed)));
  }
  return loaded;
}

LoadedKey from_file(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return LoadedKey{path.string(), std::nullopt, "not a regular file"};
  const auto size = std::filesystem::file_size(path, error);
  if (!error && size > kMaxKeyFileBytes) return LoadedKey{path.string(), std::nullopt, "too large for a key file"};
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (error || !in.is_open() || in.bad()) return LoadedKey{path.string(), std::nullopt, "cannot be read"};
  return from_text(path.string(), text);
}

}  // namespace

std::filesystem::path trusted_key_directory() {
  const char* chosen = std::getenv(kTrustedKeyDirectoryVariable);
  if (chosen && *chosen) return chosen;
  return std::filesystem::path(kSystemTrustedKeyDirectory);
}

LoadedKey load_trusted_key(const std::string& file_or_key) {
  std::error_code error;
  if (std::filesystem::is_regular_file(file_or_key, error)) return from_file(file_or_key);
  LoadedKey loaded = from_text("key " + file_or_key, file_or_key);
  if (!loaded.key) {
    loaded.source = file_or_key;
    loaded.problem = "neither a readable key file nor a key (" + loaded.problem + ")";
  }
  return loaded;
}

std::vector<LoadedKey> load_trusted_key_directory(const std::filesystem::path& directory) {
  std::error_code error;
  if (!std::filesystem::exists(directory, error) && !error) return {};
  std::vector<std::filesystem::path> files;
  std::filesystem::directory_iterator it(directory, error);
  for (const std::filesystem::directory_iterator end; !error && it != end; it.increment(error)) {
    const auto& path = it->path();
    if (path.extension() == ".pub" && !path.filename().string().starts_with(".")) files.push_back(path);
  }
  // A keyring that exists but cannot be listed must not pass for an empty
  // one: that would let unsigned images through.
  if (error) return {LoadedKey{directory.string(), std::nullopt, "cannot list the keyring: " + error.message()}};
  std::sort(files.begin(), files.end());
  std::vector<LoadedKey> keys;
  for (const auto& path : files) keys.push_back(from_file(path));
  return keys;
}

}  // namespace quillon
