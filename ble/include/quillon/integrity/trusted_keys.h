// Where the public keys that firmware must be signed by come from: keys
// given one by one (a key file, or the key line itself), and a keyring
// directory that a package or an administrator fills with one key file
// each, as /etc/apt/trusted.gpg.d is filled. Only files named *.pub are
// read there, so that editors' backups and dpkg's leftovers are not.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/integrity/minisign_public_key.h"

namespace quillon {

// The system's keyring directory, and the environment variable that puts
// another one in its place (tests, or a host that keeps its own).
inline constexpr std::string_view kSystemTrustedKeyDirectory = "/etc/quillon/trusted-keys.d";
inline constexpr const char* kTrustedKeyDirectoryVariable = "QUILLON_TRUSTED_KEYS_DIR";

// $QUILLON_TRUSTED_KEYS_DIR when set and not empty, else the system's.
std::filesystem::path trusted_key_directory();

// One key as read from where it came from.
struct LoadedKey {
  // The file's path, or "key <text>" for a key given as text.
  std::string source;
  std::optional<MinisignPublicKey> key;
  // Why there is no key (empty when there is one).
  std::string problem;
};

// `file_or_key`: a readable file is read as a key file; anything else is
// taken as the key line itself.
LoadedKey load_trusted_key(const std::string& file_or_key);

// Every *.pub file of `directory`, in name order; none when the directory
// does not exist. A file that cannot be read or holds no key comes back
// with its problem, so that a broken keyring is seen rather than skipped.
std::vector<LoadedKey> load_trusted_key_directory(const std::filesystem::path& directory);

}  // namespace quillon
